// The collector as the SDK's tests use it: the real collector (tools/collector), with replies
// that a test scripts per request, and a record of every event and upload request it saw.
// Accessors are thread-safe; the record is written on the server's threads.
#pragma once

#include "ZEVSiteCollector.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

class ZEVSiteRecordingCollector : public zevsite::collector::Collector {
 public:
  using Reply = zevsite::collector::CollectorReply;
  using Event = zevsite::collector::CollectedEvent;

  ZEVSiteRecordingCollector();
  // An https collector with the certificate chain and private key of these PEM files.
  ZEVSiteRecordingCollector(const std::string& certificateFile, const std::string& privateKeyFile);

  // Replies for the next upload requests, in order; then the policy's, else the collector's.
  void script(std::vector<Reply> replies);
  // Decides each reply from the number of upload strings in the request (after the script).
  void setPolicy(std::function<Reply(std::size_t uploads)> policy);

  // Every new event so far, decoded, in the order they were accepted.
  std::vector<Event> events();
  // Sizes (upload strings) of the upload requests answered so far, with their status.
  std::vector<std::pair<std::size_t, int>> requests();
  std::set<int> clientPorts();  // distinct client ports: 1 means one reused connection
  std::vector<std::string> contentTypes();
  // The Content-Encoding of each upload request ("" for a plain body).
  std::vector<std::string> contentEncodings();
  // The User-Agent of each upload request, in order.
  std::vector<std::string> userAgents();
  // Waits until `predicate` holds for the events, or the timeout passes.
  bool waitUntil(const std::function<bool(const std::vector<Event>&)>& predicate,
                 std::chrono::milliseconds timeout);

 private:
  void record();
  std::optional<Reply> nextReply(std::size_t uploads);

  std::mutex mutex_;                 // guards everything below
  std::condition_variable changed_;  // with mutex_: uploads_ grew
  std::deque<Reply> script_;
  std::function<Reply(std::size_t)> policy_;
  // Kept as received and decoded on demand.
  std::vector<std::string> uploads_;
  std::vector<zevsite::collector::UploadRequest> requests_;
};
