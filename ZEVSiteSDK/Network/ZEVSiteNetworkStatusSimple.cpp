#include <ZEVSiteSDK/ZEVSiteNetworkStatusSimple.h>

#include "../Platform/ZEVSiteFiles.h"
#include "../Platform/ZEVSiteForkSafety.h"
#include "../Platform/ZEVSiteMutex.h"
#include "../Platform/ZEVSiteNoDestructor.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <string>

namespace {

struct ProviderSlot {
  zevsite::Mutex mutex;  // guards provider
  std::shared_ptr<const ZEVSiteNetworkStatusSimple::Provider> provider ZEVSITE_GUARDED_BY(mutex);
};

ProviderSlot& slot() {
  static zevsite::NoDestructor<ProviderSlot> instance;
  static const bool forkSafe =
      zevsite::forksafety::registered(instance.get().mutex, zevsite::forksafety::kLeaf);
  (void)forkSafe;
  return instance.get();
}

std::string firstLine(const std::string& path) {
  auto content = zevsite::files::readFile(path);
  if (!content) return {};
  return content->substr(0, content->find('\n'));
}

bool isCellularName(const std::string& name) {
  for (const char* prefix : {"wwan", "rmnet", "ccmni", "ppp", "usb", "wwp"}) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// Reads the interfaces under /sys/class/net: wireless up wins, then cellular, then wired.
ZEVSiteNetworkStatus statusFromOperatingSystem() {
  const std::string base = "/sys/class/net/";
  std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(base.c_str()), &::closedir);
  if (!directory) return ZEVSiteNetworkStatus_Unknown;
  bool wireless = false, cellular = false, wired = false;
  while (dirent* entry = ::readdir(directory.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || name == "lo") continue;
    std::string path = base + name;
    std::string state = firstLine(path + "/operstate");
    bool up = state == "up" || (state == "unknown" && firstLine(path + "/carrier") == "1");
    if (!up) continue;
    struct stat info {};
    if (::stat((path + "/wireless").c_str(), &info) == 0 ||
        ::stat((path + "/phy80211").c_str(), &info) == 0) {
      wireless = true;
    } else if (isCellularName(name)) {
      cellular = true;
    } else {
      wired = true;
    }
  }
  if (wireless) return ZEVSiteNetworkStatus_WiFi;
  if (cellular) return ZEVSiteNetworkStatus_WWAN;
  if (wired) return ZEVSiteNetworkStatus_WiFi;
  return ZEVSiteNetworkStatus_None;
}

}  // namespace

ZEVSiteNetworkStatus ZEVSiteNetworkStatusSimple::currentNetworkStatus() {
  std::shared_ptr<const Provider> provider;
  {
    zevsite::MutexLock lock(slot().mutex);
    provider = slot().provider;
  }
  return provider ? (*provider)() : statusFromOperatingSystem();
}

void ZEVSiteNetworkStatusSimple::setProvider(Provider provider) {
  zevsite::MutexLock lock(slot().mutex);
  slot().provider = provider ? std::make_shared<const Provider>(std::move(provider)) : nullptr;
}
