// fork() while the SDK is busy: children never inherit a held lock, store and deliver their
// own events through restarted writer and sender threads, and draw event ids of their own.
#include "Platform/ZEVSiteForkSafety.h"
#include "ZEVSiteRecordingCollector.h"
#include "ZEVSiteTestSupport.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr int kChildren = 20;
constexpr int kEventsPerChild = 50;

// The child's whole life: track, flush, report through the exit status. Never returns.
[[noreturn]] void runChild(int index) {
  // The test's own hooks (manual clock, captured log lines and events) have locks of their
  // own that a parent thread may have held at the fork, as any host's locks; the SDK's are
  // what is under test, so the child leaves the test's hooks behind.
  ZEVSiteSupport::setEventObserver(nullptr);
  ZEVSiteLoger::setSink(nullptr);
  ZEVSitePlatform::install(nullptr);
  auto manager = ZEVSiteManager::shareInstance();
  for (int i = 0; i < kEventsPerChild; ++i) {
    manager->trackPageView("child" + std::to_string(index) + "-" + std::to_string(i));
  }
  const bool flushed = ZEVSiteSupport::flush(10s);
  ::_exit(flushed ? 0 : 3);
}

// Waits for `pid` until `deadline`; the exit status, or -1 if it had to be killed.
int reap(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

class ZEVSiteForkTest : public ZEVSiteTest {
 protected:
  void SetUp() override {
    ZEVSiteTest::SetUp();
    ZEVSiteNetworkStatusSimple::setProvider([] { return ZEVSiteNetworkStatus_WiFi; });
    ZEVSiteSupport::setCollectURL(collector_.start());
  }
  void TearDown() override {
    ZEVSiteSupport::shutdown(5s);
    collector_.stop();
    ZEVSiteNetworkStatusSimple::setProvider(nullptr);
    ZEVSiteTest::TearDown();
  }
  ZEVSiteRecordingCollector collector_;
};

TEST_F(ZEVSiteForkTest, ChildrenForkedMidBurstDeliverTheirEventsWithIdsOfTheirOwn) {
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  manager->trackPageView("before-fork");
  // A host thread keeps tracking while the children are forked, so the SDK's locks and
  // threads are busy at the moments of fork().
  std::atomic<bool> tracking{true};
  std::atomic<int> parentEvents{1};
  std::thread busy([&] {
    while (tracking.load()) {
      manager->trackPageView("parent" + std::to_string(parentEvents.fetch_add(1)));
      std::this_thread::sleep_for(20us);
    }
  });
  std::vector<pid_t> children;
  for (int index = 0; index < kChildren; ++index) {
    pid_t pid = ::fork();
    if (pid == 0) runChild(index);
    ASSERT_GT(pid, 0);
    children.push_back(pid);
    std::this_thread::sleep_for(2ms);
  }
  tracking = false;
  busy.join();

  const auto deadline = std::chrono::steady_clock::now() + 30s;
  int hung = 0, failed = 0;
  for (pid_t pid : children) {
    int status = reap(pid, deadline);
    hung += status == -1;
    failed += status > 0;
  }
  EXPECT_EQ(hung, 0) << "children deadlocked";
  EXPECT_EQ(failed, 0) << "children whose flush failed";

  const std::size_t expected = std::size_t(kChildren) * kEventsPerChild + parentEvents.load();
  // A batch a child had leased when it exited goes out once the parent takes the lease back
  // (leases of dead processes are reclaimed every few seconds by a sending attempt).
  bool delivered = false;
  const auto deliveryDeadline = std::chrono::steady_clock::now() + 40s;
  while (!delivered && std::chrono::steady_clock::now() < deliveryDeadline) {
    ZEVSiteSupport::flush(5s);
    delivered = collector_.waitForEventCount(expected, 1s);
  }
  EXPECT_TRUE(delivered) << collector_.eventCount() << " of " << expected;
  std::set<std::string> eventIds;
  std::size_t childEvents = 0;
  for (const auto& event : collector_.events()) {
    eventIds.insert(event.get("eid"));
    childEvents += event.get("dt").starts_with("child");
  }
  EXPECT_EQ(childEvents, std::size_t(kChildren) * kEventsPerChild);
  EXPECT_EQ(eventIds.size(), collector_.events().size()) << "event ids repeated";
  EXPECT_EQ(collector_.duplicates(), 0u);
}

// A lock registered (and at once taken, as a first use does) while another thread forks is
// never inherited held, and a child handler registered meanwhile runs in the child.
TEST(ZEVSiteForkSafety, LocksRegisteredDuringAForkAreNeverInheritedHeld) {
  // Registered locks must outlive every later fork of this process, and never move.
  constexpr std::size_t kLocks = 20000;
  static std::mutex locks[kLocks];
  static std::atomic<int> handlersRun{0};
  std::atomic<std::size_t> published{0};
  std::atomic<bool> running{true};
  // The registrant registers each lock and takes it while it holds `gate`, a lock of a
  // lower rank, as a first use under an SDK lock does: the fork handler waits for the gate,
  // so registrations land while it takes the other locks.
  static std::mutex gate;
  zevsite::forksafety::registerLock(gate, zevsite::forksafety::kStore);
  std::thread registrant([&] {
    for (std::size_t i = 0; running.load() && i < kLocks; ++i) {
      std::mutex& lock = locks[i];
      {
        std::lock_guard gateHeld(gate);
        std::this_thread::sleep_for(300us);
        zevsite::forksafety::registerLock(lock, zevsite::forksafety::kLeaf);
        zevsite::forksafety::onChild([] { handlersRun.fetch_add(1); });
        published.store(i + 1);
        lock.lock();
      }
      std::this_thread::sleep_for(500us);
      lock.unlock();
      std::this_thread::sleep_for(500us);
    }
  });
  int heldInChild = 0, handlersMissing = 0, hung = 0;
  for (int round = 0; round < 200; ++round) {
    pid_t pid = ::fork();
    if (pid == 0) {
      // Every lock registered before the fork is free here, and all their handlers ran.
      const std::size_t registered = published.load();
      for (std::size_t i = 0; i < registered; ++i) {
        if (!locks[i].try_lock()) ::_exit(1);
      }
      ::_exit(handlersRun.load() >= static_cast<int>(registered) ? 0 : 2);
    }
    ASSERT_GT(pid, 0);
    const int status = reap(pid, std::chrono::steady_clock::now() + 10s);
    heldInChild += status == 1;
    handlersMissing += status == 2;
    hung += status == -1;
  }
  running = false;
  registrant.join();
  EXPECT_EQ(heldInChild, 0);
  EXPECT_EQ(handlersMissing, 0);
  EXPECT_EQ(hung, 0);
}
