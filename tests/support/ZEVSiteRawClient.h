// A blocking loopback client for tests of the collector's HTTP server: sends bytes as the test
// says (a request in pieces, a malformed head) and reads what comes back. Reading gives up
// after 10 s, which a test reports as a failure, never as a timing.
#pragma once

#include <sys/types.h>

#include <string>

class RawClient {
 public:
  explicit RawClient(int port);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  bool send(const std::string& bytes);
  // The next answer's status line and headers ("" when the connection closes first); its
  // body, when it has a Content-Length, is then body().
  std::string head();
  std::string statusLine();
  const std::string& body() const { return body_; }
  // True once the server closed the connection (read returns 0 or a reset).
  bool closedByServer();

 private:
  bool receive();

  int fd_;
  bool connected_ = false;
  ssize_t lastRead_ = 1;
  std::string buffer_;
  std::string body_;
};

// Sends `request` as it stands over a new loopback connection to the port of `url` and returns
// the answer's status line ("" when there is none within 10 s).
std::string rawStatusLine(const std::string& url, const std::string& request);
