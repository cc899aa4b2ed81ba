#include "Queue/ZEVSiteEventStorage.h"
#include "ZEVSiteDeliveringTest.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

using namespace std::chrono_literals;

class ZEVSiteKillTest : public ZEVSiteTest {};

// Host processes that deliver to a loopback collector while they are killed or race each
// other. The children run the real platform, so this process waits for them in real time.
class ZEVSiteKillDeliveryTest : public ZEVSiteDeliveringTest {
 protected:
  ZEVSiteKillDeliveryTest() : ZEVSiteDeliveringTest({.driveWorkers = false}) {}
};

// How long after its acceptance an event is on disk at the latest. The SDK promises 100 ms
// (its writer commits within a few); the normal build checks exactly that. Under a sanitizer
// or an emulator the writer's SQLite work runs many times slower, and on a busy machine it can
// fall behind by more than 100 ms: there the test shows that a kill loses nothing that was accepted
// a while before, and leaves the timing to the normal build.
#ifdef ZEVSITE_TEST_SLOWED
constexpr std::chrono::milliseconds kOnDiskWithin{2000};
#else
constexpr std::chrono::milliseconds kOnDiskWithin{100};
#endif

// Every event accepted more than kOnDiskWithin before a SIGKILL is in the store afterwards.
TEST_F(ZEVSiteKillTest, EventsAcceptedBeforeAKillSurviveIt) {
  ZEVSiteChild child = spawnChild(ZEVSITE_BURST_CHILD, {home_}, /*readOutput=*/true);
  ASSERT_GT(child.pid, 0);
  const pid_t pid = child.pid;

  // Each reported number was accepted no later than the moment it arrives here.
  using Clock = std::chrono::steady_clock;
  std::mutex mutex;
  std::vector<std::pair<long, Clock::time_point>> reports;
  std::thread reader([&] {
    FILE* in = ::fdopen(child.outputFd, "r");
    long number = 0;
    while (std::fscanf(in, "%ld", &number) == 1) {
      std::lock_guard lock(mutex);
      reports.emplace_back(number, Clock::now());
    }
    std::fclose(in);
  });
  // The kill comes once 6,000 events were reported and the 1,000th was reported more than
  // kOnDiskWithin ago, so that enough events fall under the promise however slow the child.
  auto started = Clock::now();
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard lock(mutex);
    const auto thousandth = std::find_if(reports.begin(), reports.end(),
                                         [](const auto& report) { return report.first > 1000; });
    if ((thousandth != reports.end() && Clock::now() - thousandth->second > kOnDiskWithin &&
         reports.back().first >= 6000) ||
        Clock::now() - started > std::chrono::seconds(30)) {
      break;
    }
  }
  auto killedAt = Clock::now();
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  reader.join();
  ASSERT_TRUE(WIFSIGNALED(status));

  long mustHave = -1;
  for (const auto& [number, arrived] : reports) {
    if (arrived < killedAt - kOnDiskWithin) mustHave = std::max(mustHave, number);
  }
  std::printf("must have 0..%ld of %ld reported\n", mustHave, reports.back().first);
  ASSERT_GT(mustHave, 1000) << "the child accepted too few events to make the test meaningful";

  std::set<long> titles;
  for (const auto& upload : storedUploads()) {
    auto decoded = ZEVSiteUpload::decode(upload);
    if (decoded.get("t") == "pageview") titles.insert(std::stol(*decoded.get("dt")));
  }
  for (long i = 0; i <= mustHave; ++i) {
    ASSERT_TRUE(titles.count(i)) << "event " << i << " of " << mustHave << " was lost";
  }
}

namespace {

pid_t spawnDeliveringChild(const std::string& home, const std::string& collectURL, int count) {
  return spawnChild(ZEVSITE_BURST_CHILD, {home, collectURL, std::to_string(count)}, false).pid;
}

}  // namespace

// Two host processes on one home directory share the store: every event goes out once.
TEST_F(ZEVSiteKillDeliveryTest, TwoProcessesOnOneHomeNeverSendAnEventTwice) {
  collector_.setPolicy([](std::size_t) {
    return zevsite::collector::CollectorReply{200, "", 5ms};
  });
  pid_t first = spawnDeliveringChild(home_, collectURL_, 2000);
  pid_t second = spawnDeliveringChild(home_, collectURL_, 2000);
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  auto pageViews = [](const auto& events) {
    return std::count_if(events.begin(), events.end(),
                         [](const auto& event) { return event.get("t") == "pageview"; });
  };
  bool all =
      collector_.waitUntil([&](const auto& events) { return pageViews(events) == 4000; }, 30s);
  std::this_thread::sleep_for(300ms);  // anything sent twice would arrive by now
  for (pid_t pid : {first, second}) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  ASSERT_TRUE(all) << collector_.eventCount();
  EXPECT_EQ(pageViews(collector_.events()), 4000);
  EXPECT_EQ(collector_.duplicates(), 0u);
}

// A host killed in the middle of delivery: after the restart every event it stored reaches
// the collector; only the batch in flight may arrive twice, and the event id tells.
TEST_F(ZEVSiteKillDeliveryTest, EventsOfAHostKilledMidDeliveryAreDeliveredAfterRestart) {
  // Slow answers keep delivery going (30 batches) well past the moment the child reports its
  // events stored, once they are on disk and its first upload was answered.
#ifdef ZEVSITE_TEST_SLOWED
  constexpr auto kAnswerDelay = 300ms;
#else
  constexpr auto kAnswerDelay = 30ms;
#endif
  collector_.setPolicy([](std::size_t) {
    return zevsite::collector::CollectorReply{200, "", kAnswerDelay};
  });
  ZEVSiteChild child =
      spawnChild(ZEVSITE_BURST_CHILD, {home_, collectURL_, "3000"}, /*readOutput=*/true);
  ASSERT_GT(child.pid, 0);
  const pid_t pid = child.pid;
  // The child prints "stored" once all its events are written; kill it mid-delivery.
  FILE* in = ::fdopen(child.outputFd, "r");
  char line[64] = {0};
  bool stored = false;
  while (std::fgets(line, sizeof line, in)) stored |= std::string(line) == "stored\n";
  ASSERT_TRUE(stored);
  ASSERT_TRUE(collector_.waitForEventCount(300, 20s));
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::fclose(in);
  const std::size_t beforeRestart = collector_.eventCount();
  ASSERT_LT(beforeRestart, 3001u) << "the child finished delivery before it was killed";

  collector_.setPolicy(nullptr);
  startManager();  // the restart: same home directory, same store
  ASSERT_TRUE(collector_.waitUntil(
      [](const auto& events) {
        std::set<std::string> titles;
        for (const auto& event : events) {
          if (event.get("t") == "pageview") titles.insert(event.get("dt"));
        }
        return titles.size() == 3000;
      },
      30s));
  EXPECT_LE(collector_.duplicates(), 100u);  // at most the batch in flight
}

// The opt-out is the installation's: a new host process on the same home directory tracks
// nothing while it holds, and delivers again once it is switched back on.
TEST_F(ZEVSiteKillDeliveryTest, TheOptOutHoldsInANewHostProcess) {
  ZEVSiteSupport::setTrackingEnabled(false);
  // The child reports once its events would be on disk, and is killed then.
  auto runChildHost = [&] {
    ZEVSiteChild child =
        spawnChild(ZEVSITE_BURST_CHILD, {home_, collectURL_, "5"}, /*readOutput=*/true);
    FILE* in = ::fdopen(child.outputFd, "r");
    char line[64] = {0};
    bool stored = false;
    while (std::fgets(line, sizeof line, in)) stored |= std::string(line) == "stored\n";
    std::fclose(in);
    return std::pair{child.pid, stored};
  };
  auto [optedOut, reported] = runChildHost();
  ASSERT_GT(optedOut, 0);
  ::kill(optedOut, SIGKILL);
  ::waitpid(optedOut, nullptr, 0);
  ASSERT_TRUE(reported);
  // Tracked, its events would be in the store or, sent, at the collector.
  EXPECT_EQ(storedUploads().size(), 0u);
  EXPECT_EQ(collector_.eventCount(), 0u);

  ZEVSiteSupport::setTrackingEnabled(true);
  auto [optedIn, told] = runChildHost();
  ASSERT_GT(optedIn, 0);
  const bool delivered = collector_.waitUntil(
      [](const auto& events) {
        std::set<std::string> titles;
        for (const auto& event : events) titles.insert(event.get("dt"));
        return titles.count("p0") && titles.count("p4");
      },
      10s);
  ::kill(optedIn, SIGKILL);
  ::waitpid(optedIn, nullptr, 0);
  EXPECT_TRUE(told);
  EXPECT_TRUE(delivered);
}
