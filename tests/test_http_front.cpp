// The collector's HTTP server under clients that are slow, idle, many, or malformed: over
// real loopback sockets, against the real server. Deadlines are the server's own (shortened
// here); a test waits for the server to act (an answer, a close), never a fixed time.
#include "ZEVSiteCollector.h"
#include "ZEVSiteHttpFront.h"
#include "ZEVSiteRawClient.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <sys/resource.h>

#include <memory>
#include <string>
#include <vector>

using zevsite::collector::HttpFront;
using zevsite::collector::HttpLimits;

namespace {

std::string post(const std::string& path, const std::string& body, const std::string& extra = "") {
  return "POST " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
         extra + "\r\n" + body;
}

// A server whose one route answers with the size of the body it got.
class EchoServer {
 public:
  explicit EchoServer(const HttpLimits& limits) {
    front_.setLimits(limits);
    front_.Post("/echo", [](const httplib::Request& request, httplib::Response& response) {
      response.set_content(std::to_string(request.body.size()), "text/plain");
    });
    front_.Get("/hello/(\\w+)", [](const httplib::Request& request, httplib::Response& response) {
      response.set_content("hello " + request.matches[1].str(), "text/plain");
    });
    port_ = front_.listen("127.0.0.1", 0);
  }
  int port() const { return port_; }
  HttpFront& front() { return front_; }

 private:
  HttpFront front_;
  int port_ = 0;
};

// How many connections this process can open for a test, both ends being in it.
std::size_t connectionsWithin(std::size_t wanted) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const std::size_t room = limit.rlim_cur > 200 ? (limit.rlim_cur - 200) / 2 : 0;
  return std::min(wanted, room);
}

}  // namespace

// Requests that take too long, or are larger or more ambiguous than a client sends, are
// answered with their status and closed; an idle connection is closed without an answer;
// what is well-formed keeps working on the same connection, pipelined or after 100-continue.
TEST(ZEVSiteHttpFront, DeadlinesAndBoundsAnswerBadRequests) {
  HttpLimits limits;
  limits.idleTimeout = std::chrono::milliseconds(200);
  limits.headTimeout = std::chrono::milliseconds(200);
  limits.bodyTimeout = std::chrono::milliseconds(200);
  limits.maxHeadBytes = 1024;
  limits.maxBodyBytes = 4096;
  limits.maxBufferedBodyBytes = 5000;
  EchoServer server(limits);

  RawClient idle(server.port());
  RawClient slowHead(server.port());
  ASSERT_TRUE(slowHead.send("POST /echo HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
  RawClient slowBody(server.port());
  const std::string whole = post("/echo", "0123456789");
  ASSERT_TRUE(slowBody.send(whole.substr(0, whole.size() - 3)));
  EXPECT_EQ(slowHead.statusLine(), "HTTP/1.1 408 Request Timeout");
  EXPECT_TRUE(slowHead.closedByServer());
  EXPECT_EQ(slowBody.statusLine(), "HTTP/1.1 408 Request Timeout");
  EXPECT_EQ(idle.head(), "");
  EXPECT_TRUE(idle.closedByServer());

  const std::vector<std::pair<std::string, std::string>> refused = {
      {"GET /" + std::string(2000, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414 URI Too Long"},
      {"GET / HTTP/1.1\r\nX-Big: " + std::string(2000, 'a') + "\r\n\r\n",
       "HTTP/1.1 431 Request Header Fields Too Large"},
      {"GET / HTTP/1.1\r\nX-Folded: a\r\n b\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET / HTTP/1.1\r\nX-Space : a\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET / HTTP/2.0\r\n\r\n", "HTTP/1.1 505 HTTP Version Not Supported"},
      {"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       "HTTP/1.1 411 Length Required"},
      {"POST /echo HTTP/1.1\r\nContent-Length: +5\r\n\r\nhello", "HTTP/1.1 400 Bad Request"},
      // Too large: answered from the head, the body never read.
      {"POST /echo HTTP/1.1\r\nContent-Length: 5000\r\n\r\n", "HTTP/1.1 413 Payload Too Large"},
  };
  for (const auto& [request, status] : refused) {
    RawClient client(server.port());
    ASSERT_TRUE(client.send(request));
    EXPECT_EQ(client.statusLine(), status) << request.substr(0, 60);
    EXPECT_TRUE(client.closedByServer()) << request.substr(0, 60);
  }

  // Two requests in one write, then a third after 100-continue, on one connection.
  RawClient keptAlive(server.port());
  ASSERT_TRUE(keptAlive.send(post("/echo", "abc") +
                             "GET /hello/there HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  EXPECT_EQ(keptAlive.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(keptAlive.body(), "3");
  EXPECT_EQ(keptAlive.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(keptAlive.body(), "hello there");
  const std::string body(3000, 'x');
  const std::string withExpect = post("/echo", body, "Expect: 100-continue\r\n");
  ASSERT_TRUE(keptAlive.send(withExpect.substr(0, withExpect.size() - body.size())));
  EXPECT_EQ(keptAlive.statusLine(), "HTTP/1.1 100 Continue");
  ASSERT_TRUE(keptAlive.send(body));
  EXPECT_EQ(keptAlive.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(keptAlive.body(), "3000");

  // Bodies being received share one budget: a second large one waits for the first.
  RawClient first(server.port());
  ASSERT_TRUE(first.send(withExpect.substr(0, withExpect.size() - body.size())));
  // Its body's room is taken once the server asks for the body.
  EXPECT_EQ(first.statusLine(), "HTTP/1.1 100 Continue");
  RawClient second(server.port());
  ASSERT_TRUE(second.send(post("/echo", body).substr(0, withExpect.size() - 2990)));
  const std::string answer = second.head();
  EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.1 503 Service Unavailable");
  EXPECT_NE(answer.find("Retry-After: 1"), std::string::npos);
  EXPECT_EQ(first.statusLine(), "HTTP/1.1 408 Request Timeout");
  RawClient third(server.port());
  ASSERT_TRUE(third.send(post("/echo", body)));
  EXPECT_EQ(third.statusLine(), "HTTP/1.1 200 OK");
}

// Hundreds of connections that are idle or send a byte at a time do not hold back an SDK's
// upload, and hundreds of clients connecting at once are all accepted and answered.
TEST(ZEVSiteHttpFront, SlowAndManyClientsDoNotHoldBackUploads) {
  zevsite::collector::Collector collector;
  collector.setLog([](const std::string&) {});
  collector.serveConfig("<config/>");
  const std::string url = collector.start();
  const int port = std::stoi(url.substr(url.rfind(':') + 1));
  const std::size_t count = connectionsWithin(1000);
  ASSERT_GE(count, 100u) << "too few file descriptors for this test";

  std::vector<std::unique_ptr<RawClient>> slow;
  for (std::size_t i = 0; i < count; ++i) {
    slow.push_back(std::make_unique<RawClient>(port));
    ASSERT_TRUE(slow.back()->connected());
    // Half idle, half in the middle of a head (each a byte further).
    if (i % 2 == 1) {
      ASSERT_TRUE(slow.back()->send("P"));
    }
  }
  for (std::size_t i = 1; i < count; i += 2) ASSERT_TRUE(slow[i]->send("O"));

  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(10);
  client.set_read_timeout(10);
  const auto answer = client.Post(
      "/collect", "tid=1&t=pageview&dt=Home&cid=c&eid=e1&ts=1767268800000", "text/plain");
  ASSERT_TRUE(answer) << httplib::to_string(answer.error());
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(collector.eventCount(), 1u);
  slow.clear();

  // All at once: every connection is made before any request is sent.
  std::vector<std::unique_ptr<RawClient>> burst;
  for (std::size_t i = 0; i < count; ++i) burst.push_back(std::make_unique<RawClient>(port));
  std::size_t answered = 0;
  for (auto& each : burst) {
    if (!each->connected()) continue;
    each->send("GET /sdk-config.xml HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  }
  for (auto& each : burst) {
    if (each->connected() && each->statusLine() == "HTTP/1.1 200 OK") ++answered;
  }
  EXPECT_EQ(answered, count);
  collector.stop();
}
