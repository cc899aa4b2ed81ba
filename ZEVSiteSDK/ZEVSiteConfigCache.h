// What the SDK takes from the cached configuration document: the offline store's limits and
// the HTTP timeout. Read from Library/SDK_CONFIG_DATA_KEY when needed; any thread.
#pragma once

#include "Config/ZEV_SDKConfig.h"

#include <chrono>
#include <optional>

namespace zevsite::config {

// The cached document of the current home directory, parsed; nothing when there is none
// or it is not accepted.
std::optional<ZEV_SDKConfig> cachedConfig();
// The HTTP timeout: the host's ZEVSiteSupport setting, else the cached document's, else 30 s.
std::chrono::milliseconds requestTimeout();
// Hands the cached document's length and expiry, if there is one, to the event storage.
void applyCachedLimits();

}  // namespace zevsite::config
