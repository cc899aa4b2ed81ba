// The parsed SDK configuration document (see ZEV_XMLReader for its format).
#pragma once

#include <ZEVSiteSDK/ZEVSiteValue.h>

#include <cstdint>

// Limits of the offline event store and of HTTP requests.
struct ZEV_OfflineCache {
  std::int64_t length = 10000;                // most events kept
  std::int64_t queueExpirationSecs = 604800;  // oldest event kept, in seconds
  std::int64_t timeout = 30;                  // HTTP timeout, in seconds
};

struct ZEV_Config {
  bool idfa = false;
};

struct ZEV_SDKConfig {
  ZEV_OfflineCache offlineCache;
  ZEV_Config SDKConfig;
  ZEVSiteDictionary companies;  // company id -> its text
};
