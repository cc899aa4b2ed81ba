// Who may read the collector's data and who may post to it: API tokens and the dashboard's
// login session, the host names the read routes answer to, the origins /collect accepts, and
// the refusal to listen on the network without tokens. Through real HTTP, with a real store.
#include "ZEVSiteCollector.h"
#include "ZEVSiteTestSupport.h"

#include <httplib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

namespace {

constexpr const char* kToken = "first-token-3f9a";

std::string eventLine(const std::string& eventId) {
  return "tid=dc-7&t=pageview&dt=Home&v=1&cid=client-1&eid=" + eventId +
         "&ts=1767268800000&sdkv=0.1.0";
}

class CollectorUnderAccess {
 public:
  explicit CollectorUnderAccess(zevsite::collector::AccessPolicy policy)
      : directory_(makeTemporaryDirectory()) {
    collector_.setStore(
        zevsite::collector::openAnalyticsStore("sqlite:" + directory_ + "/collector.sqlite"));
    collector_.setLog([](const std::string&) {});
    collector_.setAccess(std::move(policy));
    const std::string url = collector_.start();
    port_ = std::stoi(url.substr(url.rfind(':') + 1));
  }
  ~CollectorUnderAccess() { collector_.stop(); }

  int port() const { return port_; }
  zevsite::collector::Collector& collector() { return collector_; }
  httplib::Result get(const std::string& path, httplib::Headers headers = {}) {
    return client().Get(path, headers);
  }
  httplib::Result post(const std::string& path, const std::string& body, const char* type,
                       httplib::Headers headers = {}) {
    return client().Post(path, headers, body, type);
  }

 private:
  httplib::Client client() {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(30, 0);
    return client;
  }

  std::string directory_;
  zevsite::collector::Collector collector_;
  int port_ = 0;
};

httplib::Headers bearer(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }

}  // namespace

TEST(ZEVSiteCollectorAccess, ReadRoutesNeedATokenOrTheLoginSession) {
  CollectorUnderAccess server({{kToken, "second-token"}, {}, {}});
  ASSERT_EQ(server.post("/collect", eventLine("e-1"), "text/plain")->status, 200);

  // Without a token nothing is shown: the API says why, the dashboard shows the login form.
  for (const char* path : {"/api/apps", "/api/summary?app=7", "/", "/dashboard.js"}) {
    auto answer = server.get(path);
    ASSERT_TRUE(answer) << path;
    EXPECT_EQ(answer->status, 401) << path;
    EXPECT_EQ(answer->body.find("\"7\""), std::string::npos) << path;
    EXPECT_TRUE(answer->has_header("WWW-Authenticate")) << path;
  }
  EXPECT_NE(server.get("/")->body.find("<form method=\"post\" action=\"/login\""),
            std::string::npos);
  EXPECT_EQ(server.get("/")->body.find("dashboard.js"), std::string::npos);
  EXPECT_EQ(server.get("/api/apps", bearer("first-token-3f9b"))->status, 401);
  EXPECT_EQ(server.get("/api/apps", bearer(""))->status, 401);
  EXPECT_EQ(server.get("/api/apps", {{"Authorization", kToken}})->status, 401);
  // Either token opens every read route.
  auto apps = server.get("/api/apps", bearer(kToken));
  EXPECT_EQ(apps->status, 200);
  EXPECT_EQ(apps->body, R"({"apps":["7"],"names":{}})");
  EXPECT_EQ(server.get("/api/apps", bearer("second-token"))->status, 200);
  EXPECT_EQ(server.get("/", bearer(kToken))->status, 200);

  // The login page: a wrong token sets nothing; the right one sets a strict, script-proof
  // session cookie that then opens the read routes.
  auto refused = server.post("/login", "token=wrong", "application/x-www-form-urlencoded");
  EXPECT_EQ(refused->status, 401);
  EXPECT_FALSE(refused->has_header("Set-Cookie"));
  auto login =
      server.post("/login", std::string("token=") + kToken, "application/x-www-form-urlencoded");
  EXPECT_EQ(login->status, 303);
  EXPECT_EQ(login->get_header_value("Location"), "/");
  const std::string cookie = login->get_header_value("Set-Cookie");
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos) << cookie;
  EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos) << cookie;
  const std::string session = cookie.substr(0, cookie.find(';'));
  ASSERT_EQ(session.rfind("zevsite_session=", 0), 0u) << cookie;
  EXPECT_EQ(server.get("/api/apps", {{"Cookie", "theme=dark; " + session}})->status, 200);
  EXPECT_EQ(server.get("/", {{"Cookie", session}})->status, 200);
  EXPECT_EQ(server.get("/api/apps", {{"Cookie", "zevsite_session=forged"}})->status, 401);
  // A second login is a session of its own.
  auto again =
      server.post("/login", std::string("token=") + kToken, "application/x-www-form-urlencoded");
  EXPECT_NE(again->get_header_value("Set-Cookie").substr(0, cookie.find(';')), session);
}

TEST(ZEVSiteCollectorAccess, ForeignHostsAndWebOriginsAreRefused) {
  CollectorUnderAccess server({{}, {"analytics.example.org"}, {"https://app.example.org"}});
  const std::string port = std::to_string(server.port());
  // A page on another name (DNS rebinding) gets nothing; the bound address, loopback names
  // and the configured public names are answered, with or without a port.
  for (const std::string& host :
       std::vector<std::string>{"evil.example.com", "evil.example.com:" + port, "127.0.0.2"}) {
    EXPECT_EQ(server.get("/api/apps", {{"Host", host}})->status, 421) << host;
    EXPECT_EQ(server.get("/", {{"Host", host}})->status, 421) << host;
    EXPECT_EQ(server.get("/login", {{"Host", host}})->status, 421) << host;
  }
  for (const std::string& host :
       std::vector<std::string>{"127.0.0.1:" + port, "localhost:" + port, "LOCALHOST",
                                "analytics.example.org", "Analytics.Example.org:443"}) {
    EXPECT_EQ(server.get("/api/apps", {{"Host", host}})->status, 200) << host;
  }
  // Without tokens the login page only leads to the dashboard.
  EXPECT_EQ(server.get("/login")->status, 303);

  // /collect: the SDK sends no Origin; a web page always does, and only an allowed one is
  // stored.
  auto forged = server.post("/collect", eventLine("e-forged"), "text/plain",
                            {{"Origin", "https://evil.example.com"}});
  EXPECT_EQ(forged->status, 403);
  EXPECT_EQ(
      server.post("/collect", eventLine("e-null"), "text/plain", {{"Origin", "null"}})->status,
      403);
  EXPECT_EQ(server.collector().eventCount(), 0u);
  EXPECT_EQ(server.get("/api/apps")->body, R"({"apps":[],"names":{}})");
  EXPECT_EQ(server
                .post("/collect", eventLine("e-page"), "text/plain",
                      {{"Origin", "https://app.example.org"}})
                ->status,
            200);
  EXPECT_EQ(server.post("/collect", eventLine("e-sdk"), "text/plain")->status, 200);
  EXPECT_EQ(server.collector().eventCount(), 2u);
  // A foreign Host does not stop the SDK's uploads (they may come through a proxy).
  EXPECT_EQ(
      server.post("/collect", eventLine("e-proxied"), "text/plain", {{"Host", "cdn.example"}})
          ->status,
      200);
}

#ifdef ZEVSITE_COLLECTOR_PROGRAM
namespace {

// Exit code and output (both streams) of the standalone collector with `arguments`.
std::pair<int, std::string> runCollector(const std::string& arguments) {
  std::string command = ZEVSITE_COLLECTOR_PROGRAM;
  command.append(" ").append(arguments).append(" 2>&1");
  ZEVSiteChild child = spawnChild("/bin/sh", {"-c", command}, /*readOutput=*/true);
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = ::read(child.outputFd, buffer, sizeof buffer)) > 0;) {
    output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(child.outputFd);
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

}  // namespace

// The standalone collector will not open every app's data to the network, and says why.
TEST(ZEVSiteCollectorAccess, ListeningOffLoopbackNeedsATokenFile) {
  const std::string directory = makeTemporaryDirectory();
  const std::string common = "--port 0 --db sqlite:" + directory + "/c.sqlite ";
  auto [code, output] = runCollector(common + "--host 0.0.0.0");
  EXPECT_EQ(code, 2);
  EXPECT_NE(output.find("refusing to listen on 0.0.0.0 without --api-token-file"),
            std::string::npos)
      << output;
  std::tie(code, output) =
      runCollector(common + "--host 192.0.2.1 --api-token-file " + directory + "/missing");
  EXPECT_EQ(code, 1);
  EXPECT_NE(output.find("cannot read the token file"), std::string::npos) << output;
  { std::ofstream(directory + "/blank") << "\n# comments only\n   \n"; }
  std::tie(code, output) =
      runCollector(common + "--host 192.0.2.1 --api-token-file " + directory + "/blank");
  EXPECT_EQ(code, 1);
  EXPECT_NE(output.find("holds no token"), std::string::npos) << output;
  // Nothing was stored or opened for these attempts.
  EXPECT_FALSE(std::filesystem::exists(directory + "/c.sqlite"));
}

// apps add registers (and renames) apps in a store; apps list shows them, and only of a
// store that exists.
TEST(ZEVSiteCollectorAccess, AppsAreRegisteredFromTheCommandLine) {
  const std::string directory = makeTemporaryDirectory();
  const std::string database = "--db sqlite:" + directory + "/c.sqlite";
  EXPECT_EQ(runCollector("apps add " + database + " 7 --name 'Shop'").first, 0);
  EXPECT_EQ(runCollector("apps add " + database + " 8").first, 0);
  EXPECT_EQ(runCollector("apps add " + database + " 7 --name 'Shop & Co'").first, 0);
  EXPECT_EQ(runCollector("apps list " + database),
            std::pair(0, std::string("7\tShop & Co\n8\t8\n")));
  auto [code, output] = runCollector("apps list --db sqlite:" + directory + "/missing.sqlite");
  EXPECT_EQ(code, 1);
  EXPECT_FALSE(std::filesystem::exists(directory + "/missing.sqlite")) << output;
  EXPECT_EQ(runCollector("apps add " + database).first, 2);
  EXPECT_EQ(runCollector("apps remove " + database + " 7").first, 2);
}
#endif
