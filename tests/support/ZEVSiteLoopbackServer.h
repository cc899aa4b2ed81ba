// A real HTTP server on 127.0.0.1 for tests and tools (cpp-httplib), on its own thread.
// Handlers run on the server's threads; keep what they share guarded.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

class ZEVSiteLoopbackServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  ZEVSiteLoopbackServer();
  ~ZEVSiteLoopbackServer();  // stops the server and joins its thread

  void get(const std::string& pattern, Handler handler);
  void post(const std::string& pattern, Handler handler);
  // Starts listening on a free port; returns "http://127.0.0.1:<port>".
  std::string start();
  void stop();
  httplib::Server& server() { return *server_; }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::unique_ptr<std::thread> thread_;
};
