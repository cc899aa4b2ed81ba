#include "ZEVSiteUserChoice.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>

#include "Platform/ZEVSiteFiles.h"
#include "Platform/ZEVSiteNoDestructor.h"
#include "Platform/ZEVSitePlatform.h"
#include "Queue/ZEVSiteEventSender.h"
#include "Queue/ZEVSiteEventStorage.h"
#include "Save/ZEVSiteSaveParameter.h"

#include <atomic>
#include <cerrno>
#include <mutex>

namespace zevsite::choice {
namespace {

// 1 while the user has opted out; missing (or 0) means tracking is allowed.
constexpr const char* kOptOutKey = "ZEVSITE_TRACKING_DISABLED";
// The other keys this installation keeps (their owners define them too).
constexpr const char* kActivatedKey = "ZEVSITE_ACTIVATED";
constexpr const char* kConfigUpdateKey = "SDK_CONFIG_LAST_UPDATE_KEY";
constexpr const char* kConfigFile = "Library/SDK_CONFIG_DATA_KEY";

struct ChoiceState {
  std::mutex mutex;  // serialises loading and changing the choice
  // The cached choice: enabled is stored before generation (the home generation it belongs
  // to; 0 = none) is published.
  std::atomic<std::uint64_t> generation{0};
  std::atomic<bool> enabled{true};
};

ChoiceState& state() {
  static ZEVSiteNoDestructor<ChoiceState> instance;
  return instance.get();
}

bool loadLocked(ChoiceState& choice, std::uint64_t generation) {
  auto defaults = ZEVSitePlatform::current().standardUserDefaults();
  const bool enabled = defaults->integerForKey(kOptOutKey) == 0;
  choice.enabled.store(enabled, std::memory_order_relaxed);
  choice.generation.store(generation, std::memory_order_release);
  return enabled;
}

}  // namespace

bool trackingEnabled() {
  auto& choice = state();
  const std::uint64_t generation = files::homeGeneration();
  if (choice.generation.load(std::memory_order_acquire) == generation) {
    return choice.enabled.load(std::memory_order_relaxed);
  }
  std::lock_guard lock(choice.mutex);
  return loadLocked(choice, generation);
}

void setTrackingEnabled(bool enabled) {
  auto& choice = state();
  {
    std::lock_guard lock(choice.mutex);
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
    for (const auto& sender : ZEVSiteEventSender::all()) sender->wake();
    return;
  }
  ZEVSiteLoger::adLog("[Site] tracking disabled by the user; stored events are deleted");
  // Tracking calls already stop here; the storages delete what they hold on their writer
  // threads, and the senders send nothing while the choice stands.
  for (const auto& storage : ZEVSiteEventStorage::all()) {
    storage->deleteAll(std::chrono::steady_clock::now());
  }
}

bool deleteAllData(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto& platform = ZEVSitePlatform::current();
  bool done = true;
  for (const auto& storage : ZEVSiteEventStorage::all()) {
    done = storage->deleteAll(deadline) && done;
  }
  done = ZEVSiteSaveParameter::shareInstance().forgetCid() && done;
  auto defaults = platform.standardUserDefaults();
  defaults->removeObjectForKey(kActivatedKey);
  defaults->removeObjectForKey(kConfigUpdateKey);
  done = defaults->synchronize() && done;
  const int removed = platform.removeFile(files::joinPath(platform.homeDirectory(), kConfigFile));
  done = (removed == 0 || removed == ENOENT) && done;
  if (!done) {
    ZEVSiteLoger::adLog("[Site] not all of this installation's data could be deleted in time");
  }
  return done;
}

}  // namespace zevsite::choice
