// The cached configuration document as the SDK uses it: the offline store's limits and the
// HTTP timeout, validated and kept in memory. The document (Library/SDK_CONFIG_DATA_KEY) is
// parsed once per home directory, on first use (the task queue's start), and again only
// when a refresh writes a new one; nothing re-reads it per upload batch. Any thread.
#pragma once

#include "ZEV_SDKConfig.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace zevsite::config {

// The limits the SDK takes from a document, each within its sane range.
struct ConfigLimits {
  std::size_t maxEvents = 10000;
  std::int64_t expirationSecs = 604800;
  std::chrono::seconds timeout{30};
};

// Sane ranges: a value outside is clamped to the nearer end, with one log line per field.
inline constexpr std::int64_t kFewestEvents = 1;
inline constexpr std::int64_t kMostEvents = 100'000;
inline constexpr std::int64_t kShortestExpirationSecs = 60;
inline constexpr std::int64_t kLongestExpirationSecs = 365 * 86400;
inline constexpr std::int64_t kShortestTimeoutSecs = 5;
inline constexpr std::int64_t kLongestTimeoutSecs = 3600;

// The limits of a parsed document, validated (clamping logs one line per field).
ConfigLimits limitsOf(const ZEV_SDKConfig& config);
// The limits of the current home directory's cached document (the defaults without one).
ConfigLimits cachedLimits();
// Receives a home directory's limits whenever its cached document is read or written. The
// facade registers it and hands the limits to that home's event storage.
using LimitsListener = std::function<void(const std::string& homeDirectory, const ConfigLimits&)>;
void setLimitsListener(LimitsListener listener);
// Records `config`, just written as the cached document of `homeDirectory`, and hands its
// limits to the limits listener.
void documentWritten(const std::string& homeDirectory, const ZEV_SDKConfig& config);
// The HTTP timeout: `hostTimeout` (the host's setting, which the facade passes) when it is
// positive, else the cached document's, else 30 s.
std::chrono::milliseconds requestTimeout(std::chrono::milliseconds hostTimeout);
// Hands the cached document's limits, if there is one, to the limits listener.
void applyCachedLimits();

}  // namespace zevsite::config
