#include "ZEVSiteConfigCache.h"

#include <ZEVSiteSDK/ZEVSiteSupport.h>

#include "Config/ZEV_XMLReader.h"
#include "Platform/ZEVSiteFiles.h"
#include "Platform/ZEVSitePlatform.h"
#include "Queue/ZEVSiteEventStorage.h"

namespace zevsite::config {

std::optional<ZEV_SDKConfig> cachedConfig() {
  const std::string home = ZEVSitePlatform::current().homeDirectory();
  if (home.empty()) return std::nullopt;  // no home: nothing was ever cached
  auto data = files::readFile(files::joinPath(home, "Library/SDK_CONFIG_DATA_KEY"));
  return ZEV_XMLReader::sdkConfigWithData(data);
}

std::chrono::milliseconds requestTimeout() {
  if (auto chosen = ZEVSiteSupport::requestTimeout(); chosen.count() > 0) return chosen;
  ZEV_OfflineCache defaults;
  auto config = cachedConfig();
  std::int64_t seconds = config ? config->offlineCache.timeout : defaults.timeout;
  if (seconds <= 0 || seconds > 3600) seconds = defaults.timeout;
  return std::chrono::seconds(seconds);
}

void applyCachedLimits() {
  // Without a cached document the storage keeps the defaults it started with.
  auto config = cachedConfig();
  if (!config) return;
  auto storage = ZEVSiteEventStorage::forHome(ZEVSitePlatform::current().homeDirectory());
  storage->setLimits(static_cast<std::size_t>(config->offlineCache.length),
                     config->offlineCache.queueExpirationSecs);
}

}  // namespace zevsite::config
