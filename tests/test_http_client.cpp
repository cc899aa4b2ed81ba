// The libcurl client against real loopback servers, where what the wire does matters: answers
// that never end. The server's threads run in real time; a bound on waiting for them is a
// failure guard only. (Proxy, CA bundle and gzip are in test_network_options.cpp; keep-alive
// in test_delivery.cpp.)
#include "Config/ZEVSiteConfigRefresh.h"
#include "ZEVSiteDeliveringTest.h"

#include <httplib.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

using namespace std::chrono_literals;

// The test's own servers stand in for the collector: no collect URL from the start.
class ZEVSiteHttpClientTest : public ZEVSiteDeliveringTest {
 protected:
  ZEVSiteHttpClientTest() : ZEVSiteDeliveringTest({.setCollectURL = false}) {}
  std::size_t storedCount() { return storedUploads().size(); }
};

// Answers with an endless body (a misbehaving server, a captive portal) are read only as far as
// a small bound. An upload answered 200 so is ended there, the status stands and the batch is
// deleted; the next batch goes out over a new connection and fares the same. The configuration
// download gives up at its own cap, also on a redirect, whose body libcurl would otherwise
// read to the end before following it.
TEST_F(ZEVSiteHttpClientTest, EndlessAnswersAreReadOnlyAsFarAsABound) {
  constexpr std::size_t kOffered = std::size_t{512} << 20;  // per answer, were it read whole
  constexpr std::size_t kBound = std::size_t{16} << 20;  // what is read, and what the sockets take
  const std::string chunk(64 * 1024, 'x');
  std::mutex mutex;  // guards the counts below, written on the server's threads
  std::condition_variable answerEnded;
  std::size_t uploads = 0, answers = 0, answersEnded = 0, handedOut = 0;
  auto offerEndlessBody = [&](httplib::Response& response) {
    {
      std::lock_guard lock(mutex);
      ++answers;
    }
    response.set_chunked_content_provider(
        "text/plain",
        [&](std::size_t offset, httplib::DataSink& sink) {
          if (offset >= kOffered) {
            sink.done();
            return true;
          }
          if (!sink.write(chunk.data(), chunk.size())) return false;  // the client has gone
          std::lock_guard lock(mutex);
          handedOut += chunk.size();
          return true;
        },
        [&](bool) {
          std::lock_guard lock(mutex);
          ++answersEnded;
          answerEnded.notify_all();
        });
  };
  // Waits until `count` answers were given and all of them have ended; the bytes handed out.
  auto handedOutOnceEnded = [&](std::size_t count) -> std::optional<std::size_t> {
    std::unique_lock lock(mutex);
    if (!answerEnded.wait_for(lock, 10s,
                              [&] { return answers >= count && answersEnded == answers; }))
      return std::nullopt;
    return handedOut;
  };
  httplib::Server flood;
  flood.Post("/collect", [&](const httplib::Request& request, httplib::Response& response) {
    {
      std::lock_guard lock(mutex);
      uploads +=
          static_cast<std::size_t>(std::count(request.body.begin(), request.body.end(), '\n')) + 1;
    }
    offerEndlessBody(response);
  });
  flood.Get("/config", [&](const httplib::Request& request, httplib::Response& response) {
    response.status = 302;
    response.set_header("Location", "http://" + request.get_header_value("Host") + "/elsewhere");
    offerEndlessBody(response);
  });
  const int port = flood.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { flood.listen_after_bind(); });
  struct Stop {
    httplib::Server& server;
    std::thread& thread;
    ~Stop() {
      server.stop();
      thread.join();
    }
  } stop{flood, serving};
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  ZEVSiteSupport::setCollectURL(base + "/collect");
  auto manager = startManager();
  trackPages(*manager, "flood", 150);  // two batches or more, as the writer commits them
  ASSERT_TRUE(ZEVSiteSupport::flush(10s));
  EXPECT_EQ(storedCount(), 0u);  // both delivered: the cut body did not make them fail
  const auto toUploads = handedOutOnceEnded(2);
  ASSERT_TRUE(toUploads);
  EXPECT_LT(*toUploads, kBound);
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(uploads, 150u);  // each once: no batch was sent again
  }
  for (const auto& line : logLines())
    EXPECT_EQ(line.find("upload failed"), std::string::npos) << line;

  manager->configFromUrl(base + "/config");
  platform_->runUntilIdle();  // the refresh runs here, on this thread
  ASSERT_TRUE(zevsite::ConfigRefresh::shared().waitIdle(std::chrono::steady_clock::time_point{}));
  const auto toConfig = handedOutOnceEnded(3);
  ASSERT_TRUE(toConfig);
  EXPECT_LT(*toConfig - *toUploads, kBound);
  EXPECT_FALSE(std::filesystem::exists(home_ + "/Library/SDK_CONFIG_DATA_KEY"));
}
