// A transport whose answers the test gives, installed as the factory of the senders made
// while it lives: no server, no sockets, no real time. Each request the sender starts waits in
// finish() until the test answers it (or a standing answer does), so a test steps the sender
// one request at a time and sees exactly what it sent.
#pragma once

#include "Network/ZEVSiteTransport.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class ZEVSiteScriptedTransport {
 public:
  // Installs the factory; the destructor restores the libcurl client and answers what still
  // waits as an aborted request.
  ZEVSiteScriptedTransport();
  ~ZEVSiteScriptedTransport();
  ZEVSiteScriptedTransport(const ZEVSiteScriptedTransport&) = delete;
  ZEVSiteScriptedTransport& operator=(const ZEVSiteScriptedTransport&) = delete;

  // The next request the sender started that nextRequest has not returned yet, waiting for it
  // up to `guard` of real time (a failure guard: a test that passes never waits it out).
  std::optional<zevsite::HttpRequest> nextRequest(
      std::chrono::milliseconds guard = std::chrono::seconds(10));
  // Waits (up to `guard` of real time) until the sender waits for the answer to the request
  // nextRequest returned last: all it does while a request is on the wire is done.
  bool waitUntilAnswerAwaited(std::chrono::milliseconds guard = std::chrono::seconds(10));
  // Answers the request nextRequest returned last.
  void answer(long status, std::string retryAfter = {});
  // Answers it as a request that got no HTTP answer (a refused connection, a timeout).
  void failWithoutAnswer(std::string error);
  // Answers every request not answered by hand, now and later, with `status`; nullopt stops.
  void answerAllWith(std::optional<long> status);

  // Requests started so far, answered or not.
  std::size_t startedCount();
  // Event upload strings of every request answered 2xx, in order (bodies decompressed).
  std::vector<std::string> deliveredUploads();

  // The upload strings in a request's body (gzip or plain).
  static std::vector<std::string> uploadsOf(const zevsite::HttpRequest& request);

 private:
  struct Script;
  class Transport;
  std::shared_ptr<Script> script_;
};
