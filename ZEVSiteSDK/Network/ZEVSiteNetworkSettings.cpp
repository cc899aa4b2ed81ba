#include "ZEVSiteNetworkSettings.h"

#include "../Platform/ZEVSiteForkSafety.h"
#include "../Platform/ZEVSiteMutex.h"
#include "../Platform/ZEVSiteNoDestructor.h"
#include "../Platform/ZEVSiteSystemInfo.h"

#include <ZEVSiteSDK/ZEVSiteSupport.h>

#include <algorithm>
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

// The distribution's version, when the distribution named itself (else the kernel's release
// stands in as the OS version, and the User-Agent already names it).
std::string osReleaseVersion(const SystemInfo& info) {
  return info.osId.empty() ? std::string() : info.osVersion;
}

}  // namespace

const std::string& userAgent() {
  // Read once per process: the system does not change under it.
  static NoDestructor<std::string> text([] {
    const SystemInfo& info = systemInfo();
    std::string system =
        info.kernelName.empty() ? "unknown" : info.kernelName + " " + info.kernelRelease;
    const std::string distribution = info.osId + " " + osReleaseVersion(info);
    if (distribution != " ") system += "; " + distribution;
    if (!info.machine.empty()) system += "; " + info.machine;
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
