#include "ZEVSiteUserChoice.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>

#include "Platform/ZEVSiteFiles.h"
#include "Platform/ZEVSiteForkSafety.h"
#include "Platform/ZEVSiteMutex.h"
#include "Platform/ZEVSiteNoDestructor.h"
#include "Platform/ZEVSitePlatform.h"
#include "Queue/ZEVSiteEventSender.h"
#include "Queue/ZEVSiteEventStorage.h"
#include "Save/ZEVSiteSaveParameter.h"
#include "ZEVSiteEventContext.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>

namespace zevsite::choice {
namespace {

// 1 while the user has opted out; missing (or 0) means tracking is allowed.
constexpr const char* kOptOutKey = "ZEVSITE_TRACKING_DISABLED";
// The other keys this installation keeps (their owners define them too).
constexpr const char* kActivatedKey = "ZEVSITE_ACTIVATED";
constexpr const char* kConfigUpdateKey = "SDK_CONFIG_LAST_UPDATE_KEY";
constexpr const char* kConfigFile = "Library/SDK_CONFIG_DATA_KEY";

struct ChoiceState {
  zevsite::Mutex mutex;  // serialises loading and changing the choice (user defaults I/O)
  // The cached choice: enabled is stored before generation (the home generation it belongs
  // to; 0 = none) is published.
  std::atomic<std::uint64_t> generation{0};
  std::atomic<bool> enabled{true};
  zevsite::Mutex prefetchMutex;                // guards prefetchGeneration; a leaf lock
  zevsite::ConditionVariable loadedCondition;  // notified whenever a load published the choice
  // The home generation a background load runs for.
  std::uint64_t prefetchGeneration ZEVSITE_GUARDED_BY(prefetchMutex) = 0;
};

ChoiceState& state() {
  static NoDestructor<ChoiceState> instance;
  static const bool registered = [] {
    auto& choice = instance.get();
    // Never held together with the client id's lock; both come before the user defaults.
    forksafety::registerLock(choice.mutex, forksafety::kClientId);
    forksafety::registerLock(choice.prefetchMutex, forksafety::kLeaf);
    // A load thread of the parent does not exist in the child: let the child start its own.
    // Unchecked: it runs in the child, which has one thread.
    forksafety::onChild([&choice]()
                            ZEVSITE_NO_THREAD_SAFETY_ANALYSIS { choice.prefetchGeneration = 0; });
    return true;
  }();
  (void)registered;
  return instance.get();
}

bool loadLocked(ChoiceState& choice, std::uint64_t generation) ZEVSITE_REQUIRES(choice.mutex) {
  auto defaults = ZEVSitePlatform::current().standardUserDefaults();
  const bool enabled = defaults->integerForKey(kOptOutKey) == 0;
  choice.enabled.store(enabled, std::memory_order_relaxed);
  choice.generation.store(generation, std::memory_order_release);
  {
    // Taken so a waiter between its check and its wait cannot miss the notification.
    zevsite::MutexLock lock(choice.prefetchMutex);
  }
  choice.loadedCondition.notify_all();
  return enabled;
}

bool load(ChoiceState& choice) {
  zevsite::MutexLock lock(choice.mutex);
  const std::uint64_t generation = files::homeGeneration();
  if (choice.generation.load(std::memory_order_acquire) == generation) {
    return choice.enabled.load(std::memory_order_relaxed);
  }
  return loadLocked(choice, generation);
}

bool cachedForCurrentHome(ChoiceState& choice, bool& enabled) {
  if (choice.generation.load(std::memory_order_acquire) != files::homeGeneration()) return false;
  enabled = choice.enabled.load(std::memory_order_relaxed);
  return true;
}

}  // namespace

bool trackingEnabled() {
  auto& choice = state();
  bool enabled = true;
  if (cachedForCurrentHome(choice, enabled)) return enabled;
  prefetch();
  {
    zevsite::UniqueMutexLock lock(choice.prefetchMutex);
    if (choice.loadedCondition.waitFor(choice.prefetchMutex, kLoadWait,
                                       [&] { return cachedForCurrentHome(choice, enabled); })) {
      return enabled;
    }
  }
  return load(choice);
}

void prefetch() {
  auto& choice = state();
  bool enabled = true;
  if (cachedForCurrentHome(choice, enabled)) return;
  const std::uint64_t generation = files::homeGeneration();
  {
    zevsite::MutexLock lock(choice.prefetchMutex);
    if (choice.prefetchGeneration == generation) return;
    choice.prefetchGeneration = generation;
  }
  try {
    ZEVSitePlatform::current().startThread([&choice] { load(choice); }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the first check loads the choice itself after its wait.
    zevsite::MutexLock lock(choice.prefetchMutex);
    choice.prefetchGeneration = 0;
  }
}

void setTrackingEnabled(bool enabled) {
  auto& choice = state();
  {
    zevsite::MutexLock lock(choice.mutex);
    const std::uint64_t generation = files::homeGeneration();
    const bool wasEnabled = choice.generation.load(std::memory_order_acquire) == generation
                                ? choice.enabled.load(std::memory_order_relaxed)
                                : loadLocked(choice, generation);
    if (wasEnabled == enabled) return;
    auto defaults = ZEVSitePlatform::current().standardUserDefaults();
    if (enabled) {
      defaults->removeObjectForKey(kOptOutKey);
    } else {
      defaults->setInteger(1, kOptOutKey);
    }
    choice.enabled.store(enabled, std::memory_order_relaxed);
  }
  if (enabled) {
    ZEVSiteLoger::adLog("[Site] tracking enabled by the user");
    for (const auto& sender : EventSender::all()) sender->wake();
    return;
  }
  ZEVSiteLoger::adLog("[Site] tracking disabled by the user; stored events are deleted");
  // Tracking calls already stop here; the storages delete what they hold on their writer
  // threads, and the senders send nothing while the choice stands.
  for (const auto& storage : EventStorage::all()) {
    storage->deleteAll(std::chrono::steady_clock::now());
  }
}

bool deleteAllData(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto& platform = ZEVSitePlatform::current();
  bool done = true;
  for (const auto& storage : EventStorage::all()) {
    done = storage->deleteAll(deadline) && done;
  }
  done = ZEVSiteSaveParameter::shareInstance().forgetCid() && done;
  auto defaults = platform.standardUserDefaults();
  defaults->removeObjectForKey(kActivatedKey);
  defaults->removeObjectForKey(kConfigUpdateKey);
  EventContext::instance().forget(*defaults);
  done = defaults->synchronize() && done;
  const int removed = platform.removeFile(files::joinPath(platform.homeDirectory(), kConfigFile));
  done = (removed == 0 || removed == ENOENT) && done;
  if (!done) {
    ZEVSiteLoger::adLog("[Site] not all of this installation's data could be deleted in time");
  }
  return done;
}

}  // namespace zevsite::choice
