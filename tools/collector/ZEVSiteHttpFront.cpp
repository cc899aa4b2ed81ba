#include "ZEVSiteHttpFront.h"

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace zevsite::collector {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kListenTag = 0;
constexpr std::uint64_t kWakeTag = ~std::uint64_t{0};
constexpr std::size_t kReadChunk = 16 * 1024;
// How often deadlines are checked, and listening resumes after running out of descriptors.
constexpr std::chrono::milliseconds kSweepInterval{100};
// A connection closed after its answer is read from (and what it sends dropped) for at most
// this long and this much, so the answer is not lost to a reset from unread input.
constexpr std::chrono::milliseconds kDrainTime{2000};
constexpr std::size_t kMostDrainedBytes = 1u << 20;

const char* reasonPhrase(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 411:
      return "Length Required";
    case 413:
      return "Payload Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 421:
      return "Misdirected Request";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}

// The bytes of `response` on the wire, its body left out for HEAD requests.
std::string serialized(const httplib::Response& response, bool close, bool withBody) {
  const int status = response.status < 0 ? 200 : response.status;
  std::string bytes = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
  for (const auto& [name, value] : response.headers) {
    if (equalsIgnoringCase(name, "Content-Length") || equalsIgnoringCase(name, "Connection")) {
      continue;
    }
    bytes += name + ": " + value + "\r\n";
  }
  bytes += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  bytes += close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
  if (withBody) bytes += response.body;
  return bytes;
}

std::string plainAnswer(int status, const std::string& text, const char* extraHeader = nullptr) {
  httplib::Response response;
  response.status = status;
  if (extraHeader) response.headers.emplace("Retry-After", extraHeader);
  response.set_content(text, "text/plain");
  return serialized(response, true, true);
}

std::pair<std::string, int> addressOf(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &in4.sin_addr, text, sizeof text);
    return {text, ntohs(in4.sin_port)};
  }
  const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
  ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
  return {text, ntohs(in6.sin6_port)};
}

// Lets this process hold as many connections as its hard limit allows (the soft limit is
// often 1024, fewer than the clients a collector serves).
void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

struct HttpFront::TlsContext {
  SSL_CTX* context = nullptr;
  ~TlsContext() { SSL_CTX_free(context); }
};

struct HttpFront::Connection {
  enum class Phase { Idle, Head, Body, Handling, Answering, Draining };
  std::uint64_t id = 0;
  int fd = -1;
  std::unique_ptr<SSL, decltype(&SSL_free)> tls{nullptr, SSL_free};
  Phase phase = Phase::Idle;
  bool dead = false;
  bool peerClosed = false;
  bool closeAfterAnswer = false;
  bool tlsReadWantsWrite = false;  // the last TLS read needs the socket writable
  bool tlsWriteWantsRead = false;  // the last TLS write needs the socket readable
  std::uint32_t interest = 0;      // the epoll events registered
  Clock::time_point deadline;
  std::string in;
  std::string out;
  std::size_t outSent = 0;
  std::size_t drained = 0;
  RequestHead head;
  std::size_t bodyLength = 0;
  std::size_t reserved = 0;                   // bytes of the body budget this request holds
  std::unique_ptr<httplib::Request> request;  // the request being read, once its head is in
  std::string remoteAddress, localAddress;
  int remotePort = 0, localPort = 0;
};

struct HttpFront::ConnectionTable {
  std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> byId;
};

struct HttpFront::RouteTable {
  struct Route {
    std::string method;
    std::regex pattern;
    HttpHandler handler;
  };
  std::vector<Route> routes;
};

HttpFront::HttpFront()
    : routes_(std::make_unique<RouteTable>()), connections_(std::make_unique<ConnectionTable>()) {}

HttpFront::HttpFront(const std::string& certificateFile, const std::string& privateKeyFile)
    : HttpFront() {
  tls_ = std::make_unique<TlsContext>();
  tls_->context = SSL_CTX_new(TLS_server_method());
  if (!tls_->context || SSL_CTX_set_min_proto_version(tls_->context, TLS1_2_VERSION) != 1 ||
      SSL_CTX_use_certificate_chain_file(tls_->context, certificateFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(tls_->context, privateKeyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(tls_->context) != 1) {
    ERR_clear_error();
    throw std::runtime_error("the certificate " + certificateFile + " or the key " +
                             privateKeyFile + " cannot be used");
  }
  SSL_CTX_set_mode(tls_->context,
                   SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
}

HttpFront::~HttpFront() { stop(); }

void HttpFront::Get(const std::string& pattern, HttpHandler handler) {
  routes_->routes.push_back({"GET", std::regex(pattern), std::move(handler)});
}

void HttpFront::Post(const std::string& pattern, HttpHandler handler) {
  routes_->routes.push_back({"POST", std::regex(pattern), std::move(handler)});
}

void HttpFront::setFilter(HttpFilter filter) { filter_ = std::move(filter); }

void HttpFront::setLimits(const HttpLimits& limits) { limits_ = limits; }

int HttpFront::listen(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found) != 0) {
    throw std::runtime_error("cannot resolve " + host);
  }
  for (addrinfo* at = found; at && listenFd_ < 0; at = at->ai_next) {
    const int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, at->ai_addr, at->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0) {
      listenFd_ = fd;
    } else {
      ::close(fd);
    }
  }
  ::freeaddrinfo(found);
  if (listenFd_ < 0) throw std::runtime_error("cannot listen on " + host + ":" + service);
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &size);
  const int boundPort = addressOf(bound).second;
  raiseDescriptorLimit();
  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event listenEvent{EPOLLIN, {.u64 = kListenTag}};
  epoll_event wakeEvent{EPOLLIN, {.u64 = kWakeTag}};
  if (epollFd_ < 0 || wakeFd_ < 0 ||
      ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &listenEvent) != 0 ||
      ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wakeEvent) != 0) {
    throw std::runtime_error("cannot wait for connections: " + std::string(std::strerror(errno)));
  }
  stopping_ = false;
  nextSweep_ = Clock::now() + kSweepInterval;
  eventThread_ = std::thread([this] { runEvents(); });
  for (std::size_t i = 0; i < std::max<std::size_t>(1, limits_.handlerThreads); ++i) {
    handlerThreads_.emplace_back([this] { runHandlers(); });
  }
  return boundPort;
}

void HttpFront::stop() {
  {
    std::lock_guard lock(queueMutex_);
    stopping_ = true;
  }
  jobsWaiting_.notify_all();
  if (wakeFd_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
  }
  if (eventThread_.joinable()) eventThread_.join();
  for (auto& thread : handlerThreads_) thread.join();
  handlerThreads_.clear();
  for (auto& [id, connection] : connections_->byId) ::close(connection->fd);
  connections_->byId.clear();
  bufferedBodyBytes_ = 0;
  for (int* fd : {&listenFd_, &epollFd_, &wakeFd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  jobs_.clear();
  answers_.clear();
}

void HttpFront::runEvents() {
  // TLS writes go through write(), which raises SIGPIPE when a client has gone; blocked here,
  // the write fails with EPIPE instead and only that connection closes.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  std::vector<epoll_event> events(256);
  for (;;) {
    const int ready = ::epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()),
                                   static_cast<int>(kSweepInterval.count()));
    for (int i = 0; i < ready; ++i) {
      const std::uint64_t tag = events[i].data.u64;
      if (tag == kListenTag) {
        acceptAll();
      } else if (tag == kWakeTag) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto got = ::read(wakeFd_, &count, sizeof count);
        takeAnswers();
      } else if (auto found = connections_->byId.find(tag); found != connections_->byId.end()) {
        onReady(*found->second, events[i].events);
      }
    }
    {
      std::lock_guard lock(queueMutex_);
      if (stopping_) break;
    }
    if (Clock::now() >= nextSweep_) {
      sweepDeadlines();
      nextSweep_ = Clock::now() + kSweepInterval;
    }
    std::erase_if(connections_->byId, [this](const auto& entry) {
      // A connection being handled keeps its socket until its answer is back: the handler
      // may be writing to it.
      if (!entry.second->dead || entry.second->phase == Connection::Phase::Handling) {
        return false;
      }
      ::close(entry.second->fd);
      bufferedBodyBytes_ -= entry.second->reserved;
      return true;
    });
  }
  // The sockets are closed by stop(), once no handler can be writing to one.
}

void HttpFront::acceptAll() {
  for (;;) {
    if (connections_->byId.size() >= limits_.maxConnections) {
      // The rest wait in the listen queue until connections close.
      acceptPaused_ = true;
      ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, listenFd_, nullptr);
      return;
    }
    sockaddr_storage remote{};
    socklen_t size = sizeof remote;
    const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&remote), &size,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        acceptPaused_ = true;  // resumed by the next sweep, when connections may have closed
        ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, listenFd_, nullptr);
      }
      return;  // EAGAIN: all taken; anything else concerns that one client
    }
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    auto connection = std::make_unique<Connection>();
    connection->id = nextConnectionId_++;
    connection->fd = fd;
    std::tie(connection->remoteAddress, connection->remotePort) = addressOf(remote);
    sockaddr_storage local{};
    size = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
    std::tie(connection->localAddress, connection->localPort) = addressOf(local);
    if (tls_) {
      connection->tls.reset(SSL_new(tls_->context));
      if (!connection->tls || SSL_set_fd(connection->tls.get(), fd) != 1) {
        ::close(fd);
        continue;
      }
      SSL_set_accept_state(connection->tls.get());
    }
    connection->deadline = Clock::now() + limits_.idleTimeout;
    connection->interest = EPOLLIN;
    epoll_event event{EPOLLIN, {.u64 = connection->id}};
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
      ::close(fd);
      continue;
    }
    connections_->byId.emplace(connection->id, std::move(connection));
  }
}

void HttpFront::onReady(Connection& connection, std::uint32_t events) {
  if (connection.dead) return;
  // A reset, or both directions shut: nobody is left to answer.
  if (events & (EPOLLERR | EPOLLHUP)) return close(connection.id);
  advance(connection);
}

// Moves a connection on as far as its bytes allow: writes what is queued, reads what has
// come, and starts each request that is complete.
void HttpFront::advance(Connection& connection) {
  using Phase = Connection::Phase;
  for (bool progress = true; progress && !connection.dead;) {
    progress = false;
    if (connection.outSent < connection.out.size()) {
      if (!flush(connection)) return close(connection.id);
      if (connection.outSent < connection.out.size()) break;  // the rest when writable
    }
    if (!connection.out.empty()) {
      connection.out.clear();
      connection.outSent = 0;
      if (connection.phase == Phase::Answering) {
        finishAnswer(connection);
        progress = true;
        continue;
      }
    }
    if (connection.phase == Phase::Handling || connection.phase == Phase::Answering) break;
    if (!readInto(connection)) return close(connection.id);
    if (connection.phase == Phase::Draining) {
      if (connection.peerClosed || connection.drained > kMostDrainedBytes) close(connection.id);
      break;
    }
    if (connection.phase == Phase::Idle || connection.phase == Phase::Head) {
      int status = 0;
      switch (parseRequestHead(connection.in, limits_, connection.head, status)) {
        case HeadParse::Incomplete:
          if (connection.phase == Phase::Idle && !connection.in.empty()) {
            connection.phase = Phase::Head;
            connection.deadline = Clock::now() + limits_.headTimeout;
          }
          break;
        case HeadParse::Refused:
          refuse(connection, status, reasonPhrase(status));
          progress = true;
          continue;
        case HeadParse::Complete:
          startRequest(connection);
          progress = true;
          continue;
      }
    }
    if (connection.phase == Phase::Body && connection.in.size() >= connection.bodyLength) {
      dispatch(connection);
      break;
    }
  }
  if (connection.dead) return;
  const bool waitingForRequest = connection.phase == Phase::Idle ||
                                 connection.phase == Phase::Head || connection.phase == Phase::Body;
  if (connection.peerClosed && waitingForRequest) return close(connection.id);
  updateInterest(connection);
}

// The most bytes a connection's input may hold in its phase: a head, or a body and the next
// head.
static std::size_t readLimitOf(std::size_t maxHeadBytes, std::size_t bodyLength, bool readingBody) {
  return (readingBody ? bodyLength : 0) + maxHeadBytes + 1;
}

bool HttpFront::readInto(Connection& connection) {
  using Phase = Connection::Phase;
  char buffer[kReadChunk];
  connection.tlsReadWantsWrite = false;
  for (;;) {
    const bool draining = connection.phase == Phase::Draining;
    const std::size_t limit =
        readLimitOf(limits_.maxHeadBytes, connection.bodyLength, connection.phase == Phase::Body);
    if (!draining && connection.in.size() >= limit) return true;
    const std::size_t room =
        draining ? kReadChunk : std::min(kReadChunk, limit - connection.in.size());
    ssize_t got = 0;
    if (connection.tls) {
      ERR_clear_error();
      const int read = SSL_read(connection.tls.get(), buffer, static_cast<int>(room));
      if (read <= 0) {
        switch (SSL_get_error(connection.tls.get(), read)) {
          case SSL_ERROR_WANT_READ:
            return true;
          case SSL_ERROR_WANT_WRITE:
            connection.tlsReadWantsWrite = true;
            return true;
          case SSL_ERROR_ZERO_RETURN:
            connection.peerClosed = true;
            return true;
          default:  // a broken handshake or stream: closed by the caller, or now if draining
            connection.peerClosed = draining;
            return draining;
        }
      }
      got = read;
    } else {
      got = ::recv(connection.fd, buffer, room, 0);
      if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
      if (got == 0) {
        connection.peerClosed = true;
        return true;
      }
    }
    if (draining) {
      connection.drained += static_cast<std::size_t>(got);
      if (connection.drained > kMostDrainedBytes) return true;
    } else {
      connection.in.append(buffer, static_cast<std::size_t>(got));
    }
  }
}

bool HttpFront::flush(Connection& connection) {
  connection.tlsWriteWantsRead = false;
  while (connection.outSent < connection.out.size()) {
    const char* data = connection.out.data() + connection.outSent;
    const std::size_t size = connection.out.size() - connection.outSent;
    if (connection.tls) {
      ERR_clear_error();
      const int written = SSL_write(connection.tls.get(), data,
                                    static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
      if (written <= 0) {
        switch (SSL_get_error(connection.tls.get(), written)) {
          case SSL_ERROR_WANT_WRITE:
            return true;
          case SSL_ERROR_WANT_READ:
            connection.tlsWriteWantsRead = true;
            return true;
          default:
            return false;
        }
      }
      connection.outSent += static_cast<std::size_t>(written);
    } else {
      const ssize_t written = ::send(connection.fd, data, size, MSG_NOSIGNAL);
      if (written < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
      connection.outSent += static_cast<std::size_t>(written);
    }
  }
  return true;
}

std::unique_ptr<httplib::Request> HttpFront::requestOf(const Connection& connection) const {
  auto request = std::make_unique<httplib::Request>();
  const RequestHead& head = connection.head;
  request->method = head.method;
  request->target = head.target;
  request->version = head.version;
  const std::size_t query = head.target.find('?');
  request->path = httplib::detail::decode_url(head.target.substr(0, query), false);
  if (query != std::string::npos) {
    httplib::detail::parse_query_text(head.target.substr(query + 1), request->params);
  }
  for (const auto& [name, value] : head.headers) request->headers.emplace(name, value);
  request->remote_addr = connection.remoteAddress;
  request->remote_port = connection.remotePort;
  request->local_addr = connection.localAddress;
  request->local_port = connection.localPort;
  return request;
}

void HttpFront::startRequest(Connection& connection) {
  const BodyFraming framing = bodyFramingOf(connection.head);
  if (framing.refusal) return refuse(connection, framing.refusal, reasonPhrase(framing.refusal));
  connection.in.erase(0, connection.head.length);
  connection.request = requestOf(connection);
  if (filter_) {
    httplib::Response response;
    if (filter_(*connection.request, response)) {
      connection.closeAfterAnswer = true;
      return answer(connection, serialized(response, true, connection.head.method != "HEAD"), true);
    }
  }
  if (framing.length > limits_.maxBodyBytes) {
    return refuse(connection, 413, "the body is larger than this collector takes");
  }
  if (bufferedBodyBytes_ + framing.length > limits_.maxBufferedBodyBytes) {
    connection.closeAfterAnswer = true;
    return answer(connection, plainAnswer(503, "too many bodies at once; try again shortly", "1"),
                  true);
  }
  bufferedBodyBytes_ += framing.length;
  connection.reserved = framing.length;
  connection.bodyLength = framing.length;
  connection.phase = Connection::Phase::Body;
  connection.deadline = Clock::now() + limits_.bodyTimeout;
  if (connection.in.size() < framing.length &&
      equalsIgnoringCase(connection.request->get_header_value("Expect"), "100-continue")) {
    connection.out += "HTTP/1.1 100 Continue\r\n\r\n";
  }
}

void HttpFront::dispatch(Connection& connection) {
  auto& request = connection.request;
  request->body = connection.in.substr(0, connection.bodyLength);
  connection.in.erase(0, connection.bodyLength);
  if (request->get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) ==
      0) {
    httplib::detail::parse_query_text(request->body, request->params);
  }
  connection.phase = Connection::Phase::Handling;
  const std::size_t reserved = std::exchange(connection.reserved, 0);  // the job gives it back
  // The answer goes out from the handler's thread when it can: one thread switch less
  // before the client has it.
  const int directFd =
      connection.tls || connection.outSent < connection.out.size() ? -1 : connection.fd;
  {
    std::lock_guard lock(queueMutex_);
    jobs_.push_back({connection.id, std::move(request), directFd, reserved});
  }
  jobsWaiting_.notify_one();
}

void HttpFront::refuse(Connection& connection, int status, const std::string& reason) {
  answer(connection, plainAnswer(status, reason), true);
}

void HttpFront::answer(Connection& connection, std::string bytes, bool close) {
  bufferedBodyBytes_ -= connection.reserved;
  connection.reserved = 0;
  connection.request.reset();
  connection.closeAfterAnswer = connection.closeAfterAnswer || close;
  connection.phase = Connection::Phase::Answering;
  connection.deadline = Clock::now() + limits_.writeTimeout;
  connection.out += bytes;
}

void HttpFront::finishAnswer(Connection& connection) {
  if (connection.closeAfterAnswer || connection.peerClosed) {
    // Read what the client still sends (an unread body, say) before closing, so the close
    // is not a reset that could take the answer with it.
    connection.phase = Connection::Phase::Draining;
    connection.deadline = Clock::now() + kDrainTime;
    connection.in.clear();
    if (connection.tls) SSL_shutdown(connection.tls.get());
    ::shutdown(connection.fd, SHUT_WR);
    return;
  }
  connection.phase = Connection::Phase::Idle;
  connection.head = RequestHead{};
  connection.bodyLength = 0;
  connection.deadline = Clock::now() + limits_.idleTimeout;
}

void HttpFront::takeAnswers() {
  std::vector<Answer> ready;
  {
    std::lock_guard lock(queueMutex_);
    ready.swap(answers_);
  }
  for (Answer& done : ready) {
    auto found = connections_->byId.find(done.connection);
    if (found == connections_->byId.end()) continue;
    Connection& connection = *found->second;
    if (connection.dead) {
      connection.phase = Connection::Phase::Answering;  // no longer handled: closed now
      continue;
    }
    answer(connection, std::move(done.bytes), done.close);
    connection.outSent += done.alreadySent;
    advance(connection);
  }
}

void HttpFront::sweepDeadlines() {
  using Phase = Connection::Phase;
  const auto now = Clock::now();
  for (auto& [id, connection] : connections_->byId) {
    if (connection->dead || connection->phase == Phase::Handling || now < connection->deadline) {
      continue;
    }
    if (connection->phase == Phase::Head || connection->phase == Phase::Body) {
      refuse(*connection, 408, "the request took too long");
      advance(*connection);
    } else {
      close(id);
    }
  }
  if (acceptPaused_ && connections_->byId.size() < limits_.maxConnections) {
    epoll_event event{EPOLLIN, {.u64 = kListenTag}};
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &event) == 0) acceptPaused_ = false;
  }
}

void HttpFront::updateInterest(Connection& connection) {
  using Phase = Connection::Phase;
  std::uint32_t wanted = 0;
  const bool reading = connection.phase == Phase::Idle || connection.phase == Phase::Head ||
                       connection.phase == Phase::Body || connection.phase == Phase::Draining;
  if (reading && (connection.phase == Phase::Draining ||
                  connection.in.size() < readLimitOf(limits_.maxHeadBytes, connection.bodyLength,
                                                     connection.phase == Phase::Body))) {
    wanted |= EPOLLIN;
  }
  if (connection.tlsWriteWantsRead) wanted |= EPOLLIN;
  if (connection.outSent < connection.out.size() || connection.tlsReadWantsWrite) {
    wanted |= EPOLLOUT;
  }
  if (wanted == connection.interest) return;
  epoll_event event{wanted, {.u64 = connection.id}};
  if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, connection.fd, &event) == 0) {
    connection.interest = wanted;
  }
}

void HttpFront::close(std::uint64_t id) {
  auto found = connections_->byId.find(id);
  if (found == connections_->byId.end()) return;
  Connection& connection = *found->second;
  if (connection.dead) return;
  connection.dead = true;
  ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, connection.fd, nullptr);
  // The descriptor is closed, and the entry erased, at the end of this round of events.
}

void HttpFront::runHandlers() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(queueMutex_);
      jobsWaiting_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    Answer done = handle(job);
    job.request.reset();
    bufferedBodyBytes_ -= job.reserved;
    if (job.directFd >= 0) {
      const ssize_t sent =
          ::send(job.directFd, done.bytes.data(), done.bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) done.alreadySent = static_cast<std::size_t>(sent);
    }
    {
      std::lock_guard lock(queueMutex_);
      answers_.push_back(std::move(done));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
  }
}

HttpFront::Answer HttpFront::handle(Job& job) {
  httplib::Request& request = *job.request;
  httplib::Response response;
  const bool head = request.method == "HEAD";
  bool routed = false;
  for (const auto& route : routes_->routes) {
    if (route.method != request.method && !(head && route.method == "GET")) continue;
    if (!std::regex_match(request.path, request.matches, route.pattern)) continue;
    routed = true;
    try {
      route.handler(request, response);
    } catch (const std::exception&) {
      response = httplib::Response();
      response.status = 500;
      response.set_content("the request could not be answered", "text/plain");
    }
    break;
  }
  if (!routed) {
    response.status = 404;
    response.set_content("not found", "text/plain");
  }
  const std::string connectionHeader = request.get_header_value("Connection");
  const bool close =
      equalsIgnoringCase(response.get_header_value("Connection"), "close") ||
      equalsIgnoringCase(connectionHeader, "close") ||
      (request.version == "HTTP/1.0" && !equalsIgnoringCase(connectionHeader, "keep-alive"));
  return {job.connection, serialized(response, close, !head), close};
}

}  // namespace zevsite::collector
