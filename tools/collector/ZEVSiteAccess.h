// Who may read the collector's data and who may post events to it.
//
// Read routes (the API, the dashboard and its assets) answer only to a Host the operator named
// or the collector's own address (421 otherwise: a page on another name, a DNS-rebinding
// attack, gets nothing), and, when API tokens are set, only to a request that carries one
// (Authorization: Bearer TOKEN) or the session cookie that the login page sets once a token
// was typed (401 otherwise). /collect refuses a request that carries an Origin header not
// allowed (403): the SDK sends none, a web page always does, so a page cannot post events
// through a visitor's browser.
//
// Checked on the server's threads; sessions are guarded by a mutex of their own.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zevsite::collector {

struct AccessPolicy {
  // Tokens that open the read routes; none: the read routes are open (a loopback collector).
  std::vector<std::string> apiTokens;
  // Host names the read routes answer to, besides the bound address and loopback names.
  std::vector<std::string> publicHosts;
  // Origins (scheme://host[:port]) whose requests /collect accepts.
  std::vector<std::string> allowedOrigins;
};

// Why a request is refused: its status and a short text for the client.
struct Refusal {
  int status = 0;
  std::string message;
};

class AccessControl {
 public:
  static constexpr const char* kSessionCookie = "zevsite_session";
  // A session lasts this long after its login; at most kMostSessions are kept (the oldest
  // goes first), so logins cannot grow the collector's memory.
  static constexpr std::chrono::hours kSessionLifetime{12};
  static constexpr std::size_t kMostSessions = 1000;

  // The tokens of a token file, one per line (blank lines and lines starting with # are
  // skipped); nullopt, with why in `problem`, when it cannot be read or holds none.
  static std::optional<std::vector<std::string>> readTokenFile(const std::string& path,
                                                               std::string& problem);
  // Whether `host` (an address or name to listen on) reaches only this machine.
  static bool isLoopback(const std::string& host);

  AccessControl() { setPolicy({}); }
  void setPolicy(AccessPolicy policy);
  // The address the collector listens on: its name is a Host the read routes answer to.
  void setBoundHost(const std::string& host);
  bool requiresToken() const { return !policy_.apiTokens.empty(); }

  // A read route's request: nullopt when it may be answered. `host` is its Host header,
  // `authorization` its Authorization header and `cookie` its Cookie header.
  std::optional<Refusal> checkRead(const std::string& host, const std::string& authorization,
                                   const std::string& cookie);
  // Whether `host` names this collector (the login page answers only to those too).
  bool knownHost(const std::string& host) const;
  // A /collect request: nullopt when it may be stored. `origin` is its Origin header, or
  // nullopt when it has none.
  std::optional<Refusal> checkCollect(const std::optional<std::string>& origin) const;

  // Whether `token` is one of the API tokens (compared in constant time).
  bool validToken(const std::string& token) const;
  // A new session for a valid login: its cookie's value.
  std::string openSession();

 private:
  bool validSession(const std::string& cookieHeader);

  AccessPolicy policy_;             // set before the server starts
  std::vector<std::string> hosts_;  // names the read routes answer to, lowercase
  std::mutex sessionsMutex_;        // guards sessions_ (logins and checks on server threads)
  // Session id -> when it ends (steady clock).
  std::map<std::string, std::chrono::steady_clock::time_point> sessions_;
};

}  // namespace zevsite::collector
