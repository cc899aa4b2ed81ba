// The host's network settings for every request the SDK makes (proxy, CA bundle) and for
// uploads (gzip bodies, dispatch interval), as set through ZEVSiteSupport.
//
// Process-wide; any thread reads and writes them. The HTTP client and the URL fetch apply
// them to each libcurl transfer as it starts, so a change takes effect with the next request.
#pragma once

#include "../Platform/ZEVSiteURLFetch.h"

#include <chrono>
#include <optional>
#include <string>

namespace zevsite {
struct NetworkSettings {
  std::optional<std::string> proxyURL;  // absent: libcurl's proxy environment variables
  std::optional<std::string> caBundle;  // absent: the system's certificate store
  bool compression = true;
  std::chrono::milliseconds dispatchInterval{0};
};
}  // namespace zevsite

namespace zevsite::net {

NetworkSettings networkSettings();
void setProxy(std::optional<std::string> proxyURL);
void setCABundle(std::optional<std::string> path);
void setCompression(bool enabled);
void setDispatchInterval(std::chrono::milliseconds interval);

// "ZEVSiteSDK/VERSION (SYSTEM RELEASE; DISTRIBUTION VERSION; MACHINE)", the User-Agent of
// every request the SDK makes; read from uname and /etc/os-release once per process.
const std::string& userAgent();
// The current proxy and CA bundle, and the User-Agent, as a transfer takes them.
ProxyAndTrust proxyAndTrust();
// Sets the proxy and certificate options of the libcurl easy handle `curl` from the current
// settings. Certificate and host verification stay on whatever the settings say.
void applyNetworkSettings(void* curl);

}  // namespace zevsite::net
