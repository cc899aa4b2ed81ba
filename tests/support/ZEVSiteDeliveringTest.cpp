#include "ZEVSiteDeliveringTest.h"

ZEVSiteDeliveringTest::ZEVSiteDeliveringTest() : setup_(Setup{}) {}

ZEVSiteDeliveringTest::ZEVSiteDeliveringTest(Setup setup) : setup_(setup) {}

void ZEVSiteDeliveringTest::SetUp() {
  ZEVSiteTest::SetUp();
  if (setup_.driveWorkers) platform_->driveWorkers();
  ZEVSiteNetworkStatusSimple::setProvider([this] { return status_.load(); });
  // A slow answer on a busy machine must not time out: a timeout waits out its backoff on
  // the manual clock, which only a test that moves it ends.
  ZEVSiteSupport::setRequestTimeout(std::chrono::seconds(30));
  collectURL_ = collector_.start();
  if (setup_.setCollectURL) ZEVSiteSupport::setCollectURL(collectURL_);
}

void ZEVSiteDeliveringTest::TearDown() {
  ZEVSiteSupport::shutdown(std::chrono::seconds(5));
  collector_.stop();
  ZEVSiteNetworkStatusSimple::setProvider(nullptr);
  ZEVSiteTest::TearDown();
}

std::shared_ptr<ZEVSiteManager> ZEVSiteDeliveringTest::startManager() {
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  platform_->runUntilIdle();  // applies the cached configuration's limits
  return manager;
}

void ZEVSiteDeliveringTest::trackPages(ZEVSiteManager& manager, const std::string& prefix,
                                       int count) {
  for (int i = 0; i < count; ++i) manager.trackPageView(prefix + std::to_string(i));
}

std::multiset<std::string> ZEVSiteDeliveringTest::deliveredTitles() {
  std::multiset<std::string> titles;
  for (const auto& event : collector_.events()) titles.insert(event.get("dt"));
  return titles;
}
