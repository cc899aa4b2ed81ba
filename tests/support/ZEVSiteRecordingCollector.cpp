#include "ZEVSiteRecordingCollector.h"

ZEVSiteRecordingCollector::ZEVSiteRecordingCollector() { record(); }

ZEVSiteRecordingCollector::ZEVSiteRecordingCollector(const std::string& certificateFile,
                                                     const std::string& privateKeyFile)
    : Collector(certificateFile, privateKeyFile) {
  record();
}

void ZEVSiteRecordingCollector::record() {
  setReplyOverride([this](std::size_t uploads) { return nextReply(uploads); });
  setOnEvent([this](const std::string& upload) {
    {
      std::lock_guard lock(mutex_);
      uploads_.push_back(upload);
    }
    changed_.notify_all();
  });
  setRequestObserver([this](const zevsite::collector::UploadRequest& request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  });
}

std::optional<ZEVSiteRecordingCollector::Reply> ZEVSiteRecordingCollector::nextReply(
    std::size_t uploads) {
  std::lock_guard lock(mutex_);
  if (!script_.empty()) {
    Reply reply = script_.front();
    script_.pop_front();
    return reply;
  }
  if (policy_) return policy_(uploads);
  return std::nullopt;
}

void ZEVSiteRecordingCollector::script(std::vector<Reply> replies) {
  std::lock_guard lock(mutex_);
  script_.assign(replies.begin(), replies.end());
}

void ZEVSiteRecordingCollector::setPolicy(std::function<Reply(std::size_t)> policy) {
  std::lock_guard lock(mutex_);
  policy_ = std::move(policy);
}

std::vector<ZEVSiteRecordingCollector::Event> ZEVSiteRecordingCollector::events() {
  std::vector<std::string> uploads;
  {
    std::lock_guard lock(mutex_);
    uploads = uploads_;
  }
  std::vector<Event> events;
  events.reserve(uploads.size());
  for (const auto& upload : uploads) events.push_back(decodeEvent(upload));
  return events;
}

std::vector<std::pair<std::size_t, int>> ZEVSiteRecordingCollector::requests() {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::size_t, int>> sizes;
  for (const auto& request : requests_) sizes.emplace_back(request.uploads, request.status);
  return sizes;
}

std::set<int> ZEVSiteRecordingCollector::clientPorts() {
  std::lock_guard lock(mutex_);
  std::set<int> ports;
  for (const auto& request : requests_) ports.insert(request.remotePort);
  return ports;
}

std::vector<std::string> ZEVSiteRecordingCollector::contentTypes() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> types;
  for (const auto& request : requests_) types.push_back(request.contentType);
  return types;
}

std::vector<std::string> ZEVSiteRecordingCollector::contentEncodings() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> encodings;
  for (const auto& request : requests_) encodings.push_back(request.contentEncoding);
  return encodings;
}

std::vector<std::string> ZEVSiteRecordingCollector::userAgents() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> agents;
  for (const auto& request : requests_) agents.push_back(request.userAgent);
  return agents;
}

bool ZEVSiteRecordingCollector::waitUntil(
    const std::function<bool(const std::vector<Event>&)>& predicate,
    std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
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
