// The seam between the sender and the wire: a Transport carries one upload request at a time
// and reports the answer's status. HttpClient (libcurl) is the one the SDK uses; tests script
// answers through a transport of their own, without a server or real time.
//
// The sender makes its transport when it is made (see setTransportFactory) and uses it from
// its own thread only; abort() may come from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zevsite {
struct HttpRequest {
  std::string method;
  std::string url;
  std::vector<std::string> headers;  // "Name: value"
  std::string body;
};

struct HttpResponse {
  long status = 0;         // 0: no HTTP answer (network error, timeout, abort)
  std::string retryAfter;  // the Retry-After header's value, if any
  std::string error;       // what went wrong when status is 0
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Starts sending `request` within the connect and total timeouts and returns while it is
  // on the wire, so the caller can work meanwhile. One request at a time: finish() comes
  // before the next start().
  virtual void start(HttpRequest request, std::chrono::milliseconds connectTimeout,
                     std::chrono::milliseconds totalTimeout) = 0;
  // Waits for the answer to the started request (never longer than its total timeout).
  virtual HttpResponse finish() = 0;
  // Makes the request in progress (and any later one) give up at once. Any thread.
  virtual void abort() = 0;
  // In a child after fork(): lets go of whatever is shared with the parent (a connection)
  // without touching it, and starts afresh. The child's only thread calls it.
  virtual void abandonAfterFork() {}
};

using TransportFactory = std::function<std::unique_ptr<Transport>()>;

namespace net {
// Replaces the factory senders made from now on take their transport from; an empty one
// restores the libcurl client. Senders made before keep theirs.
void setTransportFactory(TransportFactory factory);
// A transport from the current factory.
std::unique_ptr<Transport> makeTransport();
}  // namespace net
}  // namespace zevsite
