// The upload request and the libcurl client that sends it.
//
// buildUploadRequest is a pure function (tested without a network); HttpClient keeps
// one libcurl handle so consecutive requests reuse the connection (keep-alive, TCP_NODELAY),
// driven through a multi handle so a request can be in flight while its caller works.
// A client is used by one thread at a time (the sender's); abort() may come from any thread.
#pragma once

#include "ZEVSiteTransport.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zevsite {
// A POST of upload strings joined by newlines, as text/plain UTF-8; with `compress`, the
// body is gzip and says so (Content-Encoding: gzip), unless zlib failed.
HttpRequest buildUploadRequest(const std::string& collectURL,
                               const std::vector<std::string>& uploads, bool compress = false);

class HttpClient final : public Transport {
 public:
  HttpClient();
  ~HttpClient() override;
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Starts sending `request` within the connect and total timeouts (certificates always
  // verified; the host's proxy and CA bundle, see NetworkSettings) and returns while it is
  // on the wire, so the caller can work meanwhile. One request at a time: call finish() before the
  // next start().
  void start(HttpRequest request, std::chrono::milliseconds connectTimeout,
             std::chrono::milliseconds totalTimeout) override;
  // Waits for the answer to the started request. At most 64 KiB of the answer's body is read:
  // a longer body ends the request there (the connection is closed, not reused) and the
  // status stands.
  HttpResponse finish() override;
  // Makes the request in progress (and any later one) give up at once. Any thread.
  void abort() override;
  // In a child after fork(): lets go of the connection shared with the parent without
  // touching it (closing it or finishing its request would disturb the parent's) and starts
  // afresh. The child's only thread calls it.
  void abandonAfterFork() override;

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
  std::atomic<bool> aborted_{false};
};
}  // namespace zevsite
