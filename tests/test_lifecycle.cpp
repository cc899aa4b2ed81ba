#include "Save/ZEVSiteDeepLinkModel.h"
#include "Save/ZEVSiteSaveParameter.h"
#include "ZEVSiteTaskQueue.h"
#include "ZEVSiteTestSupport.h"
#include "ZEVUncaughtExceptionHandler.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

constexpr const char* kRejectedIdMessage =
    "[Site] Site SDK initlize failed,appId has to be a pure number,Please check your code.";

bool sdkInit() {
  auto& record = ZEVSiteDeepLinkModel::shareInstance();
  std::lock_guard lock(record.lock());
  return record.SdkInit();
}

}  // namespace

class ZEVSiteLifecycleTest : public ZEVSiteTest {};

TEST_F(ZEVSiteLifecycleTest, CreationStartsQueueAndSendsInitAfterOneSecond) {
  EXPECT_EQ(ZEVSiteManager::shareInstance(), nullptr);
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(ZEVSiteManager::shareInstance(), manager);
  EXPECT_EQ(ZEVSiteSupport::appId(), "123");
  auto queue = ZEVSiteManagerTestAccess::taskQueue(*manager);
  ASSERT_NE(queue, nullptr);
  EXPECT_EQ(queue->sendCondition(), 6);
  EXPECT_TRUE(queue->isExecuting());
  EXPECT_NE(std::get_terminate(), nullptr);

  platform_->advanceBy(std::chrono::milliseconds(999));
  EXPECT_TRUE(events().empty());
  EXPECT_FALSE(sdkInit());
  platform_->advanceBy(std::chrono::milliseconds(1));
  ASSERT_EQ(events().size(), 1u);
  EXPECT_TRUE(sdkInit());
  EXPECT_EQ(events()[0].name, "init");
  EXPECT_EQ(events()[0].decoded().eventFields(),
            (std::vector<std::pair<std::string, std::string>>{
                {"pkid", "store"}, {"inst", "1"}, {"ni", "1"}, {"tid", "dc-123"}, {"t", "init"}}));
  EXPECT_TRUE(ZEVSiteSupport::isActivated());

  // Durably stored: the upload string is in the event store.
  EXPECT_EQ(storedUploads(), std::vector<std::string>{events()[0].upload});

  // The next launch (a new manager) reports "inst" 0; an empty channel leaves "pkid" out.
  clearCaptured();
  ZEVSiteManager::sharedInstanceWithAppId("123", "");
  platform_->advanceBy(std::chrono::seconds(1));
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0].decoded().get("inst"), "0");
  EXPECT_EQ(events()[0].decoded().get("pkid"), std::nullopt);
  EXPECT_TRUE(logLines().empty());
}

// Activation is recorded only once a start-up event reached the task queue: a refused one
// (a channel too long to send) leaves the install to be reported by the next.
TEST_F(ZEVSiteLifecycleTest, ActivationIsRecordedOnlyWithAnAcceptedStartupEvent) {
  ZEVSiteManager::sharedInstanceWithAppId("123", std::string(9000, 'c'));
  platform_->advanceBy(std::chrono::seconds(1));
  EXPECT_TRUE(events().empty());
  EXPECT_EQ(logLines(),
            std::vector<std::string>{"[Site] Site SDK event send failed, Please check your code."});
  EXPECT_FALSE(ZEVSiteSupport::isActivated());

  ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  platform_->advanceBy(std::chrono::seconds(1));
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0].decoded().get("inst"), "1");
  EXPECT_TRUE(ZEVSiteSupport::isActivated());
}

TEST_F(ZEVSiteLifecycleTest, RejectedIdsAreLoggedAndLeaveASilentSharedManager) {
  const std::vector<ZEVSiteText> rejected = {
      std::nullopt, "",    "12a", "-12",  "+12",
      "1.5",        " 12", "12 ", "0x1F", "\xEF\xBC\x91\xEF\xBC\x92"};
  for (const auto& id : rejected) {
    // What the last pulse left for the pool (it still counts as the session's activity).
    platform_->runUntilIdle();
    clearCaptured();
    auto manager = ZEVSiteManager::sharedInstanceWithAppId(id, "store");
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(ZEVSiteManager::shareInstance(), manager);
    EXPECT_EQ(ZEVSiteManagerTestAccess::taskQueue(*manager), nullptr);
    EXPECT_EQ(ZEVSiteManagerTestAccess::channel(*manager), "store");
    EXPECT_EQ(logLines(), std::vector<std::string>{kRejectedIdMessage}) << id.value_or("(absent)");
    EXPECT_EQ(platform_->pendingTasks(), 0u);
    manager->trackPulse();  // goes nowhere, silently
    EXPECT_EQ(logLines().size(), 1u);
  }
  platform_->advanceBy(std::chrono::seconds(5));
  EXPECT_TRUE(events().empty());
  EXPECT_FALSE(sdkInit());
  EXPECT_EQ(ZEVSiteSupport::appId(), std::nullopt);

  // Leading zeros and forty digits are fine; an absent channel is kept absent.
  for (const char* id : {"007", "1234567890123456789012345678901234567890"}) {
    auto manager = ZEVSiteManager::sharedInstanceWithAppId(id, std::nullopt);
    EXPECT_NE(ZEVSiteManagerTestAccess::taskQueue(*manager), nullptr) << id;
    EXPECT_EQ(ZEVSiteManagerTestAccess::channel(*manager), std::nullopt);
  }
}

TEST_F(ZEVSiteLifecycleTest, TwoCreationsGiveTwoQueuesAndTwoInitsAndReleaseTheFirst) {
  std::weak_ptr<ZEVSiteManager> first = ZEVSiteManager::sharedInstanceWithAppId("1", "a");
  auto firstQueue = ZEVSiteManagerTestAccess::taskQueue(*first.lock());
  platform_->advanceBy(std::chrono::milliseconds(300));
  auto second = ZEVSiteManager::sharedInstanceWithAppId("2", "b");
  EXPECT_EQ(ZEVSiteManager::shareInstance(), second);
  EXPECT_NE(ZEVSiteManagerTestAccess::taskQueue(*second), firstQueue);
  // The replaced manager lives on until its start-up work has run.
  EXPECT_FALSE(first.expired());
  platform_->advanceBy(std::chrono::milliseconds(700));
  EXPECT_TRUE(first.expired());
  platform_->advanceBy(std::chrono::milliseconds(300));
  auto sent = events();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].decoded().get("tid"), "dc-1");
  EXPECT_EQ(sent[1].decoded().get("tid"), "dc-2");
  EXPECT_EQ(sent[1].decoded().get("inst"), "0");
  EXPECT_EQ(storedUploads().size(), 2u);
}

TEST_F(ZEVSiteLifecycleTest, ClientIdIsMadeOncePersistedAndFormattedAsStored) {
  std::string cid = ZEVSiteManager::getCid();
  ASSERT_FALSE(cid.empty());
  EXPECT_GT(std::stoll(cid), 0);
  EXPECT_EQ(ZEVSiteManager::getCid(), cid);
  EXPECT_EQ(zevsite::UserDefaults(home_).findInteger("ZEVSITE_CLIENT_ID"), std::stoll(cid));

  // Another home directory has its own id; a stored id is used exactly as stored.
  for (std::int64_t stored : {std::int64_t{-42}, INT64_MAX}) {
    std::string other = makeTemporaryDirectory();
    zevsite::UserDefaults(other).setInteger(stored, "ZEVSITE_CLIENT_ID");
    ZEVSiteSupport::setHomeDirectory(other);
    EXPECT_EQ(ZEVSiteManager::getCid(), std::to_string(stored));
    ZEVSiteSupport::setHomeDirectory(home_);
    std::filesystem::remove_all(other);
  }
  EXPECT_EQ(ZEVSiteManager::getCid(), cid);
}

TEST_F(ZEVSiteLifecycleTest, IsPureIntAcceptsOnlyAsciiDigits) {
  auto manager = ZEVSiteManager::init();
  EXPECT_EQ(ZEVSiteManagerTestAccess::taskQueue(*manager), nullptr);
  EXPECT_NE(ZEVSiteManager::shareInstance(), manager);
  EXPECT_EQ(platform_->pendingTasks(), 0u);
  struct Case {
    ZEVSiteText text;
    bool pure;
  };
  for (const auto& [text, pure] : std::vector<Case>{{"", true},
                                                    {"0", true},
                                                    {"0123456789", true},
                                                    {"0x1F", false},
                                                    {"12 ", false},
                                                    {"-1", false},
                                                    {"\xD9\xA1", false},  // Arabic-Indic one
                                                    {std::nullopt, false}}) {
    EXPECT_EQ(manager->isPureInt(text), pure) << text.value_or("(absent)");
  }
}

TEST_F(ZEVSiteLifecycleTest, SharedManagerCanBeReadWhileReplacedFromAnotherThread) {
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) {
      if (auto manager = ZEVSiteManager::shareInstance()) manager->trackPulse();
    }
  });
  for (int i = 0; i < 200; ++i) ZEVSiteManager::sharedInstanceWithAppId("42", "c");
  stop = true;
  reader.join();
  platform_->advanceBy(std::chrono::seconds(1));
  std::size_t inits = 0;
  for (const auto& event : events()) inits += event.name == "init";
  EXPECT_EQ(inits, 200u);
}

namespace {

// The host's own crash handling, installed before the SDK's handler: it must still run.
[[noreturn]] void hostCrashHandler() {
  std::fputs("host handler ran\n", stderr);
  std::_Exit(7);
}

}  // namespace

class ZEVSiteGuardedRegionDeathTest : public ZEVSiteTest {
 protected:
  void TearDown() override {
    ZEVSiteNetworkStatusSimple::setProvider(nullptr);
    ZEVSiteTest::TearDown();
  }
};

// A guarded region catches std::exception and nothing else: the host's network-status
// provider throwing an int inside configFromUrl reaches the caller as that int, with no log
// line, while a std::exception from it is caught and logged. And sharedInstanceWithAppId
// makes the SDK's handler the terminate handler: an exception escaping the host's code is
// logged by it, and then the host's own handler runs.
TEST_F(ZEVSiteGuardedRegionDeathTest, OnlyStdExceptionsAreCaughtAndTheTerminateHandlerIsTheSdks) {
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  clearCaptured();
  const std::size_t pendingTasks = platform_->pendingTasks();  // its start-up work
  ZEVSiteNetworkStatusSimple::setProvider([]() -> ZEVSiteNetworkStatus { throw 42; });
  try {
    manager->configFromUrl("http://stored.example/doc");
    ADD_FAILURE() << "the int did not reach the caller";
  } catch (int thrown) {
    EXPECT_EQ(thrown, 42);
  }
  EXPECT_TRUE(logLines().empty());
  EXPECT_EQ(ZEVSiteManagerTestAccess::sdkConfigURL(*manager), "http://stored.example/doc");

  ZEVSiteNetworkStatusSimple::setProvider(
      []() -> ZEVSiteNetworkStatus { throw std::runtime_error("status unavailable"); });
  EXPECT_NO_THROW(manager->configFromUrl("http://other.example/doc"));
  EXPECT_EQ(logLines(), std::vector<std::string>{"##configFromURL exception:status unavailable"});
  EXPECT_EQ(platform_->pendingTasks(), pendingTasks);  // no refresh was scheduled

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::set_terminate(&hostCrashHandler);
        ZEVSiteManager::sharedInstanceWithAppId("123", "store");
        ZEVSiteLoger::setSink(nullptr);  // standard error, which the death test reads
        try {
          throw std::runtime_error("escaped the host");
        } catch (...) {
          std::terminate();
        }
      },
      ::testing::ExitedWithCode(7),
      "uncaught exception: escaped the host\n(.|\n)*host handler ran");
}
