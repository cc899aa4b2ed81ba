#include "ZEVSiteAccess.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cctype>
#include <fstream>
#include <random>

namespace zevsite::collector {

namespace {

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The name part of a Host header: "[::1]:8787" -> "[::1]", "example.org:80" -> "example.org".
std::string hostName(const std::string& host) {
  const std::string name = lowercase(trimmed(host));
  if (!name.empty() && name.front() == '[') return name.substr(0, name.find(']') + 1);
  return name.substr(0, name.find(':'));
}

// Equal in time that does not depend on where they differ.
bool sameSecret(const std::string& a, const std::string& b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  const std::string& against = a.size() == b.size() ? b : a;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ against[i]);
  }
  return difference == 0;
}

// The value of cookie `name` in a Cookie header, or "".
std::string cookieValue(const std::string& header, const std::string& name) {
  std::size_t at = 0;
  while (at < header.size()) {
    std::size_t end = header.find(';', at);
    if (end == std::string::npos) end = header.size();
    const std::string pair = trimmed(header.substr(at, end - at));
    if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 &&
        pair[name.size()] == '=') {
      return pair.substr(name.size() + 1);
    }
    at = end + 1;
  }
  return {};
}

}  // namespace

std::optional<std::vector<std::string>> AccessControl::readTokenFile(const std::string& path,
                                                                     std::string& problem) {
  std::ifstream file(path);
  if (!file) {
    problem = "cannot read the token file " + path;
    return std::nullopt;
  }
  std::vector<std::string> tokens;
  for (std::string line; std::getline(file, line);) {
    line = trimmed(line);
    if (!line.empty() && line.front() != '#') tokens.push_back(line);
  }
  if (tokens.empty()) {
    problem = "the token file " + path + " holds no token (one per line)";
    return std::nullopt;
  }
  return tokens;
}

bool AccessControl::isLoopback(const std::string& host) {
  const std::string name = lowercase(host);
  if (name == "localhost" || name == "::1" || name == "[::1]") return true;
  in_addr address{};
  return inet_pton(AF_INET, name.c_str(), &address) == 1 &&
         (ntohl(address.s_addr) >> 24) == 127;  // 127.0.0.0/8
}

void AccessControl::setPolicy(AccessPolicy policy) {
  policy_ = std::move(policy);
  hosts_ = {"localhost", "127.0.0.1", "[::1]"};
  for (const auto& host : policy_.publicHosts) hosts_.push_back(hostName(host));
}

void AccessControl::setBoundHost(const std::string& host) {
  const std::string name = lowercase(host);
  hosts_.push_back(name.find(':') != std::string::npos && name.front() != '[' ? "[" + name + "]"
                                                                              : name);
}

bool AccessControl::knownHost(const std::string& host) const {
  return std::find(hosts_.begin(), hosts_.end(), hostName(host)) != hosts_.end();
}

std::optional<Refusal> AccessControl::checkRead(const std::string& host,
                                                const std::string& authorization,
                                                const std::string& cookie) {
  if (!knownHost(host)) return Refusal{421, "this collector does not answer to that host name"};
  if (!requiresToken()) return std::nullopt;
  constexpr std::string_view kBearer = "Bearer ";
  if (authorization.size() > kBearer.size() &&
      authorization.compare(0, kBearer.size(), kBearer) == 0 &&
      validToken(authorization.substr(kBearer.size()))) {
    return std::nullopt;
  }
  if (validSession(cookie)) return std::nullopt;
  return Refusal{401, "an API token is needed"};
}

std::optional<Refusal> AccessControl::checkCollect(const std::optional<std::string>& origin) const {
  if (!origin) return std::nullopt;
  const auto& allowed = policy_.allowedOrigins;
  if (std::find(allowed.begin(), allowed.end(), *origin) != allowed.end()) return std::nullopt;
  return Refusal{403, "events are not accepted from web pages of this origin"};
}

bool AccessControl::validToken(const std::string& token) const {
  bool valid = false;
  for (const auto& known : policy_.apiTokens) valid |= sameSecret(token, known);
  return valid;
}

std::string AccessControl::openSession() {
  std::random_device random;  // the kernel's random source
  std::string id;
  constexpr const char* kHex = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) {
    const unsigned value = random();
    id += kHex[value & 15];
    id += kHex[(value >> 4) & 15];
  }
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(sessionsMutex_);
  std::erase_if(sessions_, [&](const auto& session) { return session.second <= now; });
  if (sessions_.size() >= kMostSessions) {
    sessions_.erase(std::min_element(sessions_.begin(), sessions_.end(),
                                     [](auto& a, auto& b) { return a.second < b.second; }));
  }
  sessions_[id] = now + kSessionLifetime;
  return id;
}

bool AccessControl::validSession(const std::string& cookieHeader) {
  const std::string id = cookieValue(cookieHeader, kSessionCookie);
  if (id.empty()) return false;
  std::lock_guard lock(sessionsMutex_);
  const auto found = sessions_.find(id);
  return found != sessions_.end() && found->second > std::chrono::steady_clock::now();
}

}  // namespace zevsite::collector
