// Remote configuration refresh: download, parse and cache the SDK configuration document.
#include <ZEVSiteSDK/ZEVSiteManager.h>

#include <ZEVSiteSDK/ZEVSiteLoger.h>
#include <ZEVSiteSDK/ZEVSiteNetworkStatusSimple.h>
#include <ZEVSiteSDK/ZEVSiteSupport.h>

#include "Config/ZEV_XMLReader.h"
#include "Platform/ZEVSiteFiles.h"
#include "Platform/ZEVSitePlatform.h"
#include "ZEVSiteConfigCache.h"

#include <limits>

namespace {

constexpr const char* kLastUpdateKey = "SDK_CONFIG_LAST_UPDATE_KEY";
constexpr std::int64_t kWifiInterval = 86400;       // one day
constexpr std::int64_t kCellularInterval = 259200;  // three days
constexpr std::size_t kMaxDocumentBytes = 1 << 20;

// now - last, saturated instead of overflowing for absurd stored timestamps.
std::int64_t ageSeconds(std::int64_t now, std::int64_t last) {
  std::int64_t age = 0;
  if (__builtin_sub_overflow(now, last, &age)) {
    return last < 0 ? std::numeric_limits<std::int64_t>::max()
                    : std::numeric_limits<std::int64_t>::min();
  }
  return age;
}

}  // namespace

ZEVSiteText ZEVSiteManager::sdkConfigURL() const {
  std::lock_guard lock(sdkConfigURLMutex_);
  return sdkConfigURL_;
}

void ZEVSiteManager::setSdkConfigURL(ZEVSiteText url) {
  std::lock_guard lock(sdkConfigURLMutex_);
  sdkConfigURL_ = std::move(url);
}

void ZEVSiteManager::configFromUrl(ZEVSiteText url) {
  try {
    setSdkConfigURL(std::move(url));
    auto& platform = ZEVSitePlatform::current();
    const std::int64_t now = platform.currentTimeSeconds();
    const std::int64_t last = platform.standardUserDefaults()->integerForKey(kLastUpdateKey);
    const int status = ZEVSiteNetworkStatusSimple::currentNetworkStatus();
    const std::int64_t age = ageSeconds(now, last);
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
  // The URL as it stands now, not when the refresh was scheduled.
  ZEVSiteText url;
  if (auto manager = weakManager.lock()) url = manager->sdkConfigURL();
  auto& platform = ZEVSitePlatform::current();
  std::optional<std::string> data;
  if (url) {
    ZEVSiteFetchLimits limits;
    limits.maxBytes = kMaxDocumentBytes;
    limits.totalTimeout = zevsite::config::requestTimeout();
    data = platform.fetchURL(*url, limits);
  }
  auto config = ZEV_XMLReader::sdkConfigWithData(data);
  if (!config) return;
  const std::string home = platform.homeDirectory();
  if (home.empty()) return;  // no home directory: the document has nowhere to be kept
  const std::string path = zevsite::files::joinPath(home, "Library/SDK_CONFIG_DATA_KEY");
  // The refresh counts only once the document is safely on disk; a failed write leaves
  // the timestamp alone so the next call tries again.
  if (!platform.writeFileAtomically(path, *data)) return;
  auto defaults = platform.standardUserDefaults();
  defaults->setInteger(platform.currentTimeSeconds(), kLastUpdateKey);
  defaults->synchronize();
  zevsite::config::applyCachedLimits();
}
