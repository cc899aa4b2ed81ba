// A host application's use of the SDK: create the shared manager at launch, report what the
// user does, and let the SDK store the events in its home directory ($ZEVSITE_HOME) and send
// them to the collector ($ZEVSITE_COLLECT_URL).
#include <ZEVSiteSDK/ZEVSiteSDK.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

int main() {
  std::mutex mutex;
  std::vector<std::string> seen;
  ZEVSiteSupport::setEventObserver([&](std::string_view name, std::string_view upload) {
    std::lock_guard lock(mutex);
    seen.push_back(std::string(name) + "  " + std::string(upload));
  });
  ZEVSiteManager::setEnableLog(true);
  // Without a collector named, a local port where nothing listens: the uploads fail and the
  // events stay stored for a later launch.
  const char* collectURL = std::getenv("ZEVSITE_COLLECT_URL");
  ZEVSiteSupport::setCollectURL(collectURL && *collectURL ? collectURL
                                                          : "http://127.0.0.1:9/collect");

  auto manager = ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  manager->trackPageView("Home", {{"customDimension2", "blue"}, {"customMetrics1", 3}});
  manager->trackEvent("shop", "buy", "", 7, {});
  manager->trackSiteCustomEvent(
      {{"customActionId", "a"}, {"customActionLabel1", "x"}, {"customActionValue2", 5}});
  manager->trackPulse();
  manager->trackPageView("");  // refused: logged, not sent

  // The start-up event follows about one second after creation.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  // True once everything is on disk and a send was attempted (not necessarily delivered).
  bool stored = ZEVSiteSupport::flush(std::chrono::seconds(5));

  std::lock_guard lock(mutex);
  std::printf("client id %s; %zu events accepted, %s\n", ZEVSiteManager::getCid().c_str(),
              seen.size(),
              stored ? "all stored on disk, a send attempted" : "NOT all stored and attempted");
  for (const auto& line : seen) std::printf("  %s\n", line.c_str());
  return stored && seen.size() == 5 ? 0 : 1;
}
