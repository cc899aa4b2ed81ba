#include "Network/ZEVSiteHTTPClient.h"
#include "Queue/ZEVSiteBackoff.h"
#include "Queue/ZEVSiteEventStorage.h"
#include "Queue/ZEVSiteUploadReaction.h"
#include "ZEVSiteDeliveringTest.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <regex>
#include <set>

using namespace std::chrono_literals;

class ZEVSiteDeliveryTest : public ZEVSiteDeliveringTest {
 protected:
  std::size_t storedCount() { return storedUploads().size(); }
  // Moves the manual clock on in steps until `predicate` holds for the collected events:
  // the sender's backoff waits end only when the clock passes them. Each step runs what
  // fell due, so the collector has answered every request sent by the time the step returns.
  bool advanceUntil(
      const std::function<bool(const std::vector<zevsite::collector::CollectedEvent>&)>& predicate,
      std::chrono::milliseconds step, int steps) {
    for (int i = 0; i < steps; ++i) {
      if (predicate(collector_.events())) return true;
      platform_->advanceBy(step);
    }
    return predicate(collector_.events());
  }
  bool delivered(const std::string& title) {
    const auto events = collector_.events();
    return std::any_of(events.begin(), events.end(),
                       [&](const auto& event) { return event.get("dt") == title; });
  }
};

TEST_F(ZEVSiteDeliveryTest, BatchesOfAtMostOneHundredOverOneConnection) {
  auto manager = startManager();
  trackPages(*manager, "p", 250);
  ASSERT_TRUE(ZEVSiteSupport::flush(10s));
  EXPECT_EQ(collector_.eventCount(), 250u);
  EXPECT_EQ(deliveredTitles().size(), 250u);
  EXPECT_EQ(collector_.duplicates(), 0u);
  std::size_t total = 0;
  for (const auto& [uploads, status] : collector_.requests()) {
    EXPECT_LE(uploads, 100u);
    total += uploads;
  }
  EXPECT_EQ(total, 250u);
  EXPECT_EQ(collector_.clientPorts().size(), 1u);  // keep-alive: one connection
  for (const auto& type : collector_.contentTypes()) {
    EXPECT_EQ(type, "text/plain; charset=utf-8");
  }
  EXPECT_EQ(storedCount(), 0u);
}

TEST_F(ZEVSiteDeliveryTest, NothingIsSentUntilTheNetworkMatchesTheSendCondition) {
  status_ = ZEVSiteNetworkStatus_None;
  auto manager = startManager();
  trackPages(*manager, "offline", 10);
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  EXPECT_EQ(collector_.eventCount(), 0u);
  EXPECT_EQ(storedCount(), 10u);
  // No collect URL: stored and kept, whatever the network; no send can be attempted.
  status_ = ZEVSiteNetworkStatus_WiFi;
  ZEVSiteSupport::setCollectURL(std::nullopt);
  ASSERT_FALSE(ZEVSiteSupport::flush(5s));
  EXPECT_EQ(collector_.eventCount(), 0u);
  // Cellular matches the queue's condition (WWAN or Wi-Fi); the stored events go out.
  status_ = ZEVSiteNetworkStatus_3G;
  ZEVSiteSupport::setCollectURL(collectURL_);  // wakes the sender
  platform_->runUntilIdle();
  EXPECT_EQ(collector_.eventCount(), 10u);
  EXPECT_EQ(storedCount(), 0u);
}

// Without a collect URL events are stored and kept, and the host developer is told so with
// one line per episode without one. flush says that no send could be attempted (false), as
// soon as the events are on disk; so it does while the user has opted out.
TEST_F(ZEVSiteDeliveryTest, WithoutACollectURLEventsAreKeptWithOneLineAndFlushSaysSo) {
  auto keptLines = [&] {
    const auto lines = logLines();
    return std::count(lines.begin(), lines.end(), kEventsKeptLine);
  };
  // False, once the events are on disk.
  auto flushesFalseAtOnce = [] { return !ZEVSiteSupport::flush(60s); };
  ZEVSiteSupport::setCollectURL(std::nullopt);
  auto manager = startManager();
  trackPages(*manager, "kept", 3);
  EXPECT_TRUE(flushesFalseAtOnce());
  EXPECT_EQ(storedCount(), 3u);
  EXPECT_EQ(keptLines(), 1);
  trackPages(*manager, "more", 2);  // a later batch of the same episode: no second line
  EXPECT_TRUE(flushesFalseAtOnce());
  EXPECT_EQ(storedCount(), 5u);
  EXPECT_EQ(keptLines(), 1);

  // With a URL a send is attempted: true, and what was kept goes out.
  ZEVSiteSupport::setCollectURL(collectURL_);
  EXPECT_TRUE(ZEVSiteSupport::flush(10s));
  EXPECT_EQ(collector_.eventCount(), 5u);
  EXPECT_EQ(storedCount(), 0u);

  // Without one again (an empty URL is none): a new episode, a new line.
  ZEVSiteSupport::setCollectURL("");
  trackPages(*manager, "again", 2);
  EXPECT_TRUE(flushesFalseAtOnce());
  EXPECT_EQ(storedCount(), 2u);
  EXPECT_EQ(keptLines(), 2);

  // Opted out, a URL set or not: no send can be attempted.
  ZEVSiteSupport::setCollectURL(collectURL_);
  platform_->runUntilIdle();
  ASSERT_EQ(collector_.eventCount(), 7u);
  ZEVSiteSupport::setTrackingEnabled(false);
  EXPECT_TRUE(flushesFalseAtOnce());
  ZEVSiteSupport::setTrackingEnabled(true);
  EXPECT_TRUE(ZEVSiteSupport::flush(10s));
  EXPECT_EQ(keptLines(), 2);
}

// For each network status, whether stored events go out under the manager's default send
// condition (WWAN or Wi-Fi). Events held back under one status go with the next that sends.
TEST_F(ZEVSiteDeliveryTest, EveryNetworkStatusAgainstTheDefaultSendCondition) {
  const std::pair<ZEVSiteNetworkStatus, bool> table[] = {
      {ZEVSiteNetworkStatus_None, false},   {ZEVSiteNetworkStatus_WiFi, true},
      {ZEVSiteNetworkStatus_WWAN, true},    {ZEVSiteNetworkStatus_2G, true},
      {ZEVSiteNetworkStatus_3G, true},      {ZEVSiteNetworkStatus_4G, true},
      {ZEVSiteNetworkStatus_Unknown, true}, {static_cast<ZEVSiteNetworkStatus>(42), false},
  };
  status_ = ZEVSiteNetworkStatus_None;
  auto manager = startManager();
  platform_->advanceBy(1s);  // the start-up event
  std::size_t deliveredSoFar = 0;
  std::size_t held = 1;  // the start-up event, held back until a status sends
  for (const auto& [status, sends] : table) {
    status_ = status;
    const std::string title = "status" + std::to_string(status);
    manager->trackPageView(title);
    ++held;
    ASSERT_TRUE(ZEVSiteSupport::flush(5s)) << title;
    if (sends) {
      EXPECT_TRUE(delivered(title)) << title;
      EXPECT_EQ(collector_.eventCount(), deliveredSoFar + held) << title;
      deliveredSoFar += held;
      held = 0;
    } else {
      EXPECT_EQ(collector_.eventCount(), deliveredSoFar) << title;
    }
    EXPECT_EQ(storedCount(), held) << title;
  }
  EXPECT_EQ(collector_.duplicates(), 0u);
}

// Keys holding the upload string's own separators, a space or a percent sign reach the
// collector exactly as tracked, and the upload is not split into extra fields.
TEST_F(ZEVSiteDeliveryTest, KeysWithReservedCharactersArriveExactly) {
  auto manager = startManager();
  platform_->advanceBy(1s);  // the start-up event
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  ASSERT_EQ(collector_.eventCount(), 1u);
  manager->trackPageView("reserved", {{"customDimensiona b", "1"},
                                      {"customDimension&t=event", "2"},
                                      {"customMetrics%41", 3},
                                      {"customDimension=", "4&5=6 %"}});
  manager->trackSiteCustomEvent(
      {{"customActionId", "id&x"}, {"customActionLabel =&%", "l"}, {"customActionValue+1", 7}});
  manager->trackPageView("plain", {{"customDimension1", "1"},
                                   {"customDimension2", "2"},
                                   {"customMetrics3", 3},
                                   {"customDimension4", "4"}});
  manager->trackSiteCustomEvent(
      {{"customActionId", "plain"}, {"customActionLabel1", "l"}, {"customActionValue1", 7}});
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  ASSERT_EQ(collector_.eventCount(), 5u);
  const auto events = collector_.events();
  auto fieldsOf = [&](const std::string& key, const std::string& value) {
    for (const auto& event : events) {
      if (event.get(key) == value) return event.fields;
    }
    return decltype(events.front().fields){};
  };
  auto pageView = fieldsOf("dt", "reserved");
  auto hasField = [](const auto& fields, const std::string& key, const std::string& value) {
    return std::count(fields.begin(), fields.end(), std::pair{key, value}) == 1;
  };
  EXPECT_TRUE(hasField(pageView, "cda b", "1"));
  EXPECT_TRUE(hasField(pageView, "cd&t=event", "2"));
  EXPECT_TRUE(hasField(pageView, "cm%41", "3"));
  EXPECT_TRUE(hasField(pageView, "cd=", "4&5=6 %"));
  auto action = fieldsOf("caid", "id&x");
  EXPECT_TRUE(hasField(action, "cal =&%", "l"));
  EXPECT_TRUE(hasField(action, "cav+1", "7"));
  // As many fields as the same calls with plain keys: nothing split off a key or a value.
  auto plainPageView = fieldsOf("dt", "plain");
  auto plainAction = fieldsOf("caid", "plain");
  EXPECT_EQ(pageView.size(), plainPageView.size());
  EXPECT_EQ(action.size(), plainAction.size());
}

// On a disk of 1 MiB (modelled: the store's writes fail with ENOSPC once its files hold that
// much) a burst several times the disk's size is stored and sent as room frees up: every
// event arrives once, the files never outgrow the disk by more than a write, and the log is
// cut back once the burst is over.
TEST_F(ZEVSiteDeliveryTest, ASmallDiskKeepsStoringAndSending) {
  constexpr std::uint64_t kDisk = 1024 * 1024;
  const std::string library = home_ + "/Library";
  platform_->setSmallDisk(library, kDisk);
  auto manager = startManager();
  platform_->advanceBy(1s);      // the start-up event
  constexpr int kEvents = 8000;  // about 2.5 MB of rows: within the staging limits
  const std::string padding(200, 'x');
  for (int i = 0; i < kEvents; ++i) {
    manager->trackPageView("small" + std::to_string(i), {{"customDimension1", padding}});
  }
  std::uint64_t largest = 0;
  // Retries after a full disk wait on the manual clock; deliveries wake the writer at once.
  // Every step runs what fell due to the end, so the bound on steps is a bound on clock time
  // (retries are at most a minute apart), whatever the machine's load.
  bool allDelivered = false;
  for (int step = 0; step < 600 && !allDelivered; ++step) {
    allDelivered = collector_.eventCount() == kEvents + 1;
    largest = std::max(largest, directoryFileBytes(library));
    platform_->advanceBy(500ms);
  }
  EXPECT_TRUE(allDelivered) << collector_.eventCount() << " of " << kEvents + 1 << "; files "
                            << directoryFileBytes(library) << " bytes of " << kDisk
                            << "; log: " << ::testing::PrintToString(logLines());
  EXPECT_EQ(collector_.duplicates(), 0u);
  EXPECT_EQ(deliveredTitles().count("small" + std::to_string(kEvents - 1)), 1u);
  EXPECT_LE(largest, kDisk + 64 * 1024);
  for (const auto& line : logLines()) EXPECT_EQ(line.find("dropped"), std::string::npos) << line;
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  EXPECT_EQ(storedCount(), 0u);
  platform_->setSmallDisk(library, std::nullopt);
}

// Events tracked while the wall clock read 2001 (a board before it got the time) go out,
// once the clock is right, with the time their age tells; events of a right clock keep
// theirs.
TEST_F(ZEVSiteDeliveryTest, EventsMadeWhileTheClockWasWrongAreSentWithTheTimeTheyHappened) {
  constexpr std::int64_t k2001 = 978'307'200;
  const std::int64_t now = ZEVSitePlatform::real().currentTimeSeconds();
  status_ = ZEVSiteNetworkStatus_None;
  platform_->setWallClockSeconds(k2001);
  auto manager = startManager();
  trackPages(*manager, "unset", 3);
  ASSERT_EQ(storedCount(), 3u);  // stored before the clock moves
  platform_->advanceBy(90s);
  platform_->setWallClockSeconds(now);
  trackPages(*manager, "set", 2);
  status_ = ZEVSiteNetworkStatus_WiFi;
  auto pageViews = [](const auto& events) {
    return std::count_if(events.begin(), events.end(),
                         [](const auto& event) { return event.get("t") == "pageview"; });
  };
  ASSERT_TRUE(advanceUntil([&](const auto& events) { return pageViews(events) == 5; }, 1s, 20));
  for (const auto& event : collector_.events()) {
    if (event.get("t") != "pageview") continue;
    const std::int64_t ts = std::stoll(event.get("ts"));
    // The first three were made 90 s before the clock was set (plus the steps above).
    const std::int64_t expected =
        event.get("dt").rfind("unset", 0) == 0 ? now * 1000 - 90'000 : now * 1000;
    EXPECT_NEAR(static_cast<double>(ts), static_cast<double>(expected), 5'000.0) << event.get("dt");
  }

  // A device whose clock is still wrong when it sends: the upload says when it was sent by
  // that clock, and the collector moves the event to its own time, keeping the device's.
  const std::string jsonLines = home_ + "/collected.jsonl";
  ASSERT_TRUE(collector_.writeJsonLines(jsonLines));
  platform_->setWallClockSeconds(k2001);
  manager->trackPageView("still-unset");
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  ASSERT_TRUE(delivered("still-unset"));
  std::ifstream in(jsonLines);
  std::string line;
  std::getline(in, line);
  std::smatch match;
  const std::regex times(R"re("ts":"?([0-9]+)"?,"device_ts":"?([0-9]+))re");
  ASSERT_TRUE(std::regex_search(line, match, times)) << line;
  EXPECT_NEAR(std::stod(match[1]), static_cast<double>(now) * 1000, 60'000.0) << line;
  EXPECT_NEAR(std::stod(match[2]), static_cast<double>(k2001) * 1000, 60'000.0) << line;
}

// A store the sender cannot write for two minutes (its leases fail, as on a full disk) is
// used again within seconds once it recovers: a failed lease is the store's fault, not the
// collector's, so it must not grow the upload backoff (which would wait a minute or more).
TEST_F(ZEVSiteDeliveryTest, AStoreThatCannotBeWrittenIsRetriedSoonAfterItRecovers) {
  status_ = ZEVSiteNetworkStatus_None;
  auto manager = startManager();
  trackPages(*manager, "kept", 5);
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  platform_->setStoreFault([](zevsite::StoreFileOp op, const std::string&) {
    return op == zevsite::StoreFileOp::Write ? ENOSPC : 0;
  });
  status_ = ZEVSiteNetworkStatus_WiFi;
  // The sender sees each second (its leases fail meanwhile).
  for (int second = 0; second < 120; ++second) platform_->advanceBy(1s);
  EXPECT_EQ(collector_.eventCount(), 0u);
  platform_->setStoreFault(nullptr);
  EXPECT_TRUE(advanceUntil([](const auto& events) { return events.size() >= 6; }, 1s, 12))
      << collector_.eventCount();
  EXPECT_EQ(collector_.duplicates(), 0u);
}

TEST_F(ZEVSiteDeliveryTest, ServerErrorsAndTimeoutsRetryWithoutLosingOrRepeating) {
  ZEVSiteSupport::setRequestTimeout(300ms);
  collector_.script({{500, "", 0ms}, {200, "", 1500ms}, {503, "", 0ms}});
  auto manager = startManager();
  trackPages(*manager, "r", 5);
  // 500, then a reply that comes after the timeout, then 503, then 200: three backoffs of
  // 0.5-1, 1-2 and 2-4 s on the manual clock.
  ASSERT_TRUE(advanceUntil(
      [](const auto& events) {
        std::set<std::string> titles;
        for (const auto& event : events) titles.insert(event.get("dt"));
        return titles.size() >= 5;
      },
      500ms, 40));
  ZEVSiteSupport::flush(5s);
  // The late reply may store the batch at the collector too (1.5 s of real time on); the event
  // ids tell it from the retry, so each event counts once either way.
  auto titles = deliveredTitles();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(titles.count("r" + std::to_string(i)), 1u);
  EXPECT_EQ(storedCount(), 0u);
  // The 500, the 503 and the retry that was answered 200; the late reply when it has ended.
  EXPECT_GE(collector_.requests().size(), 3u);
  bool loggedRetry = false;
  for (const auto& line : logLines()) loggedRetry |= line.find("retry in") != std::string::npos;
  EXPECT_TRUE(loggedRetry);
}

TEST_F(ZEVSiteDeliveryTest, LimitsComeFromTheCachedConfiguration) {
  ASSERT_EQ(ZEVSiteSupport::homeDirectory(), home_);
  std::ofstream(home_ + "/Library/SDK_CONFIG_DATA_KEY")
      << "<config><offlineCache><length>5</length><queueExpirationSecs>60</queueExpirationSecs>"
         "</offlineCache></config>";
  status_ = ZEVSiteNetworkStatus_None;
  auto manager = startManager();
  trackPages(*manager, "cap", 20);
  auto stored = storedUploads();
  ASSERT_EQ(stored.size(), 5u);
  EXPECT_EQ(ZEVSiteUpload::decode(stored.back()).get("dt"), "cap19");
  // Two minutes on, they have expired.
  platform_->advanceBy(2min);
  manager->trackPageView("fresh");
  stored = storedUploads();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(ZEVSiteUpload::decode(stored[0]).get("dt"), "fresh");
}

TEST_F(ZEVSiteDeliveryTest, TwoQueuesInOneProcessSendEachEventOnce) {
  auto first = ZEVSiteManager::sharedInstanceWithAppId("1", "a");
  auto second = ZEVSiteManager::sharedInstanceWithAppId("2", "b");
  std::thread other([&] { trackPages(*first, "one-", 300); });
  trackPages(*second, "two-", 300);
  other.join();
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  EXPECT_EQ(collector_.duplicates(), 0u);
  EXPECT_EQ(collector_.eventCount(), 600u);
}

// The last event of a burst always goes out without a flush, once the writer's batching
// window has passed: no wake-up is lost between the writer committing and the sender going
// idle.
TEST_F(ZEVSiteDeliveryTest, TheLastEventOfEveryBurstIsDelivered) {
  auto manager = startManager();
  for (int burst : {1, 99, 100, 101, 10000}) {
    std::string prefix = "burst" + std::to_string(burst) + "-";
    trackPages(*manager, prefix, burst);
    std::string last = prefix + std::to_string(burst - 1);
    platform_->advanceBy(zevsite::EventStorage::kCoalesceWindow);
    const auto events = collector_.events();
    ASSERT_TRUE(!events.empty() && events.back().get("dt") == last) << last;
  }
}

// The counters a host reads follow delivery: refused calls, an upload that failed and was
// retried, a batch the collector refused for good, and delivered events with the time of the
// last accepted upload.
TEST_F(ZEVSiteDeliveryTest, StatisticsFollowDeliveryRefusalsAndFailures) {
  auto manager = startManager();
  platform_->advanceBy(1s);  // the start-up event
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  manager->trackPageView("");                                        // refused: no title
  manager->trackEvent(std::nullopt, std::nullopt, std::nullopt, 0);  // refused: nothing to say
  collector_.script({{500, "", 0ms}, {400, "", 0ms}});
  trackPages(*manager, "refused", 2);
  // The attempt the commit wakes is answered 500 (kept, retried after a backoff); flush's own
  // attempt, which does not wait out the backoff, is answered 400 (dropped).
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  auto statistics = ZEVSiteSupport::statistics();
  EXPECT_EQ(statistics.refused, 2u);
  EXPECT_EQ(statistics.uploadFailures, 1u);
  EXPECT_EQ(statistics.dropped.rejected, 2u);
  EXPECT_EQ(statistics.pending, 0u);
  EXPECT_EQ(collector_.requests().size(), 1u + 2u);

  trackPages(*manager, "delivered", 3);
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  statistics = ZEVSiteSupport::statistics();
  EXPECT_EQ(statistics.tracked, 1u + 2u + 3u);
  EXPECT_EQ(statistics.stored, 6u);
  EXPECT_EQ(statistics.delivered, 1u + 3u);
  EXPECT_EQ(statistics.pending, 0u);
  EXPECT_EQ(statistics.uploadFailures, 1u);
  ASSERT_TRUE(statistics.lastUploadMillis);
  EXPECT_EQ(*statistics.lastUploadMillis, platform_->currentTimeMillis());
}

TEST(ZEVSiteDeliveryParts, UploadRequestBackoffAndRetryAfter) {
  auto request = zevsite::buildUploadRequest("http://c/collect", {"a=1", "b=2&c=3"});
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.body, "a=1\nb=2&c=3");
  EXPECT_EQ(request.headers, std::vector<std::string>{"Content-Type: text/plain; charset=utf-8"});

  for (std::uint64_t random : {std::uint64_t{0}, std::uint64_t{123456789}, ~std::uint64_t{0}}) {
    EXPECT_GE(zevsite::backoffDelay(1, random), 500ms);
    EXPECT_LE(zevsite::backoffDelay(1, random), 1000ms);
    EXPECT_GE(zevsite::backoffDelay(4, random), 4000ms);
    EXPECT_LE(zevsite::backoffDelay(4, random), 8000ms);
    EXPECT_LE(zevsite::backoffDelay(40, random), 300000ms);
    EXPECT_GE(zevsite::backoffDelay(40, random), 150000ms);
    EXPECT_EQ(zevsite::backoffDelay(1, random, std::chrono::seconds(60)), 60000ms);
  }
}

// Every kind of answer, as the sender's reaction function sees it.
TEST(ZEVSiteDeliveryParts, ReactionToEveryKindOfAnswer) {
  using Action = zevsite::UploadAction;
  constexpr std::int64_t kNow = 1'800'000'000;  // 2027-01-15
  struct Case {
    long status;
    std::string retryAfter;
    int failuresSoFar;
    std::size_t batch;
    Action action;
    std::chrono::milliseconds least{0}, most{0};  // the wait, for Wait
  };
  const std::vector<Case> cases = {
      {200, "", 3, 100, Action::Delete},
      {204, "60", 0, 1, Action::Delete},
      {301, "", 0, 10, Action::Wait, 500ms, 1000ms},
      {304, "", 2, 10, Action::Wait, 2000ms, 4000ms},
      {400, "", 0, 10, Action::Drop},
      {404, "120", 5, 10, Action::Drop},
      {408, "", 0, 10, Action::Wait, 500ms, 1000ms},
      {413, "", 0, 10, Action::Split},
      {413, "", 0, 1, Action::Drop},
      {429, "", 0, 10, Action::Wait, 500ms, 1000ms},
      {429, "120", 0, 10, Action::Wait, 120s, 120s},
      {429, "0", 1, 10, Action::Wait, 1000ms, 2000ms},
      {429, "-5", 0, 10, Action::Wait, 500ms, 1000ms},
      {429, "+5", 0, 10, Action::Wait, 500ms, 1000ms},
      {429, "soon", 0, 10, Action::Wait, 500ms, 1000ms},
      {429, "12abc", 0, 10, Action::Wait, 500ms, 1000ms},
      {429, "1.5", 0, 10, Action::Wait, 500ms, 1000ms},
      {429, "3599", 0, 10, Action::Wait, 3599s, 3599s},
      {429, "10000000000", 0, 10, Action::Wait, 1h, 1h},
      {429, "86400000", 0, 10, Action::Wait, 1h, 1h},
      {429, "99999999999999999999999999", 0, 10, Action::Wait, 1h, 1h},
      {429, "Fri, 15 Jan 2027 08:00:10 GMT", 0, 10, Action::Wait, 10s, 10s},
      {429, "Wed, 21 Oct 2015 07:28:00 GMT", 0, 10, Action::Wait, 500ms, 1000ms},  // past
      {429, "Fri, 31 Dec 9999 23:59:59 GMT", 0, 10, Action::Wait, 1h, 1h},
      {500, "", 0, 10, Action::Wait, 500ms, 1000ms},
      {502, "", 3, 10, Action::Wait, 4000ms, 8000ms},
      {503, "30", 0, 10, Action::Wait, 30s, 30s},
      {503, "30", 9, 10, Action::Wait, 150s, 300s},  // the backoff is longer than asked
      {599, "", 40, 10, Action::Wait, 150s, 300s},
      {0, "", 0, 10, Action::Wait, 500ms, 1000ms},  // network error
      {0, "", 1000000, 10, Action::Wait, 150s, 300s},
      {100, "", 0, 10, Action::Wait, 500ms, 1000ms},
  };
  for (const auto& c : cases) {
    for (std::uint64_t random : {std::uint64_t{0}, std::uint64_t{987654321}, ~std::uint64_t{0}}) {
      auto reaction =
          zevsite::reactToUpload(c.status, c.retryAfter, c.failuresSoFar, c.batch, kNow, random);
      EXPECT_EQ(reaction.action, c.action) << c.status << " " << c.retryAfter;
      if (c.action != Action::Wait) continue;
      EXPECT_GE(reaction.delay, c.least) << c.status << " " << c.retryAfter;
      EXPECT_LE(reaction.delay, c.most) << c.status << " " << c.retryAfter;
    }
  }
  // Dates relative to a clock at either end of the range stay within the cap.
  for (std::int64_t now : {std::numeric_limits<std::int64_t>::min(), std::int64_t{0},
                           std::numeric_limits<std::int64_t>::max()}) {
    auto wait = zevsite::parseRetryAfter("Fri, 31 Dec 9999 23:59:59 GMT", now);
    ASSERT_TRUE(wait);
    EXPECT_GE(*wait, 0s);
    EXPECT_LE(*wait, zevsite::kLongestRetryAfter);
  }
}
