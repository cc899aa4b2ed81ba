#include "ZEVSiteLoopbackServer.h"

#include <httplib.h>

#include <stdexcept>

ZEVSiteLoopbackServer::ZEVSiteLoopbackServer() : server_(std::make_unique<httplib::Server>()) {
  // Without it, keep-alive requests stall on delayed acknowledgements.
  server_->set_tcp_nodelay(true);
}

ZEVSiteLoopbackServer::~ZEVSiteLoopbackServer() { stop(); }

void ZEVSiteLoopbackServer::get(const std::string& pattern, Handler handler) {
  server_->Get(pattern, std::move(handler));
}

void ZEVSiteLoopbackServer::post(const std::string& pattern, Handler handler) {
  server_->Post(pattern, std::move(handler));
}

std::string ZEVSiteLoopbackServer::start() {
  int port = server_->bind_to_any_port("127.0.0.1");
  if (port <= 0) throw std::runtime_error("no loopback port");
  // The socket already listens: connections made before the thread accepts them wait.
  thread_ = std::make_unique<std::thread>([this] { server_->listen_after_bind(); });
  return "http://127.0.0.1:" + std::to_string(port);
}

void ZEVSiteLoopbackServer::stop() {
  if (!thread_) return;
  server_->stop();
  thread_->join();
  thread_.reset();
}
