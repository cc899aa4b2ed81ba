#include "ZEVSiteNetworkSettings.h"

#include "../Platform/ZEVSiteForkSafety.h"
#include "../Platform/ZEVSiteMutex.h"
#include "../Platform/ZEVSiteNoDestructor.h"

#include <curl/curl.h>

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

}  // namespace

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

void applyNetworkSettings(void* curl) {
  const NetworkSettings settings = networkSettings();
  if (settings.proxyURL) {
    // The host's proxy is for every request: no_proxy in the environment does not apply.
    // libcurl copies both strings.
    curl_easy_setopt(curl, CURLOPT_PROXY, settings.proxyURL->c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
  }
  if (settings.caBundle) {
    // Only this bundle is trusted: the system's directory of certificates is not consulted.
    curl_easy_setopt(curl, CURLOPT_CAINFO, settings.caBundle->c_str());
    curl_easy_setopt(curl, CURLOPT_CAPATH, static_cast<char*>(nullptr));
    curl_easy_setopt(curl, CURLOPT_PROXY_CAINFO, settings.caBundle->c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY_CAPATH, static_cast<char*>(nullptr));
  }
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYHOST, 2L);
}

}  // namespace zevsite::net
