// Remote configuration, the manager's side: the configuration URL and the refresh rule. The
// download, the cached document and its limits live in Config/.
#include <ZEVSiteSDK/ZEVSiteManager.h>

#include <ZEVSiteSDK/ZEVSiteLoger.h>
#include <ZEVSiteSDK/ZEVSiteNetworkStatusSimple.h>
#include <ZEVSiteSDK/ZEVSiteSupport.h>

#include "Config/ZEVSiteConfigRefresh.h"
#include "Platform/ZEVSitePlatform.h"
#include "ZEVSiteManagerImpl.h"
#include "ZEVSiteTime.h"

namespace {

constexpr std::int64_t kWifiInterval = 86400;       // one day
constexpr std::int64_t kCellularInterval = 259200;  // three days

}  // namespace

ZEVSiteText ZEVSiteManager::Impl::sdkConfigURL() const {
  zevsite::MutexLock lock(sdkConfigURLMutex_);
  return sdkConfigURL_;
}

void ZEVSiteManager::Impl::setSdkConfigURL(ZEVSiteText url) {
  zevsite::MutexLock lock(sdkConfigURLMutex_);
  sdkConfigURL_ = std::move(url);
}

void ZEVSiteManager::configFromUrl(ZEVSiteText url) {
  try {
    impl_->setSdkConfigURL(std::move(url));
    auto& platform = ZEVSitePlatform::current();
    const std::int64_t now = platform.currentTimeSeconds();
    const std::int64_t last = platform.standardUserDefaults()->integerForKey(zevsite::kConfigLastUpdateKey);
    const int status = ZEVSiteNetworkStatusSimple::currentNetworkStatus();
    const std::int64_t age = zevsite::time::saturatingSub(now, last);
    if (status == ZEVSiteNetworkStatus_3G && age > kCellularInterval) {
      updateSdkConfig();
    } else if (status == ZEVSiteNetworkStatus_WiFi && age > kWifiInterval) {
      updateSdkConfig();
    }
  } catch (const std::exception& error) {
    ZEVSiteLoger::adLog("##configFromURL exception:%@", error);
  }
}

void ZEVSiteManager::updateSdkConfig() {
  std::weak_ptr<ZEVSiteManager> weakManager = weak_from_this();
  ZEVSitePlatform::current().dispatchAsync([weakManager] { refreshConfiguration(weakManager); });
}

void ZEVSiteManager::refreshConfiguration(const std::weak_ptr<ZEVSiteManager>& weakManager) {
  // The URL as it stands now, not when the refresh was scheduled. The download itself runs
  // off the shared pool, so the start-up work never waits for it.
  ZEVSiteText url;
  if (auto manager = weakManager.lock()) url = manager->impl_->sdkConfigURL();
  if (url) zevsite::ConfigRefresh::shared().start(std::move(url), ZEVSiteSupport::requestTimeout());
}
