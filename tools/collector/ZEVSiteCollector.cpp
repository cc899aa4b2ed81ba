#include "ZEVSiteCollector.h"

#include <httplib.h>
#include <zlib.h>
#include <nlohmann/json.hpp>

#include "ZEVSiteDashboard.h"
#include "ZEVSiteJourneys.h"
#include "ZEVSiteSummaryFormat.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>

namespace zevsite::collector {

namespace {

constexpr const char* kStoreRetryAfterSeconds = "2";
constexpr const char* kStoreUnavailable = "the store cannot answer now; try again shortly";

std::int64_t systemMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The day number (UTC) holding `millis`.
std::int64_t dayNumberOf(std::int64_t millis) {
  using namespace std::chrono;
  return floor<days>(sys_time<milliseconds>(milliseconds(millis))).time_since_epoch().count();
}

// The values of query parameter `key` in a request target ("/path?k=v&k=v"), decoded, in
// order, repeats kept.
std::vector<std::string> queryValues(const std::string& target, const std::string& key) {
  std::vector<std::string> values;
  const std::size_t query = target.find('?');
  if (query == std::string::npos) return values;
  std::string_view rest = std::string_view(target).substr(query + 1);
  while (!rest.empty()) {
    const std::string_view pair = rest.substr(0, rest.find('&'));
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos &&
        httplib::detail::decode_url(std::string(pair.substr(0, equals)), true) == key) {
      values.push_back(httplib::detail::decode_url(std::string(pair.substr(equals + 1)), true));
    }
    rest.remove_prefix(std::min(rest.size(), pair.size() + 1));
  }
  return values;
}

// A header value for a log line: quoted, control characters escaped, at most 40 bytes.
std::string quotedForLog(const std::string& value) {
  return jsonString(value.substr(0, 40)) + (value.size() > 40 ? "..." : "");
}

enum class Inflated { Whole, TooLarge, Corrupt };

// Undoes gzip or zlib's deflate on `compressed` into `out`, stopping once it would exceed
// `maxBytes` (a small body can inflate to gigabytes).
Inflated inflateBounded(const std::string& compressed, std::size_t maxBytes, std::string& out) {
  z_stream stream{};
  if (inflateInit2(&stream, 32 + MAX_WBITS) != Z_OK) return Inflated::Corrupt;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  char buffer[64 * 1024];
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    result = inflate(&stream, Z_NO_FLUSH);
    const std::size_t produced = sizeof buffer - stream.avail_out;
    if (out.size() + produced > maxBytes) {
      inflateEnd(&stream);
      return Inflated::TooLarge;
    }
    out.append(buffer, produced);
    if (result == Z_BUF_ERROR && stream.avail_in == 0) break;  // input ended mid-stream
  }
  inflateEnd(&stream);
  return result == Z_STREAM_END ? Inflated::Whole : Inflated::Corrupt;
}

void answerJson(httplib::Response& response, int status, const std::string& json) {
  response.status = status;
  response.set_content(json, "application/json");
}

std::string errorJson(const std::string& message) {
  return nlohmann::ordered_json{{"error", message}}.dump(-1, ' ', false,
                                                         nlohmann::json::error_handler_t::replace);
}

// The dashboard's login form; `problem`, when not empty, says what went wrong. Shows nothing
// of the collected data.
std::string loginPage(const std::string& problem) {
  return "<!doctype html><html><head><meta charset=\"utf-8\"><title>zevsite-collector: log "
         "in</title></head><body><h1>zevsite-collector</h1>" +
         (problem.empty() ? std::string() : "<p role=\"alert\">" + problem + "</p>") +
         "<form method=\"post\" action=\"/login\"><label>API token <input type=\"password\" "
         "name=\"token\" autocomplete=\"current-password\" autofocus></label> <button "
         "type=\"submit\">Log in</button></form><p>The tokens are the lines of the file given "
         "to --api-token-file.</p></body></html>";
}

}  // namespace

std::string CollectedEvent::get(const std::string& key) const {
  for (const auto& [name, value] : fields) {
    if (name == key) return value;
  }
  return {};
}

std::vector<std::pair<std::string, std::string>> Collector::decode(const std::string& upload) {
  return decodeFields(upload);
}

Collector::Collector()
    : server_(std::make_unique<HttpFront>()),
      log_([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }),
      clock_(systemMillis) {
  configureServer();
}

Collector::Collector(const std::string& certificateFile, const std::string& privateKeyFile)
    : scheme_("https"),
      server_(std::make_unique<HttpFront>(certificateFile, privateKeyFile)),
      log_([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }),
      clock_(systemMillis) {
  configureServer();
}

void Collector::configureServer() {
  server_->setFilter([this](const httplib::Request& request, httplib::Response& response) {
    const auto refusal = refusalOf(request);
    if (!refusal) return false;
    response.status = refusal->status;
    if (refusal->status == 401) {
      response.set_header("WWW-Authenticate", "Bearer realm=\"zevsite-collector\"");
    }
    if (refusal->status == 401 && request.path.rfind("/api/", 0) != 0) {
      // A person at the dashboard: the login form, and nothing else.
      response.set_content(loginPage(""), "text/html; charset=utf-8");
    } else if (request.path.rfind("/api/", 0) == 0) {
      response.set_content(errorJson(refusal->message), "application/json");
    } else {
      response.set_content(refusal->message, "text/plain");
    }
    return true;
  });
  applyLimits();
  addRoutes();
  addLoginRoutes();
}

void Collector::applyLimits() {
  HttpLimits http = server_->limits();
  http.maxBodyBytes = limits_.maxBodyBytes;
  server_->setLimits(http);
}

std::optional<Refusal> Collector::refusalOf(const httplib::Request& request) {
  if (request.path == "/collect") {
    if (!request.has_header("Origin")) return std::nullopt;
    return access_.checkCollect(request.get_header_value("Origin"));
  }
  // The SDK's configuration document holds nothing of the collected data.
  if (request.path == "/sdk-config.xml") return std::nullopt;
  const std::string host = request.get_header_value("Host");
  if (request.path == "/login") {
    if (access_.knownHost(host)) return std::nullopt;
    return Refusal{421, "this collector does not answer to that host name"};
  }
  return access_.checkRead(host, request.get_header_value("Authorization"),
                           request.get_header_value("Cookie"));
}

void Collector::addLoginRoutes() {
  server_->Get("/login", [this](const httplib::Request&, httplib::Response& response) {
    if (!access_.requiresToken()) return response.set_redirect("/", 303);
    response.set_content(loginPage(""), "text/html; charset=utf-8");
  });
  server_->Post("/login", [this](const httplib::Request& request, httplib::Response& response) {
    if (!access_.requiresToken()) return response.set_redirect("/", 303);
    if (!access_.validToken(request.get_param_value("token"))) {
      response.status = 401;
      response.set_content(loginPage("That token is not one of this collector's."),
                           "text/html; charset=utf-8");
      return;
    }
    response.set_header("Set-Cookie", std::string(AccessControl::kSessionCookie) + "=" +
                                          access_.openSession() +
                                          "; Path=/; HttpOnly; SameSite=Strict" +
                                          (scheme_ == "https" ? "; Secure" : ""));
    response.set_redirect("/", 303);
  });
}

void Collector::setAccess(AccessPolicy policy) { access_.setPolicy(std::move(policy)); }

void Collector::setOnlyRegisteredApps(bool only) { onlyRegisteredApps_ = only; }

bool Collector::isRegisteredApp(const std::string& app) {
  std::lock_guard lock(registeredMutex_);
  if (registeredIds_.count(app)) return true;
  // Apps registered while the collector runs count within a few seconds: the list is read
  // again for an unknown id, at most every kRegisteredAppsRefreshMillis.
  const std::int64_t now = clock_();
  if (registeredReadAt_ != 0 && now - registeredReadAt_ < kRegisteredAppsRefreshMillis) {
    return false;
  }
  registeredIds_.clear();
  for (auto& registered : store_->registeredApps()) registeredIds_.insert(registered.id);
  registeredReadAt_ = now;
  return registeredIds_.count(app) > 0;
}

std::size_t Collector::dropUnregisteredApps(DecodedBatch& batch) {
  std::size_t kept = 0;
  std::string firstRefused;
  for (std::size_t i = 0; i < batch.records.size(); ++i) {
    if (!isRegisteredApp(batch.records[i].app)) {
      if (firstRefused.empty()) firstRefused = batch.records[i].app;
      continue;
    }
    if (kept != i) {
      batch.records[kept] = std::move(batch.records[i]);
      batch.uploads[kept] = std::move(batch.uploads[i]);
    }
    ++kept;
  }
  const std::size_t refused = batch.records.size() - kept;
  batch.records.resize(kept);
  batch.uploads.resize(kept);
  if (refused > 0) {
    log_("zevsite-collector: refused " + std::to_string(refused) +
         " event(s) of apps that are not registered, the first of app " +
         quotedForLog(firstRefused));
  }
  return refused;
}

void Collector::addRoutes() {
  server_->Post("/collect", [this](const httplib::Request& request, httplib::Response& response) {
    // The head came first; the body may have taken a while after it.
    const std::int64_t receivedTime = clock_();
    auto fail = [&](int status) {
      response.status = status;
      response.set_header("Connection", "close");
      recordRequest({0, status, request.remote_port, request.get_header_value("Content-Type"),
                     request.get_header_value("Content-Encoding"), request.body.size(),
                     request.get_header_value("User-Agent")});
    };
    const std::string encoding = request.get_header_value("Content-Encoding");
    if (encoding.empty() || encoding == "identity") {
      return handleUpload(request, receivedTime, request.body, response);
    }
    if (encoding != "gzip" && encoding != "x-gzip" && encoding != "deflate") return fail(415);
    std::string body;
    switch (inflateBounded(request.body, limits_.maxDecompressedBytes, body)) {
      case Inflated::Whole:
        return handleUpload(request, receivedTime, body, response);
      case Inflated::TooLarge:
        return fail(413);
      case Inflated::Corrupt:
        return fail(400);
    }
  });
  server_->Get("/api/summary",
               [this](const httplib::Request& request, httplib::Response& response) {
                 serveSummary(request, response);
               });
  server_->Get("/api/summary.csv",
               [this](const httplib::Request& request, httplib::Response& response) {
                 serveSummaryCsv(request, response);
               });
  server_->Get("/api/retention",
               [this](const httplib::Request& request, httplib::Response& response) {
                 serveRetention(request, response);
               });
  server_->Get("/api/funnel", [this](const httplib::Request& request, httplib::Response& response) {
    serveFunnel(request, response);
  });
  serveDashboard(*server_);
  server_->Get("/api/apps", [this](const httplib::Request&, httplib::Response& response) {
    serveApps(response);
  });
}

void Collector::handleUpload(const httplib::Request& request, std::int64_t receivedTime,
                             const std::string& body, httplib::Response& response) {
  const std::size_t uploads = countUploadLines(body);
  CollectorReply reply;
  if (replyOverride_) {
    if (auto override = replyOverride_(uploads)) reply = *override;
  }
  if (reply.delay.count() > 0) std::this_thread::sleep_for(reply.delay);
  if (reply.status >= 200 && reply.status < 300) {
    if (uploads > limits_.maxLines) {
      reply = {413, "", {}};
    } else {
      CollectorReply stored = accept(request, receivedTime, body);
      if (stored.status != 200) reply = stored;
    }
  }
  response.status = reply.status;
  if (!reply.retryAfter.empty()) response.set_header("Retry-After", reply.retryAfter);
  response.set_content("", "text/plain");
  recordRequest({uploads, reply.status, request.remote_port,
                 request.get_header_value("Content-Type"),
                 request.get_header_value("Content-Encoding"),
                 static_cast<std::size_t>(std::strtoull(
                     request.get_header_value("Content-Length").c_str(), nullptr, 10)),
                 request.get_header_value("User-Agent")});
}

void Collector::recordRequest(const UploadRequest& request) {
  {
    std::lock_guard lock(mutex_);
    ++uploadRequests_;
    bodyBytes_ += request.bodyBytes;
  }
  if (requestObserver_) requestObserver_(request);
}

void Collector::serveQuery(const httplib::Request& request, httplib::Response& response,
                           const std::string& what, const QueryAnswer& answer) {
  if (!store_) return answerJson(response, 404, errorJson("this collector keeps no store"));
  std::string problem;
  auto range = summaryQuery(request.get_param_value("app"), request.get_param_value("from"),
                            request.get_param_value("to"), dayNumberOf(clock_()), problem);
  if (!range) return answerJson(response, 400, errorJson(problem));
  try {
    if (auto json = answer(*range, problem)) return answerJson(response, 200, *json);
    answerJson(response, 400, errorJson(problem));
  } catch (const StoreError& error) {
    // The store's own words go to the operator's log, not to an unknown client.
    log_("zevsite-collector: " + what + " failed: " + error.what());
    response.set_header("Retry-After", kStoreRetryAfterSeconds);
    answerJson(response, 503, errorJson(kStoreUnavailable));
  }
}

void Collector::serveSummary(const httplib::Request& request, httplib::Response& response) {
  serveQuery(request, response, "summary",
             [this](const SummaryQuery& range, std::string&) -> std::optional<std::string> {
               return summaryJson(store_->summary(range));
             });
}

void Collector::serveRetention(const httplib::Request& request, httplib::Response& response) {
  const std::string period = request.get_param_value("period");
  serveQuery(request, response, "retention",
             [&](const SummaryQuery& range, std::string& problem) -> std::optional<std::string> {
               auto query = retentionQuery(range, period, problem);
               if (!query) return std::nullopt;
               return retentionJson(store_->retention(*query));
             });
}

void Collector::serveFunnel(const httplib::Request& request, httplib::Response& response) {
  // From the request's own text: steps may repeat, in the order given.
  const std::vector<std::string> steps = queryValues(request.target, "step");
  serveQuery(request, response, "funnel",
             [&](const SummaryQuery& range, std::string& problem) -> std::optional<std::string> {
               auto query = funnelQuery(range, steps, problem);
               if (!query) return std::nullopt;
               return funnelJson(store_->funnel(*query));
             });
}

void Collector::serveSummaryCsv(const httplib::Request& request, httplib::Response& response) {
  if (!store_) return answerJson(response, 404, errorJson("this collector keeps no store"));
  const std::string table = request.get_param_value("table");
  constexpr std::string_view kTables[] = {"daily",     "pages",    "events",
                                          "campaigns", "custom",   "properties",
                                          "platforms", "versions", "locales"};
  if (std::find(std::begin(kTables), std::end(kTables), table) == std::end(kTables)) {
    return answerJson(response, 400,
                      errorJson("table must be one of daily, pages, events, campaigns, custom, "
                                "properties, platforms, versions, locales"));
  }
  std::string problem;
  auto query = summaryQuery(request.get_param_value("app"), request.get_param_value("from"),
                            request.get_param_value("to"), dayNumberOf(clock_()), problem);
  if (!query) return answerJson(response, 400, errorJson(problem));
  try {
    const auto csv = summaryCsv(store_->summary(*query), table);
    response.status = 200;
    // App ids are any text: only letters, digits, '.', '_' and '-' of it go into the name.
    std::string app = query->app;
    for (char& c : app) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '_';
    }
    response.set_header("Content-Disposition", "attachment; filename=\"zevsite-" + app + "-" +
                                                   table + "-" + query->from + "-" + query->to +
                                                   ".csv\"");
    response.set_content(*csv, "text/csv; charset=utf-8");
  } catch (const StoreError& error) {
    log_(std::string("zevsite-collector: summary failed: ") + error.what());
    response.set_header("Retry-After", kStoreRetryAfterSeconds);
    answerJson(response, 503, errorJson(kStoreUnavailable));
  }
}

void Collector::serveApps(httplib::Response& response) {
  if (!store_) return answerJson(response, 404, errorJson("this collector keeps no store"));
  try {
    answerJson(response, 200, appsJson(store_->apps(), store_->registeredApps()));
  } catch (const StoreError& error) {
    log_(std::string("zevsite-collector: listing the apps failed: ") + error.what());
    response.set_header("Retry-After", kStoreRetryAfterSeconds);
    answerJson(response, 503, errorJson(kStoreUnavailable));
  }
}

void Collector::setStore(std::unique_ptr<AnalyticsStore> store) { store_ = std::move(store); }

void Collector::setLimits(UploadLimits limits) {
  limits_ = limits;
  applyLimits();
}

void Collector::setLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

void Collector::setClock(std::function<std::int64_t()> nowMillis) { clock_ = std::move(nowMillis); }

Collector::~Collector() { stop(); }

void Collector::serveConfig(std::string document) {
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

std::size_t Collector::configRequests() {
  std::lock_guard lock(mutex_);
  return configRequests_;
}

std::string Collector::start(const std::string& host, int port) {
  // Before the server runs: its event thread checks each request's Host against it.
  access_.setBoundHost(host);
  try {
    port = server_->listen(host, port);
  } catch (const std::runtime_error&) {
    throw std::runtime_error("the collector cannot listen on " + host);
  }
  return scheme_ + "://" + host + ":" + std::to_string(port) + "/collect";
}

void Collector::stop() { server_->stop(); }

void Collector::setOnEvent(std::function<void(const std::string& upload)> onEvent) {
  onEvent_ = std::move(onEvent);
}

void Collector::setReplyOverride(
    std::function<std::optional<CollectorReply>(std::size_t uploads)> reply) {
  replyOverride_ = std::move(reply);
}

void Collector::setRequestObserver(std::function<void(const UploadRequest&)> observer) {
  requestObserver_ = std::move(observer);
}

bool Collector::writeJsonLines(const std::string& path) {
  try {
    makeOwnerOnlyFile(path);  // every event's data: owner-only, as the store's files
  } catch (const StoreError&) {
    return false;
  }
  std::lock_guard lock(mutex_);
  jsonLines_.open(path, std::ios::app);
  return jsonLines_.is_open();
}

CollectedEvent Collector::decodeEvent(const std::string& upload) {
  CollectedEvent event{{}, decode(upload)};
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

CollectorReply Collector::accept(const httplib::Request& request, std::int64_t receivedTime,
                                 const std::string& body) {
  if (countOnly_ && !store_) {
    countRaw(body);
    return {};
  }
  std::int64_t clockCorrection = 0;
  if (request.has_header(kSentAtHeader)) {
    const std::string sentAt = request.get_header_value(kSentAtHeader);
    if (auto correction = clockCorrectionOf(sentAt, receivedTime)) {
      clockCorrection = *correction;
    } else {
      log_(std::string("zevsite-collector: ignored ") + kSentAtHeader + " " + quotedForLog(sentAt) +
           ", not a time: the events keep their times");
    }
  }
  DecodedBatch batch;
  decodeUploadBody(body, receivedTime, clockCorrection, limits_.maxLines, batch);
  if (!batch.malformed.empty()) {
    log_("zevsite-collector: skipped " + std::to_string(batch.malformed.size()) +
         " malformed line(s), the first: " + batch.malformed.front());
  }
  if (onlyRegisteredApps_ && !batch.records.empty()) {
    std::size_t refused = 0;
    try {
      refused = dropUnregisteredApps(batch);
    } catch (const StoreError& error) {
      log_(std::string("zevsite-collector: cannot read the registered apps, answered 503: ") +
           error.what());
      return {503, kStoreRetryAfterSeconds, {}};
    }
    // Nothing of the request was from a registered app: refused, so the SDK stops sending it.
    if (refused > 0 && batch.records.empty()) return {403, "", {}};
  }
  return acceptDecoded(std::move(batch));
}

// The count-only mode without a store: event ids hashed as they are, nothing decoded.
void Collector::countRaw(const std::string& body) {
  std::string_view rest(body);
  std::unique_lock lock(mutex_);
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view eventId = rawEventId(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (eventId.empty()) {
      ++malformed_;
    } else if (seenIdHashes_.insert(std::hash<std::string_view>{}(eventId)).second) {
      ++counted_;
    } else {
      ++duplicates_;
    }
  }
  lock.unlock();
  changed_.notify_all();  // whoever waits for a count
}

bool Collector::seen(const std::string& eventId) {
  // Called with mutex_ held.
  return countOnly_ ? seenIdHashes_.count(std::hash<std::string_view>{}(eventId)) > 0
                    : recentIds_.contains(eventId);
}

CollectorReply Collector::acceptDecoded(DecodedBatch batch) {
  PendingBatch mine{&batch};
  std::unique_lock lock(commitMutex_);
  commitQueue_.push_back(&mine);
  groupCommitted_.wait(lock, [&] { return mine.done || !committing_; });
  if (!mine.done) {
    // This thread stores every batch queued so far, its own among them.
    std::vector<PendingBatch*> group;
    group.swap(commitQueue_);
    committing_ = true;
    lock.unlock();
    bool stored = false;
    try {
      stored = commitGroup(group);
    } catch (...) {
      lock.lock();
      for (PendingBatch* pending : group) pending->done = true;
      committing_ = false;
      groupCommitted_.notify_all();
      throw;
    }
    lock.lock();
    for (PendingBatch* pending : group) pending->done = true, pending->stored = stored;
    committing_ = false;
    groupCommitted_.notify_all();
  }
  if (!mine.stored) return {503, kStoreRetryAfterSeconds, {}};
  return {};
}

bool Collector::commitGroup(const std::vector<PendingBatch*>& group) {
  std::vector<std::vector<bool>> isNew(group.size());
  std::vector<EventRecord> newRecords;
  {
    std::lock_guard lock(mutex_);
    std::unordered_set<std::string_view> inThisGroup;
    for (std::size_t b = 0; b < group.size(); ++b) {
      const auto& records = group[b]->batch->records;
      isNew[b].resize(records.size());
      for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string& eventId = records[i].eventId;
        isNew[b][i] = !seen(eventId) && inThisGroup.insert(eventId).second;
      }
    }
  }
  for (std::size_t b = 0; store_ && b < group.size(); ++b) {
    auto& records = group[b]->batch->records;
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (!isNew[b][i]) continue;
      // Moved to the insert; the batch keeps only the event id, for keepNewEvents.
      newRecords.push_back(std::move(records[i]));
      records[i].eventId = newRecords.back().eventId;
    }
  }
  if (store_) {
    try {
      store_->insert(newRecords);
    } catch (const StoreError& error) {
      log_(std::string("zevsite-collector: ") + std::to_string(group.size()) +
           " batch(es) not stored, answered 503: " + error.what());
      return false;
    }
  }
  for (std::size_t b = 0; b < group.size(); ++b) keepNewEvents(*group[b]->batch, isNew[b]);
  return true;
}

void Collector::keepNewEvents(const DecodedBatch& batch, const std::vector<bool>& isNew) {
  std::size_t added = 0;
  {
    std::lock_guard lock(mutex_);
    malformed_ += batch.malformed.size();
    for (std::size_t i = 0; i < batch.uploads.size(); ++i) {
      if (!isNew[i]) {
        ++duplicates_;
        continue;
      }
      const std::string& eventId = batch.records[i].eventId;
      if (countOnly_) {
        seenIdHashes_.insert(std::hash<std::string_view>{}(eventId));
      } else {
        recentIds_.insert(eventId);
      }
      ++added;
      // Counting only still writes the --jsonl file.
      if (jsonLines_.is_open()) writeJsonLineLocked(batch.uploads[i], batch.clockCorrection);
    }
  }
  // The --jsonl file and the observer have each event before it is counted, so whoever waits
  // for a count (or for the observer) finds them complete.
  for (std::size_t i = 0; onEvent_ && i < batch.uploads.size(); ++i) {
    if (isNew[i]) onEvent_(batch.uploads[i]);
  }
  {
    std::lock_guard lock(mutex_);
    counted_ += added;
  }
  changed_.notify_all();
}

void Collector::writeJsonLineLocked(const std::string& upload, std::int64_t clockCorrection) {
  nlohmann::ordered_json line = nlohmann::ordered_json::object();
  for (const auto& [key, value] : decodeFields(upload)) {
    std::int64_t deviceTime = 0;
    if (key == "ts" && parseEventTime(value, deviceTime)) {
      line["ts"] = std::to_string(correctedTime(deviceTime, clockCorrection));
      line["device_ts"] = value;
      continue;
    }
    line[key] = value;
  }
  jsonLines_ << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  jsonLines_.flush();
}

void Collector::countOnly(std::size_t expectedEvents) {
  std::lock_guard lock(mutex_);
  countOnly_ = true;
  seenIdHashes_.reserve(expectedEvents);
}

std::size_t Collector::eventCount() {
  std::lock_guard lock(mutex_);
  return counted_;
}

std::size_t Collector::malformedLines() {
  std::lock_guard lock(mutex_);
  return malformed_;
}

std::size_t Collector::duplicates() {
  std::lock_guard lock(mutex_);
  return duplicates_;
}

std::size_t Collector::uploadRequests() {
  std::lock_guard lock(mutex_);
  return uploadRequests_;
}

std::size_t Collector::bodyBytesReceived() {
  std::lock_guard lock(mutex_);
  return bodyBytes_;
}

bool Collector::waitForEventCount(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return counted_ >= count; });
}

}  // namespace zevsite::collector
