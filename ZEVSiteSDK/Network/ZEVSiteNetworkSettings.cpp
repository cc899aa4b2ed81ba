#include "ZEVSiteNetworkSettings.h"

#include "../Platform/ZEVSiteForkSafety.h"
#include "../Platform/ZEVSiteMutex.h"
#include "../Platform/ZEVSiteNoDestructor.h"

#include <ZEVSiteSDK/ZEVSiteSupport.h>

#include <sys/utsname.h>

#include <algorithm>
#include <fstream>
#include <mutex>

namespace zevsite::net {
namespace {

struct SettingsSlot {
  zevsite::Mutex mutex;  // guards settings; a leaf lock (any thread, held for a copy)
  NetworkSettings settings ZEVSITE_GUARDED_BY(mutex);
};

SettingsSlot& slot() {
  static NoDestructor<SettingsSlot> instance;
  // A host thread may be changing a setting at fork(): the child must not inherit the lock.
  static const bool forkSafe = forksafety::registered(instance.get().mutex, forksafety::kLeaf);
  (void)forkSafe;
  return instance.get();
}

// NAME="..." from /etc/os-release without its quotes, or empty.
std::string osReleaseValue(const std::string& name) {
  std::ifstream file("/etc/os-release");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind(name + "=", 0) != 0) continue;
    std::string value = line.substr(name.size() + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}

}  // namespace

const std::string& userAgent() {
  // Read once per process: the system does not change under it.
  static NoDestructor<std::string> text([] {
    std::string system = "unknown";
    utsname names{};
    if (::uname(&names) == 0) system = std::string(names.sysname) + " " + names.release;
    const std::string distribution = osReleaseValue("ID") + " " + osReleaseValue("VERSION_ID");
    if (distribution != " ") system += "; " + distribution;
    if (names.machine[0] != '\0') system += "; " + std::string(names.machine);
    return "ZEVSiteSDK/" + std::string(ZEVSiteSupport::sdkVersion()) + " (" + system + ")";
  }());
  return text.get();
}

NetworkSettings networkSettings() {
  zevsite::MutexLock lock(slot().mutex);
  return slot().settings;
}

void setProxy(std::optional<std::string> proxyURL) {
  zevsite::MutexLock lock(slot().mutex);
  slot().settings.proxyURL = std::move(proxyURL);
}

void setCABundle(std::optional<std::string> path) {
  zevsite::MutexLock lock(slot().mutex);
  slot().settings.caBundle = std::move(path);
}

void setCompression(bool enabled) {
  zevsite::MutexLock lock(slot().mutex);
  slot().settings.compression = enabled;
}

void setDispatchInterval(std::chrono::milliseconds interval) {
  zevsite::MutexLock lock(slot().mutex);
  slot().settings.dispatchInterval = std::max(interval, std::chrono::milliseconds::zero());
}

ProxyAndTrust proxyAndTrust() {
  const NetworkSettings settings = networkSettings();
  return {settings.proxyURL, settings.caBundle, userAgent()};
}

void applyNetworkSettings(void* curl) { applyProxyAndTrust(curl, proxyAndTrust()); }

}  // namespace zevsite::net
