// How the sender reacts to each answer, stepped one request at a time through a scripted
// transport on the manual clock: retries and their backoff, Retry-After, 413 splitting,
// refusals, and the dispatch interval's gathering. No server and no real time: a test shows
// that nothing went out early by letting the sender see the clock and go back to waiting.
#include "Queue/ZEVSiteEventSender.h"
#include "Queue/ZEVSiteEventStorage.h"
#include "ZEVSiteScriptedTransport.h"
#include "ZEVSiteTestSupport.h"

#include <algorithm>
#include <set>

using namespace std::chrono_literals;

namespace {
constexpr const char* kSender = "zevsite-sender";
}  // namespace

class ZEVSiteDeliveryScriptedTest : public ZEVSiteTest {
 protected:
  void SetUp() override {
    ZEVSiteTest::SetUp();
    transport_ = std::make_unique<ZEVSiteScriptedTransport>();
    ZEVSiteNetworkStatusSimple::setProvider([] { return ZEVSiteNetworkStatus_WiFi; });
    ZEVSiteSupport::setCollectURL(std::string("http://collector.invalid/collect"));
  }
  void TearDown() override {
    transport_->answerAllWith(503);  // nothing left waiting for the test
    ZEVSiteSupport::shutdown(5s);
    transport_.reset();
    ZEVSiteNetworkStatusSimple::setProvider(nullptr);
    ZEVSiteTest::TearDown();
  }

  // The manager, with its start-up event delivered.
  std::shared_ptr<ZEVSiteManager> startManager() {
    auto manager = ZEVSiteManager::sharedInstanceWithAppId("123", "store");
    platform_->runUntilIdle();
    platform_->advanceBy(1s);  // the start-up event
    EXPECT_TRUE(storageFlushed());
    auto request = transport_->nextRequest();
    EXPECT_TRUE(request);
    if (request) {
      EXPECT_EQ(ZEVSiteScriptedTransport::uploadsOf(*request).size(), 1u);
      transport_->answer(200);
    }
    EXPECT_TRUE(senderIdle());
    return manager;
  }
  static void trackPages(ZEVSiteManager& manager, const std::string& prefix, int count) {
    for (int i = 0; i < count; ++i) manager.trackPageView(prefix + std::to_string(i));
  }
  // Page titles in a request ("?" for an event that is not a page view).
  static std::multiset<std::string> titles(const zevsite::HttpRequest& request) {
    std::multiset<std::string> found;
    for (const auto& upload : ZEVSiteScriptedTransport::uploadsOf(request)) {
      const auto decoded = ZEVSiteUpload::decode(upload);
      found.insert(decoded.get("dt").value_or("?"));
    }
    return found;
  }
  std::multiset<std::string> deliveredTitles() {
    std::multiset<std::string> found;
    for (const auto& upload : transport_->deliveredUploads()) {
      const auto decoded = ZEVSiteUpload::decode(upload);
      found.insert(decoded.get("dt").value_or("?"));
    }
    return found;
  }
  bool storageFlushed() {
    return zevsite::EventStorage::forHome(home_)->flush(std::chrono::steady_clock::now() + 10s);
  }
  bool senderIdle() {
    auto sender = zevsite::EventSender::existing(zevsite::EventStorage::forHome(home_));
    return sender && sender->waitUntilIdle(std::chrono::steady_clock::now() + 10s);
  }
  // Answers the request in flight with `status` and returns the wait the sender then starts
  // on the manual clock.
  std::chrono::milliseconds answerAndReadBackoff(long status, const std::string& retryAfter) {
    const std::size_t deadlinesBefore = platform_->waitDeadlines(kSender).size();
    transport_->answer(status, retryAfter);
    EXPECT_TRUE(platform_->waitForDeadlines(kSender, deadlinesBefore, 10s));
    const auto deadlines = platform_->waitDeadlines(kSender);
    if (deadlines.size() <= deadlinesBefore) return 0ms;
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadlines.back() -
                                                                 platform_->monotonicNow());
  }
  // Moves the clock to 1 ms before `wait` is over and shows that the sender, having seen
  // that time, still waits; then to its end, and returns the retried request.
  std::optional<zevsite::HttpRequest> retryAfterExactly(std::chrono::milliseconds wait) {
    const std::size_t started = transport_->startedCount();
    platform_->advanceBy(wait - 1ms);
    EXPECT_TRUE(platform_->waitForWaiterAtNow(kSender));
    EXPECT_EQ(transport_->startedCount(), started)
        << "retried before its wait of " << wait.count() << " ms ended";
    platform_->advanceBy(1ms);
    return transport_->nextRequest();
  }

  std::unique_ptr<ZEVSiteScriptedTransport> transport_;
};

// Retry-After is honoured to the millisecond of the manual clock, and capped at an hour:
// neither a huge delta nor a date in the year 9999 floods the collector or stops delivery.
// The retry carries the same events and those stored meanwhile, each delivered once.
TEST_F(ZEVSiteDeliveryScriptedTest, RetryAfterIsHonouredUpToAnHour) {
  auto manager = startManager();
  const std::vector<std::pair<std::string, std::chrono::milliseconds>> cases = {
      {"2", 2s},
      {"10000000000", 1h},
      {"Fri, 31 Dec 9999 23:59:59 GMT", 1h},
      {"99999999999999999999999", 1h},
  };
  for (const auto& [retryAfter, expected] : cases) {
    const std::string title = "after-" + retryAfter;
    manager->trackPageView(title);
    ASSERT_TRUE(storageFlushed());
    const auto request = transport_->nextRequest();
    ASSERT_TRUE(request) << retryAfter;
    EXPECT_EQ(titles(*request), std::multiset<std::string>{title});
    const auto wait = answerAndReadBackoff(429, retryAfter);
    EXPECT_EQ(wait, expected) << retryAfter;
    // An event stored during the wait does not cut it short; it goes with the retry.
    manager->trackPageView(title + "-meanwhile");
    ASSERT_TRUE(storageFlushed());
    const auto retry = retryAfterExactly(wait);
    ASSERT_TRUE(retry) << retryAfter;
    EXPECT_EQ(titles(*retry), (std::multiset<std::string>{title, title + "-meanwhile"}));
    transport_->answer(200);
    ASSERT_TRUE(senderIdle());
  }
  const auto delivered = deliveredTitles();
  EXPECT_EQ(delivered.size(), 2 * cases.size() + 1);  // and the start-up event
  EXPECT_EQ(std::set<std::string>(delivered.begin(), delivered.end()).size(), delivered.size());
  EXPECT_TRUE(storedUploads().empty());
}

// Consecutive failures (server errors and requests that got no answer) each wait longer than
// the one before: exponential backoff with jitter, within [half, full] of 1, 2, 4, 8 s. The
// event then arrives once, and one line per failure says the events were kept.
TEST_F(ZEVSiteDeliveryScriptedTest, ConsecutiveFailuresWaitLongerEachTimeAndLoseNothing) {
  auto manager = startManager();
  clearCaptured();
  manager->trackPageView("patient");
  ASSERT_TRUE(storageFlushed());
  auto request = transport_->nextRequest();
  ASSERT_TRUE(request);
  std::vector<std::chrono::milliseconds> waits;
  for (long status : {500L, 0L, 503L, 502L}) {
    std::chrono::milliseconds wait;
    if (status == 0) {
      const std::size_t deadlinesBefore = platform_->waitDeadlines(kSender).size();
      transport_->failWithoutAnswer("Timeout was reached");
      ASSERT_TRUE(platform_->waitForDeadlines(kSender, deadlinesBefore, 10s));
      wait = std::chrono::duration_cast<std::chrono::milliseconds>(
          platform_->waitDeadlines(kSender).back() - platform_->monotonicNow());
    } else {
      wait = answerAndReadBackoff(status, "");
    }
    waits.push_back(wait);
    request = retryAfterExactly(wait);
    ASSERT_TRUE(request) << status;
    EXPECT_EQ(titles(*request), std::multiset<std::string>{"patient"});
  }
  transport_->answer(200);
  ASSERT_TRUE(senderIdle());
  for (std::size_t i = 0; i < waits.size(); ++i) {
    const std::chrono::milliseconds full = 1000ms * (1 << i);
    EXPECT_GE(waits[i], full / 2) << i;
    EXPECT_LE(waits[i], full) << i;
    if (i > 0) {
      EXPECT_GT(waits[i], waits[i - 1]) << i;
    }
  }
  EXPECT_EQ(deliveredTitles().count("patient"), 1u);
  EXPECT_EQ(transport_->startedCount(), 1u + 5u);
  EXPECT_TRUE(storedUploads().empty());
  std::size_t keptLines = 0;
  for (const auto& line : logLines()) {
    keptLines += line.find("1 events kept, retry in") != std::string::npos;
  }
  EXPECT_EQ(keptLines, 4u);
  bool toldTimeout = false;
  for (const auto& line : logLines())
    toldTimeout |= line.find("(Timeout was reached)") != std::string::npos;
  EXPECT_TRUE(toldTimeout);
}

// 413 halves the batch until it fits; every event still arrives once. Another client error
// drops the batch with one line and is not retried.
TEST_F(ZEVSiteDeliveryScriptedTest, TooLargeSplitsOtherClientErrorsDrop) {
  auto manager = startManager();
  trackPages(*manager, "s", 60);
  ASSERT_TRUE(storageFlushed());
  std::size_t refused = 0;
  while (deliveredTitles().size() < 61) {
    const auto request = transport_->nextRequest();
    ASSERT_TRUE(request) << deliveredTitles().size() << " delivered";
    const std::size_t uploads = ZEVSiteScriptedTransport::uploadsOf(*request).size();
    refused += uploads > 10;
    transport_->answer(uploads > 10 ? 413 : 200);
  }
  EXPECT_GE(refused, 1u);
  const auto delivered = deliveredTitles();
  for (int i = 0; i < 60; ++i) EXPECT_EQ(delivered.count("s" + std::to_string(i)), 1u) << i;
  ASSERT_TRUE(senderIdle());

  clearCaptured();
  const std::size_t startedBefore = transport_->startedCount();
  // Stored while nothing can be sent, so that the three go in one batch.
  ZEVSiteSupport::setCollectURL(std::nullopt);
  trackPages(*manager, "bad", 3);
  ASSERT_TRUE(storageFlushed());
  ZEVSiteSupport::setCollectURL(std::string("http://collector.invalid/collect"));
  const auto request = transport_->nextRequest();
  ASSERT_TRUE(request);
  EXPECT_EQ(titles(*request).size(), 3u);
  transport_->answer(400);
  ASSERT_TRUE(senderIdle());
  EXPECT_TRUE(storedUploads().empty());                      // dropped: gone from the store
  EXPECT_EQ(transport_->startedCount(), startedBefore + 1);  // and never sent again
  std::size_t dropLines = 0;
  for (const auto& line : logLines()) {
    dropLines += line.find("refused 3 events with HTTP status 400; dropped") != std::string::npos;
  }
  EXPECT_EQ(dropLines, 1u);
}

// With a dispatch interval, events gather: page views arrive in one request once the
// interval has passed since the first of them was stored (manual clock), a full batch goes
// at once, and flush sends at once.
TEST_F(ZEVSiteDeliveryScriptedTest, DispatchIntervalGathersEventsUntilDueOrAFullBatch) {
  auto manager = startManager();
  ZEVSiteSupport::setDispatchInterval(2s);
  trackPages(*manager, "gathered", 10);
  ASSERT_TRUE(storageFlushed());
  ASSERT_TRUE(senderIdle());
  platform_->advanceBy(1900ms);
  ASSERT_TRUE(platform_->waitForWaiterAtNow(kSender));  // the gathering wait saw 1.9 s: not due
  EXPECT_EQ(transport_->startedCount(), 1u);
  platform_->advanceBy(100ms);
  auto request = transport_->nextRequest();
  ASSERT_TRUE(request);
  EXPECT_EQ(titles(*request).size(), 10u);
  transport_->answer(200);
  ASSERT_TRUE(senderIdle());

  // A full batch does not wait for the interval.
  trackPages(*manager, "full", 100);
  ASSERT_TRUE(storageFlushed());
  request = transport_->nextRequest();
  ASSERT_TRUE(request);
  EXPECT_EQ(titles(*request).size(), 100u);
  transport_->answer(200);
  ASSERT_TRUE(senderIdle());

  // Neither does flush.
  trackPages(*manager, "flushed", 3);
  ASSERT_TRUE(storageFlushed());
  ASSERT_TRUE(senderIdle());
  EXPECT_EQ(transport_->startedCount(), 3u);
  transport_->answerAllWith(200);
  ASSERT_TRUE(ZEVSiteSupport::flush(10s));
  EXPECT_EQ(deliveredTitles().count("flushed2"), 1u);

  // Back to zero: sent as soon as stored.
  ZEVSiteSupport::setDispatchInterval(0ms);
  manager->trackPageView("at-once");
  ASSERT_TRUE(storageFlushed());
  ASSERT_TRUE(senderIdle());
  EXPECT_EQ(deliveredTitles().count("at-once"), 1u);
  EXPECT_EQ(deliveredTitles().size(), 1u + 10u + 100u + 3u + 1u);
}

// A batch leased before a deletion is not sent after it: only the upload already on the wire
// may arrive. The sender leases the next batch while the first is on the wire; the deletion
// comes while it waits for the first answer.
TEST_F(ZEVSiteDeliveryScriptedTest, BatchesLeasedBeforeADeletionAreNotSent) {
  ZEVSiteSupport::setCollectURL(std::nullopt);
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  platform_->runUntilIdle();
  for (int i = 0; i < 300; ++i) manager->trackPageView("old" + std::to_string(i));
  ASSERT_TRUE(storageFlushed());
  ZEVSiteSupport::setCollectURL(std::string("http://collector.invalid/collect"));
  const auto onTheWire = transport_->nextRequest();
  ASSERT_TRUE(onTheWire);
  EXPECT_EQ(titles(*onTheWire).size(), 100u);
  ASSERT_TRUE(transport_->waitUntilAnswerAwaited());  // the next batch is leased by now
  ASSERT_TRUE(ZEVSiteSupport::deleteAllData(10s));
  manager->trackPageView("after");
  transport_->answerAllWith(200);
  ASSERT_TRUE(ZEVSiteSupport::flush(10s));
  const auto delivered = deliveredTitles();
  EXPECT_EQ(delivered.count("after"), 1u);
  EXPECT_EQ(delivered.size(), 100u + 1u);  // the batch that was on the wire, and "after"
  EXPECT_TRUE(storedUploads().empty());
}

// Events on the wire when the store passes its event limit are not dropped: they are
// delivered, and the counters account for every event once (tracked = delivered + dropped).
TEST_F(ZEVSiteDeliveryScriptedTest, EventsOnTheWireAreNotDroppedByTheEventLimit) {
  auto manager = startManager();
  zevsite::EventStorage::forHome(home_)->setLimits(20, 604800);
  trackPages(*manager, "first", 10);
  ASSERT_TRUE(storageFlushed());
  const auto request = transport_->nextRequest();
  ASSERT_TRUE(request);
  EXPECT_EQ(titles(*request).size(), 10u);
  ASSERT_TRUE(transport_->waitUntilAnswerAwaited());
  // 30 more: 10 go while staged (the limit is 20). Once the other 20 are stored, the events
  // beyond the newest 20 are the 10 on the wire: they stay until their answer.
  trackPages(*manager, "more", 30);
  ASSERT_TRUE(storageFlushed());
  transport_->answerAllWith(200);
  ASSERT_TRUE(ZEVSiteSupport::flush(10s));
  const auto delivered = deliveredTitles();
  for (int i = 0; i < 10; ++i) EXPECT_EQ(delivered.count("first" + std::to_string(i)), 1u) << i;
  for (int i = 10; i < 30; ++i) EXPECT_EQ(delivered.count("more" + std::to_string(i)), 1u) << i;
  const auto statistics = ZEVSiteSupport::statistics();
  EXPECT_EQ(statistics.tracked, 1u + 10u + 30u);
  EXPECT_EQ(statistics.delivered, 1u + 10u + 20u);
  EXPECT_EQ(statistics.dropped.eventLimit, 10u);
  EXPECT_EQ(statistics.pending, 0u);
  // Each event counted once: deleted on the wire, it would count as dropped and delivered.
  EXPECT_EQ(statistics.tracked, statistics.delivered + statistics.dropped.eventLimit);
}
