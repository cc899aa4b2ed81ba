// The collector's HTTP/1.1 server: one event thread (epoll) accepts connections and reads
// requests, a small pool of handler threads answers complete ones. A connection costs a few
// hundred bytes while it sends its request, however slowly, so idle or byte-a-second clients
// cannot take the handlers away from the SDKs that post events; every request must arrive
// within its deadlines and bounds or is answered 4xx (or dropped, when nothing of it came).
//
// Requests and responses are cpp-httplib's value types (Request, Response), so routes are
// written as they would be for its server; nothing of its server runs here.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ZEVSiteHttpHead.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace zevsite::collector {

struct HttpLimits : HeadLimits {
  std::size_t maxBodyBytes = 8u << 20;  // per request, as sent: 413 beyond
  // Bodies being received or handled, all connections together: a request that would go over
  // is answered 503 with Retry-After before its body is read.
  std::size_t maxBufferedBodyBytes = 64u << 20;
  std::size_t maxConnections = 10000;  // more are accepted and closed at once
  // A connection that sends no request for this long is closed (nothing is answered).
  std::chrono::milliseconds idleTimeout{5000};
  // Once its first byte is in, the request's head must be complete within this; its body
  // then within bodyTimeout; and its answer must be taken within writeTimeout. 408 (or a
  // close, for the answer) otherwise.
  std::chrono::milliseconds headTimeout{10000};
  std::chrono::milliseconds bodyTimeout{60000};
  std::chrono::milliseconds writeTimeout{30000};
  std::size_t handlerThreads = 4;
};

using HttpHandler = std::function<void(const httplib::Request&, httplib::Response&)>;
// Sees each request once its head is in, before its body is read: answers it (returns true;
// the connection is then closed, its body unread) or lets it through to the routes.
using HttpFilter = std::function<bool(const httplib::Request&, httplib::Response&)>;

class HttpFront {
 public:
  HttpFront();
  // An HTTPS server with the certificate chain and private key of these PEM files; throws
  // std::runtime_error when they cannot be used.
  HttpFront(const std::string& certificateFile, const std::string& privateKeyFile);
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Routes by method and a regular expression over the whole path (its groups are in the
  // request's matches), tried in the order added. Add them before listen().
  void Get(const std::string& pattern, HttpHandler handler);
  void Post(const std::string& pattern, HttpHandler handler);
  void setFilter(HttpFilter filter);
  void setLimits(const HttpLimits& limits);
  const HttpLimits& limits() const { return limits_; }

  // Binds `host`:`port` (0: any free port) and serves from now on; returns the port. Throws
  // std::runtime_error when it cannot listen.
  int listen(const std::string& host, int port);
  // Closes every connection and stops the threads; requests being handled finish first.
  void stop();

 private:
  struct Connection;
  struct ConnectionTable;
  struct RouteTable;
  struct Job {
    std::uint64_t connection = 0;
    std::unique_ptr<httplib::Request> request;
    // The connection's socket when the handler may write the answer itself (plain, nothing
    // else queued), else -1. It stays open until the answer is back on the event thread.
    int directFd = -1;
    std::size_t reserved = 0;  // its body's share of the budget, given back once handled
  };
  struct Answer {
    std::uint64_t connection;
    std::string bytes;
    bool close;
    std::size_t alreadySent = 0;  // written by the handler thread
  };

  void runEvents();
  void acceptAll();
  void onReady(Connection& connection, std::uint32_t events);
  void advance(Connection& connection);
  bool readInto(Connection& connection);
  bool flush(Connection& connection);
  void startRequest(Connection& connection);
  void dispatch(Connection& connection);
  void refuse(Connection& connection, int status, const std::string& reason);
  void answer(Connection& connection, std::string bytes, bool close);
  void finishAnswer(Connection& connection);
  void takeAnswers();
  void sweepDeadlines();
  void updateInterest(Connection& connection);
  void close(std::uint64_t id);
  void runHandlers();
  Answer handle(Job& job);
  std::unique_ptr<httplib::Request> requestOf(const Connection& connection) const;

  HttpLimits limits_;
  std::unique_ptr<RouteTable> routes_;  // filled before listen(), read-only while serving
  HttpFilter filter_;
  struct TlsContext;
  std::unique_ptr<TlsContext> tls_;

  int listenFd_ = -1;
  int epollFd_ = -1;
  int wakeFd_ = -1;  // an eventfd: handler threads (answers ready) and stop() wake the loop
  // Runs the event loop: accepts, reads, parses and writes; owns every Connection and the
  // memory budget below. Nothing else touches them.
  std::thread eventThread_;
  // The connections by id (ids are never reused, so an answer for a closed one is dropped).
  std::unique_ptr<ConnectionTable> connections_;
  std::uint64_t nextConnectionId_ = 1;
  // Bodies being received (taken by the event thread) or handled (given back by the handler
  // thread before its answer goes out, so a client that has its answer finds the room).
  std::atomic<std::size_t> bufferedBodyBytes_{0};
  bool acceptPaused_ = false;  // out of descriptors: listening resumes at the next sweep
  std::chrono::steady_clock::time_point nextSweep_;

  // Run the routes for complete requests, one at a time each.
  std::vector<std::thread> handlerThreads_;
  // Guards the queues and the stop flag between the event thread and the handler threads.
  mutable std::mutex queueMutex_;
  std::condition_variable jobsWaiting_;  // with queueMutex_
  std::deque<Job> jobs_;
  std::vector<Answer> answers_;
  bool stopping_ = false;
};

}  // namespace zevsite::collector
