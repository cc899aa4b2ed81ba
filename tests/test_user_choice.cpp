// The user's choice: the opt-out (persisted, nothing tracked, stored or sent while it holds)
// and the deletion of this installation's data.
#include "Platform/ZEVSiteFiles.h"
#include "Queue/ZEVSiteEventStorage.h"
#include "Save/ZEVSiteDeepLinkModel.h"
#include "ZEVSiteDeliveringTest.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>

using namespace std::chrono_literals;

class ZEVSiteUserChoiceTest : public ZEVSiteDeliveringTest {
 protected:
  // The collect URL is set by each test when it wants events sent.
  ZEVSiteUserChoiceTest() : ZEVSiteDeliveringTest({.setCollectURL = false}) {}

  std::size_t linesContaining(std::string_view text) {
    std::size_t count = 0;
    for (const auto& line : logLines()) count += line.find(text) != std::string::npos;
    return count;
  }
  std::string userDefaultsOnDisk(std::string_view key) {
    zevsite::UserDefaults fresh(home_);  // what the next launch reads
    auto value = fresh.findInteger(key);
    return value ? std::to_string(*value) : "missing";
  }
};

// Opting out stops every tracking operation without a trace, deletes what was stored, and
// switching back on tracks again. (That it holds in a new host process is in test_kill.cpp,
// with the other tests of real processes.)
TEST_F(ZEVSiteUserChoiceTest, OptOutStopsTrackingDeletesStoredEventsAndSurvivesARestart) {
  EXPECT_TRUE(ZEVSiteSupport::isTrackingEnabled());  // the default
  auto manager = startManager();
  for (int i = 0; i < 3; ++i) manager->trackPageView("before" + std::to_string(i));
  ASSERT_EQ(storedUploads().size(), 3u);  // no collect URL yet: stored and kept

  clearCaptured();
  ZEVSiteSupport::setTrackingEnabled(false);
  ZEVSiteSupport::setTrackingEnabled(false);  // no change: no second line
  EXPECT_FALSE(ZEVSiteSupport::isTrackingEnabled());
  EXPECT_EQ(storedUploads().size(), 0u);
  EXPECT_EQ(userDefaultsOnDisk("ZEVSITE_TRACKING_DISABLED"), "1");

  // Every tracking operation does nothing: no event, no observer call, no log line, also
  // for calls that would be refused; a campaign link is not recorded; the start-up work
  // sends no "init" and records no activation.
  manager->trackPageView("private");
  manager->trackPageView("");
  manager->trackEvent("shop", "buy", "sku", 5);
  manager->trackEvent(std::nullopt, std::nullopt, std::nullopt, 0);
  manager->trackSiteCustomEvent({{"customActionId", "share"}, {"customActionLabel1", "x"}});
  manager->trackSiteCustomEvent({});
  manager->trackPulse();
  manager->trackEventName("pulse", std::nullopt, {});
  manager->trackEventName("", std::nullopt, {});
  ZEVSiteManager::handleOpenURL("app://open?qx_ca=private&qx_sp=link");
  // Nor a line about a URL too long to read, or a campaign value too long to keep.
  ZEVSiteManager::handleOpenURL("app://open?qx_ca=x&pad=" + std::string(70'000, 'x'));
  ZEVSiteManager::handleOpenURL("app://open?qx_ca=" + std::string(2'000, 'x') + "&qx_sp=link");
  platform_->advanceBy(1500ms);
  EXPECT_TRUE(events().empty());
  ASSERT_EQ(logLines().size(), 1u);
  EXPECT_EQ(linesContaining("tracking disabled"), 1u);
  EXPECT_FALSE(ZEVSiteSupport::isActivated());
  {
    auto& record = ZEVSiteDeepLinkModel::shareInstance();
    std::lock_guard lock(record.lock());
    EXPECT_FALSE(record.qxc().has_value());
  }
  // Nothing is stored, and opted out no send can be attempted, a collect URL set or not.
  ZEVSiteSupport::setCollectURL(collectURL_);
  ASSERT_FALSE(ZEVSiteSupport::flush(5s));
  EXPECT_EQ(storedUploads().size(), 0u);

  clearCaptured();
  ZEVSiteSupport::setTrackingEnabled(true);
  EXPECT_TRUE(ZEVSiteSupport::isTrackingEnabled());
  EXPECT_EQ(linesContaining("tracking enabled"), 1u);
  EXPECT_EQ(userDefaultsOnDisk("ZEVSITE_TRACKING_DISABLED"), "missing");
  manager->trackPageView("again");
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  EXPECT_EQ(collector_.eventCount(), 1u);
  auto titles = deliveredTitles();
  for (const char* hidden : {"before0", "private", "before2"}) EXPECT_EQ(titles.count(hidden), 0u);
  EXPECT_EQ(titles.count("again"), 1u);
  EXPECT_EQ(events().size(), 1u);  // "again", observed here
}

// deleteAllData forgets the installation: stored and staged events, client id, activation
// and cached configuration go; the opt-out choice stays.
TEST_F(ZEVSiteUserChoiceTest, DeleteAllDataForgetsTheInstallationButKeepsTheChoice) {
  auto manager = startManager();
  platform_->advanceBy(1s);  // the first start-up event: inst=1, activation recorded
  for (int i = 0; i < 5; ++i) manager->trackPageView("old" + std::to_string(i));
  ASSERT_EQ(storedUploads().size(), 6u);
  ASSERT_TRUE(ZEVSiteSupport::isActivated());
  const std::string oldCid = ZEVSiteManager::getCid();
  const std::string configFile = home_ + "/Library/SDK_CONFIG_DATA_KEY";
  std::ofstream(configFile) << "<config/>";
  platform_->standardUserDefaults()->setInteger(12345, "SDK_CONFIG_LAST_UPDATE_KEY");
  // Staged and being written when the call comes: deleted too.
  for (int i = 0; i < 2000; ++i) manager->trackPageView("staged" + std::to_string(i));

  ASSERT_TRUE(ZEVSiteSupport::deleteAllData(5s));
  EXPECT_EQ(storedUploads().size(), 0u);
  EXPECT_FALSE(ZEVSiteSupport::isActivated());
  EXPECT_FALSE(std::filesystem::exists(configFile));
  EXPECT_EQ(userDefaultsOnDisk("SDK_CONFIG_LAST_UPDATE_KEY"), "missing");
  EXPECT_EQ(userDefaultsOnDisk("ZEVSITE_ACTIVATED"), "missing");
  const std::string newCid = ZEVSiteManager::getCid();
  EXPECT_NE(newCid, oldCid);
  EXPECT_EQ(userDefaultsOnDisk("ZEVSITE_CLIENT_ID"), newCid);  // made and kept at once

  // The next launch reports a new install, under the new client id; nothing earlier arrives.
  ZEVSiteSupport::setCollectURL(collectURL_);
  manager = startManager();
  platform_->advanceBy(1s);
  manager->trackPageView("new");
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  // flush ended an attempt that began after both were stored: anything else stored would have
  // gone with it, and the collector counts an event before it answers.
  auto received = collector_.events();
  ASSERT_EQ(received.size(), 2u);
  for (const auto& event : received) {
    EXPECT_EQ(event.get("cid"), newCid);
    if (event.get("t") == "init") {
      EXPECT_EQ(event.get("inst"), "1");
    }
  }
  EXPECT_EQ(deliveredTitles().count("new"), 1u);

  // The opt-out survives the deletion.
  ZEVSiteSupport::setTrackingEnabled(false);
  ASSERT_TRUE(ZEVSiteSupport::deleteAllData(5s));
  EXPECT_FALSE(ZEVSiteSupport::isTrackingEnabled());
  EXPECT_EQ(userDefaultsOnDisk("ZEVSITE_TRACKING_DISABLED"), "1");
}

// A deletion the store cannot do now reports false in time and is done once it can.
TEST_F(ZEVSiteUserChoiceTest, ADeletionTheStoreCannotDoNowIsDoneLater) {
  auto manager = startManager();
  platform_->advanceBy(1s);  // the start-up event goes before the fault
  for (int i = 0; i < 10; ++i) manager->trackPageView("kept" + std::to_string(i));
  ASSERT_EQ(storedUploads().size(), 11u);
  platform_->setStoreFault([](zevsite::StoreFileOp op, const std::string&) {
    return op == zevsite::StoreFileOp::Write ? ENOSPC : 0;
  });
  EXPECT_FALSE(ZEVSiteSupport::deleteAllData(300ms));
  platform_->setStoreFault(nullptr);
  platform_->advanceBy(1s);  // the writer's retry is due
  EXPECT_EQ(storedUploads().size(), 0u);
  // Nothing of the earlier events goes out afterwards.
  ZEVSiteSupport::setCollectURL(collectURL_);
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  EXPECT_EQ(collector_.eventCount(), 0u);
}
