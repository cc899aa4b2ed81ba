#include "ZEVSiteConfigCache.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>

#include "../Platform/ZEVSiteFiles.h"
#include "../Platform/ZEVSiteForkSafety.h"
#include "../Platform/ZEVSiteMutex.h"
#include "../Platform/ZEVSiteNoDestructor.h"
#include "../Platform/ZEVSitePlatform.h"
#include "ZEV_XMLReader.h"

#include <algorithm>
#include <mutex>
#include <optional>

namespace zevsite::config {
namespace {

// The parsed limits of one home directory's document. Loading a document for another home
// replaces them: the SDK works in one home at a time.
struct CacheState {
  zevsite::Mutex mutex;  // guards the fields below; held while a document is read and parsed
  std::optional<std::string> home ZEVSITE_GUARDED_BY(mutex);
  bool hasDocument ZEVSITE_GUARDED_BY(mutex) = false;
  ConfigLimits limits ZEVSITE_GUARDED_BY(mutex);
};

CacheState& cacheState() {
  static NoDestructor<CacheState> state;
  static const bool forkSafe = forksafety::registered(state.get().mutex, forksafety::kLeaf);
  (void)forkSafe;
  return state.get();
}

std::int64_t clamped(const char* field, std::int64_t value, std::int64_t least, std::int64_t most) {
  if (value >= least && value <= most) return value;
  const std::int64_t used = std::clamp(value, least, most);
  ZEVSiteLoger::adLog("[Site] configuration %@ %@ is outside %@..%@; using %@", field, value, least,
                      most, used);
  return used;
}

void loadLocked(CacheState& state, const std::string& home) ZEVSITE_REQUIRES(state.mutex) {
  state.home = home;
  state.hasDocument = false;
  state.limits = {};
  if (home.empty()) return;
  auto data = files::readFile(files::joinPath(home, "Library/SDK_CONFIG_DATA_KEY"));
  auto config = ZEV_XMLReader::sdkConfigWithData(data);
  if (!config) return;
  state.hasDocument = true;
  state.limits = limitsOf(*config);
}

// The state for the current home directory, loaded when it is not yet.
struct Snapshot {
  bool hasDocument;
  ConfigLimits limits;
};

Snapshot currentSnapshot() {
  const std::string home = ZEVSitePlatform::current().homeDirectory();
  auto& state = cacheState();
  zevsite::MutexLock lock(state.mutex);
  if (state.home != home) loadLocked(state, home);
  return {state.hasDocument, state.limits};
}

struct ListenerSlot {
  zevsite::Mutex mutex;  // guards listener: set by the facade, called on any thread
  std::shared_ptr<const LimitsListener> listener ZEVSITE_GUARDED_BY(mutex);
};

ListenerSlot& listenerSlot() {
  static zevsite::NoDestructor<ListenerSlot> slot;
  static const bool forkSafe =
      zevsite::forksafety::registered(slot.get().mutex, zevsite::forksafety::kLeaf);
  (void)forkSafe;
  return slot.get();
}

void applyToStorage(const std::string& home, const ConfigLimits& limits) {
  std::shared_ptr<const LimitsListener> listener;
  {
    auto& slot = listenerSlot();
    zevsite::MutexLock lock(slot.mutex);
    listener = slot.listener;
  }
  // Called without the lock: the storage takes locks of its own.
  if (listener && *listener) (*listener)(home, limits);
}

}  // namespace

ConfigLimits limitsOf(const ZEV_SDKConfig& config) {
  const ZEV_OfflineCache& cache = config.offlineCache;
  ConfigLimits limits;
  limits.maxEvents =
      static_cast<std::size_t>(clamped("length", cache.length, kFewestEvents, kMostEvents));
  limits.expirationSecs = clamped("queueExpirationSecs", cache.queueExpirationSecs,
                                  kShortestExpirationSecs, kLongestExpirationSecs);
  limits.timeout = std::chrono::seconds(
      clamped("timeout", cache.timeout, kShortestTimeoutSecs, kLongestTimeoutSecs));
  return limits;
}

void setLimitsListener(LimitsListener listener) {
  auto& slot = listenerSlot();
  zevsite::MutexLock lock(slot.mutex);
  slot.listener = std::make_shared<const LimitsListener>(std::move(listener));
}

ConfigLimits cachedLimits() { return currentSnapshot().limits; }

void documentWritten(const std::string& homeDirectory, const ZEV_SDKConfig& config) {
  const ConfigLimits limits = limitsOf(config);
  {
    auto& state = cacheState();
    zevsite::MutexLock lock(state.mutex);
    state.home = homeDirectory;
    state.hasDocument = true;
    state.limits = limits;
  }
  applyToStorage(homeDirectory, limits);
}

std::chrono::milliseconds requestTimeout(std::chrono::milliseconds hostTimeout) {
  if (hostTimeout.count() > 0) return hostTimeout;
  return cachedLimits().timeout;
}

void applyCachedLimits() {
  // Without a cached document the storage keeps the defaults it started with.
  const Snapshot snapshot = currentSnapshot();
  if (!snapshot.hasDocument) return;
  applyToStorage(ZEVSitePlatform::current().homeDirectory(), snapshot.limits);
}

}  // namespace zevsite::config
