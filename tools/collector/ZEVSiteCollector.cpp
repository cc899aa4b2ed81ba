#include "ZEVSiteCollector.h"

#include <httplib.h>

#include <stdexcept>

namespace {

std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(text[i + 1]) &&
        std::isxdigit(text[i + 2])) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::size_t countUploads(const std::string& body) {
  if (body.empty()) return 0;
  std::size_t lines = 1;
  for (char c : body) lines += c == '\n';
  return lines;
}

}  // namespace

std::string ZEVSiteCollectedEvent::get(const std::string& key) const {
  for (const auto& [name, value] : fields) {
    if (name == key) return value;
  }
  return {};
}

std::vector<std::pair<std::string, std::string>> ZEVSiteCollector::decode(
    const std::string& upload) {
  std::vector<std::pair<std::string, std::string>> fields;
  std::string_view rest(upload);
  while (!rest.empty()) {
    std::size_t end = rest.find('&');
    std::string_view pair = rest.substr(0, end);
    std::size_t equals = pair.find('=');
    fields.emplace_back(
        percentDecode(pair.substr(0, equals)),
        equals == std::string_view::npos ? std::string() : percentDecode(pair.substr(equals + 1)));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return fields;
}

ZEVSiteCollector::ZEVSiteCollector() : server_(std::make_unique<httplib::Server>()) {
  // Without it, keep-alive requests stall about 40 ms each on delayed acknowledgements.
  server_->set_tcp_nodelay(true);
  server_->set_keep_alive_max_count(1000000);
  // An idle connection is closed after a second, so stop() never waits long for one.
  server_->set_keep_alive_timeout(1);
  server_->Post("/collect", [this](const httplib::Request& request, httplib::Response& response) {
    const std::size_t uploads = countUploads(request.body);
    ZEVSiteCollectorReply reply = nextReply(uploads);
    if (reply.delay.count() > 0) std::this_thread::sleep_for(reply.delay);
    {
      std::lock_guard lock(mutex_);
      requests_.emplace_back(uploads, reply.status);
      clientPorts_.insert(request.remote_port);
      contentTypes_.push_back(request.get_header_value("Content-Type"));
    }
    if (reply.status >= 200 && reply.status < 300) accept(request.body);
    response.status = reply.status;
    if (!reply.retryAfter.empty()) response.set_header("Retry-After", reply.retryAfter);
    response.set_content("", "text/plain");
    changed_.notify_all();
  });
}

ZEVSiteCollector::~ZEVSiteCollector() { stop(); }

void ZEVSiteCollector::serveConfig(std::string document) {
  {
    std::lock_guard lock(mutex_);
    configDocument_ = std::move(document);
  }
  server_->Get("/sdk-config.xml", [this](const httplib::Request&, httplib::Response& response) {
    std::lock_guard lock(mutex_);
    ++configRequests_;
    response.set_content(configDocument_, "application/xml");
  });
}

std::size_t ZEVSiteCollector::configRequests() {
  std::lock_guard lock(mutex_);
  return configRequests_;
}

std::string ZEVSiteCollector::start(const std::string& host, int port) {
  if (port == 0) {
    port = server_->bind_to_any_port(host);
  } else if (!server_->bind_to_port(host, port)) {
    port = -1;
  }
  if (port <= 0) throw std::runtime_error("the collector cannot listen on " + host);
  // The socket listens already: requests made before the thread accepts them wait.
  thread_ = std::make_unique<std::thread>([this] { server_->listen_after_bind(); });
  return "http://" + host + ":" + std::to_string(port) + "/collect";
}

void ZEVSiteCollector::stop() {
  if (!thread_) return;
  server_->stop();
  thread_->join();
  thread_.reset();
}

void ZEVSiteCollector::script(std::vector<ZEVSiteCollectorReply> replies) {
  std::lock_guard lock(mutex_);
  script_.assign(replies.begin(), replies.end());
}

void ZEVSiteCollector::setPolicy(std::function<ZEVSiteCollectorReply(std::size_t)> policy) {
  std::lock_guard lock(mutex_);
  policy_ = std::move(policy);
}

void ZEVSiteCollector::setOnEvent(std::function<void(const ZEVSiteCollectedEvent&)> onEvent) {
  std::lock_guard lock(mutex_);
  onEvent_ = std::move(onEvent);
}

bool ZEVSiteCollector::writeJsonLines(const std::string& path) {
  std::lock_guard lock(mutex_);
  jsonLines_.open(path, std::ios::app);
  return jsonLines_.is_open();
}

ZEVSiteCollectorReply ZEVSiteCollector::nextReply(std::size_t uploads) {
  std::lock_guard lock(mutex_);
  if (!script_.empty()) {
    ZEVSiteCollectorReply reply = script_.front();
    script_.pop_front();
    return reply;
  }
  return policy_ ? policy_(uploads) : ZEVSiteCollectorReply{};
}

ZEVSiteCollectedEvent ZEVSiteCollector::decodeEvent(const std::string& upload) {
  ZEVSiteCollectedEvent event{{}, decode(upload)};
  event.eventId = event.get("eid");
  return event;
}

namespace {

// The raw value of "eid" in an upload string (event ids need no percent-decoding).
std::string_view rawEventId(std::string_view upload) {
  for (std::size_t at = 0; at < upload.size();) {
    std::size_t end = upload.find('&', at);
    std::string_view pair = upload.substr(at, end == std::string_view::npos ? end : end - at);
    if (pair.substr(0, 4) == "eid=") return pair.substr(4);
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  return {};
}

}  // namespace

void ZEVSiteCollector::accept(const std::string& body) {
  std::string_view rest(body);
  std::lock_guard lock(mutex_);
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view upload = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (countOnly_) {
      if (seenIdHashes_.insert(std::hash<std::string_view>{}(rawEventId(upload))).second) {
        ++counted_;
      } else {
        ++duplicates_;
      }
      continue;
    }
    if (!seenIds_.emplace(rawEventId(upload)).second) {
      ++duplicates_;
      continue;
    }
    uploads_.emplace_back(upload);
    if (!jsonLines_.is_open() && !onEvent_) continue;
    ZEVSiteCollectedEvent event = decodeEvent(uploads_.back());
    if (jsonLines_.is_open()) {
      std::string line = "{";
      for (const auto& [key, value] : event.fields) {
        if (line.size() > 1) line += ",";
        line += jsonString(key) + ":" + jsonString(value);
      }
      jsonLines_ << line << "}\n";
      jsonLines_.flush();
    }
    if (onEvent_) onEvent_(event);
  }
}

void ZEVSiteCollector::countOnly(std::size_t expectedEvents) {
  std::lock_guard lock(mutex_);
  countOnly_ = true;
  seenIdHashes_.reserve(expectedEvents);
}

std::vector<ZEVSiteCollectedEvent> ZEVSiteCollector::events() {
  std::lock_guard lock(mutex_);
  std::vector<ZEVSiteCollectedEvent> events;
  events.reserve(uploads_.size());
  for (const auto& upload : uploads_) events.push_back(decodeEvent(upload));
  return events;
}

std::size_t ZEVSiteCollector::eventCount() {
  std::lock_guard lock(mutex_);
  return uploads_.size() + counted_;
}

std::size_t ZEVSiteCollector::duplicates() {
  std::lock_guard lock(mutex_);
  return duplicates_;
}

std::vector<std::pair<std::size_t, int>> ZEVSiteCollector::requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::set<int> ZEVSiteCollector::clientPorts() {
  std::lock_guard lock(mutex_);
  return clientPorts_;
}

std::vector<std::string> ZEVSiteCollector::contentTypes() {
  std::lock_guard lock(mutex_);
  return contentTypes_;
}

bool ZEVSiteCollector::waitUntil(
    const std::function<bool(const std::vector<ZEVSiteCollectedEvent>&)>& predicate,
    std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t checked = static_cast<std::size_t>(-1);
  for (;;) {
    std::size_t count;
    {
      std::unique_lock lock(mutex_);
      changed_.wait_until(lock, deadline, [&] { return uploads_.size() != checked; });
      count = uploads_.size();
    }
    if (count != checked) {
      checked = count;
      if (predicate(events())) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

bool ZEVSiteCollector::waitForEventCount(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return uploads_.size() + counted_ >= count; });
}
