// Fuzzes the deep-link URL handling: any text must be handled without a crash, and what it
// records must be text that stands in the URL.
#include <ZEVSiteSDK/ZEVSiteManager.h>

#include "Save/ZEVSiteDeepLinkModel.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& record = ZEVSiteDeepLinkModel::shareInstance();
  {
    // Start from a clean record with SdkInit set, so the new-campaign path runs too (no
    // shared manager exists, so nothing is sent).
    std::lock_guard lock(record.lock());
    record.setQxc(std::nullopt);
    record.setQxs(std::nullopt);
    record.setLastQxc(std::nullopt);
    record.setLastQxs(std::nullopt);
    record.setSdkInit(true);
  }
  std::string url(reinterpret_cast<const char*>(data), size);
  ZEVSiteManager::handleOpenURL(url);
  std::lock_guard lock(record.lock());
  for (const ZEVSiteText* value : {&record.qxc(), &record.qxs()}) {
    if (*value && url.find(**value) == std::string::npos) std::abort();
  }
  if (record.qxc() && record.qxs() && !record.deepLinkInit()) std::abort();
  return 0;
}
