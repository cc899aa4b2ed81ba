#include "ZEVSiteRawClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

RawClient::RawClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{10, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

RawClient::~RawClient() { ::close(fd_); }

bool RawClient::send(const std::string& bytes) {
  return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(bytes.size());
}

std::string RawClient::head() {
  while (buffer_.find("\r\n\r\n") == std::string::npos) {
    if (!receive()) return {};
  }
  const std::size_t end = buffer_.find("\r\n\r\n") + 4;
  std::string head = buffer_.substr(0, end);
  buffer_.erase(0, end);
  const std::size_t length = head.find("Content-Length: ");
  if (length != std::string::npos) {
    const std::size_t bodyBytes = std::stoul(head.substr(length + 16));
    while (buffer_.size() < bodyBytes && receive()) {
    }
    body_ = buffer_.substr(0, bodyBytes);
    buffer_.erase(0, std::min(bodyBytes, buffer_.size()));
  }
  return head;
}

std::string RawClient::statusLine() {
  const std::string answer = head();
  return answer.substr(0, answer.find("\r\n"));
}

bool RawClient::closedByServer() {
  while (receive()) {
  }
  return lastRead_ == 0 || (lastRead_ < 0 && errno == ECONNRESET);
}

bool RawClient::receive() {
  char chunk[4096];
  lastRead_ = ::recv(fd_, chunk, sizeof chunk, 0);
  if (lastRead_ <= 0) return false;
  buffer_.append(chunk, static_cast<std::size_t>(lastRead_));
  return true;
}

std::string rawStatusLine(const std::string& url, const std::string& request) {
  RawClient client(std::stoi(url.substr(url.rfind(':') + 1)));
  if (!client.connected() || !client.send(request)) return {};
  return client.statusLine();
}
