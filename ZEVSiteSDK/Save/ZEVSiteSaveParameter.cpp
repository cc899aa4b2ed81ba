#include "ZEVSiteSaveParameter.h"

#include "../Platform/ZEVSiteFiles.h"
#include "../Platform/ZEVSiteForkSafety.h"
#include "../Platform/ZEVSiteNoDestructor.h"
#include "../Platform/ZEVSitePlatform.h"
#include "../Platform/ZEVSiteUserDefaults.h"
#include "../ZEVSiteRandom.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>
#include <memory>

#include <thread>

namespace {
constexpr const char* kClientIdKey = "ZEVSITE_CLIENT_ID";
}

ZEVSiteSaveParameter& ZEVSiteSaveParameter::shareInstance() {
  static zevsite::NoDestructor<ZEVSiteSaveParameter> store;
  static const bool registered = [] {
    auto& self = store.get();
    zevsite::forksafety::registerLock(self.loadMutex_, zevsite::forksafety::kClientId);
    zevsite::forksafety::registerLock(self.prefetchMutex_, zevsite::forksafety::kLeaf);
    zevsite::forksafety::onChild([&self] { self.resetAfterFork(); });
    return true;
  }();
  (void)registered;
  return store.get();
}

bool ZEVSiteSaveParameter::cachedForCurrentHome(std::int64_t& cid) const {
  if (cachedGeneration_.load(std::memory_order_acquire) != zevsite::files::homeGeneration()) {
    return false;
  }
  cid = cachedCid_.load(std::memory_order_relaxed);
  return true;
}

std::int64_t ZEVSiteSaveParameter::getCid() {
  std::int64_t cid = 0;
  return cachedForCurrentHome(cid) ? cid : load();
}

std::int64_t ZEVSiteSaveParameter::cidForEvent() {
  std::int64_t cid = 0;
  if (cachedForCurrentHome(cid)) return cid;
  prefetch();
  {
    zevsite::UniqueMutexLock lock(prefetchMutex_);
    loadedCondition_.waitFor(prefetchMutex_, kLoadWait, [&] { return cachedForCurrentHome(cid); });
    if (cachedForCurrentHome(cid)) return cid;
    if (!slowLoadLogged_) {
      slowLoadLogged_ = true;
      ZEVSiteLoger::adLog(
          "[Site] the client id is still loading after %@ ms; this event loads it itself",
          static_cast<std::int64_t>(std::chrono::milliseconds(kLoadWait).count()));
    }
  }
  return load();
}

void ZEVSiteSaveParameter::prefetch() {
  std::int64_t cid = 0;
  if (cachedForCurrentHome(cid)) return;
  const std::uint64_t generation = zevsite::files::homeGeneration();
  {
    zevsite::MutexLock lock(prefetchMutex_);
    if (prefetchGeneration_ == generation) return;
    prefetchGeneration_ = generation;
  }
  try {
    ZEVSitePlatform::current().startThread([this] { load(); }).detach();
  } catch (const std::system_error& error) {
    // No thread to spare: the first event loads the id itself after its wait.
    ZEVSiteLoger::adLog("[Site] cannot start loading the client id: %@", error);
    zevsite::MutexLock lock(prefetchMutex_);
    prefetchGeneration_ = 0;
  }
}

std::int64_t ZEVSiteSaveParameter::load() {
  std::int64_t cid = 0;
  std::shared_ptr<zevsite::UserDefaults> madeIn;  // set when a new id still has to be written
  {
    zevsite::MutexLock lock(loadMutex_);
    std::uint64_t generation = 0;
    std::shared_ptr<zevsite::UserDefaults> defaults;
    // The home may change while its defaults are found: only an id read for the home that
    // is still current is cached for it.
    do {
      generation = zevsite::files::homeGeneration();
      if (cachedGeneration_.load(std::memory_order_acquire) == generation) {
        return cachedCid_.load(std::memory_order_relaxed);
      }
      defaults = ZEVSitePlatform::current().standardUserDefaults();
    } while (zevsite::files::homeGeneration() != generation);
    auto stored = defaults->findInteger(kClientIdKey);
    if (!stored) {
      // A random positive id: the top bit cleared, zero excluded. A stored id is used as it
      // stands, whatever its value.
      std::int64_t fresh = 0;
      while (fresh == 0) fresh = static_cast<std::int64_t>(zevsite::randomUInt64() >> 1);
      defaults->stageInteger(fresh, kClientIdKey);
      madeIn = defaults;
      stored = fresh;
    }
    cid = *stored;
    if (LoadObserver observer = loadObserver_.load()) observer(*defaults, generation);
    cachedCid_.store(cid, std::memory_order_relaxed);
    cachedGeneration_.store(generation, std::memory_order_release);
  }
  {
    // Taken so a waiter between its check and its wait cannot miss the notification.
    zevsite::MutexLock lock(prefetchMutex_);
  }
  loadedCondition_.notify_all();
  // Published first, written after: waiting events need the id, not the fsync.
  if (madeIn) madeIn->synchronize();
  return cid;
}

// Unchecked: it runs in the child, which has one thread.
void ZEVSiteSaveParameter::resetAfterFork() ZEVSITE_NO_THREAD_SAFETY_ANALYSIS {
  // A load thread of the parent does not exist here: let the child start its own.
  prefetchGeneration_ = 0;
  // A condition variable inherited with waiters that no longer exist never signals again
  // (its bookkeeping still counts them): start it afresh over the old storage.
  std::construct_at(&loadedCondition_);
}

bool ZEVSiteSaveParameter::forgetCid() {
  bool written;
  {
    zevsite::MutexLock lock(loadMutex_);
    auto defaults = ZEVSitePlatform::current().standardUserDefaults();
    defaults->removeObjectForKey(kClientIdKey);
    cachedGeneration_.store(0, std::memory_order_release);
    written = defaults->synchronize();
  }
  // The new id is made here and now: events built meanwhile wait for this load, briefly,
  // instead of for a prefetch that already ran.
  load();
  return written;
}
