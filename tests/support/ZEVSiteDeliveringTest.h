// The fixture of tests that deliver to a loopback collector: the collector, the network status
// the SDK sees (Wi-Fi unless a test changes status_), a request timeout a busy machine never
// reaches, and a manager started on the manual platform.
#pragma once

#include "ZEVSiteRecordingCollector.h"
#include "ZEVSiteTestSupport.h"

#include <atomic>
#include <memory>
#include <set>
#include <string>

class ZEVSiteDeliveringTest : public ZEVSiteTest {
 protected:
  struct Setup {
    // The writer and the sender run on the test's thread (ZEVSiteManualPlatform::driveWorkers);
    // false: on threads of their own, for tests of real processes.
    bool driveWorkers = true;
    // The collector's URL is the collect URL from the start.
    bool setCollectURL = true;
  };
  ZEVSiteDeliveringTest();
  explicit ZEVSiteDeliveringTest(Setup setup);

  void SetUp() override;
  void TearDown() override;

  // The manager of app "123", with the manual platform's due work done.
  std::shared_ptr<ZEVSiteManager> startManager();
  // Page views titled prefix0..prefix(count-1).
  static void trackPages(ZEVSiteManager& manager, const std::string& prefix, int count);
  // The titles of the page views the collector received.
  std::multiset<std::string> deliveredTitles();

  std::atomic<ZEVSiteNetworkStatus> status_{ZEVSiteNetworkStatus_WiFi};
  ZEVSiteRecordingCollector collector_;
  std::string collectURL_;

 private:
  const Setup setup_;
};
