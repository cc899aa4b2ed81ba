// The client-id store: a random positive signed 64-bit id made once per home directory and
// kept in the user defaults, so every launch reports the same client.
//
// Thread-safe. The id is cached in memory per home directory. Managers start loading it on a
// short-lived background thread when they are created (prefetch), so events built on host
// threads find it in memory: cidForEvent never reads or writes a file itself.
#pragma once

#include "../Platform/ZEVSiteMutex.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace zevsite {
class UserDefaults;
}

class ZEVSiteSaveParameter {
 public:
  // Told of each load, on the loading thread before the id is published, with the defaults
  // it read and their home generation: state kept beside the client id is loaded with it, so
  // that events find that in memory too.
  using LoadObserver = void (*)(zevsite::UserDefaults& defaults, std::uint64_t generation);

  // How long an event waits for a load already under way before it loads the id itself.
  static constexpr std::chrono::seconds kLoadWait{1};

  static ZEVSiteSaveParameter& shareInstance();

  // The client id, loaded (and made and persisted when missing) on the calling thread if it
  // is not in memory yet.
  std::int64_t getCid();
  // The client id for an event built on a host thread: from memory, else it waits for the
  // background load (started here if none is under way). Only when that load has not
  // finished within kLoadWait does it load on the calling thread, with one log line.
  std::int64_t cidForEvent();
  // Starts loading the current home directory's client id on a background thread, unless
  // it is in memory or already being loaded. Returns at once.
  void prefetch();
  // Installs the load observer (one per process; null removes it). Any thread.
  void setLoadObserver(LoadObserver observer) { loadObserver_.store(observer); }
  // Deletes the client id of the current home directory and makes a new, unrelated one
  // (written to the user defaults). False when the deletion could not be written.
  bool forgetCid();

 private:
  bool cachedForCurrentHome(std::int64_t& cid) const;
  std::int64_t load();
  void resetAfterFork();

  zevsite::Mutex loadMutex_;  // serialises loading and making the id (user defaults I/O)
  // The cache, read without a lock on every event: cachedCid_ is stored before
  // cachedGeneration_ (the home generation it belongs to; 0 = none) is published.
  std::atomic<std::uint64_t> cachedGeneration_{0};
  std::atomic<std::int64_t> cachedCid_{0};
  std::atomic<LoadObserver> loadObserver_{nullptr};

  zevsite::Mutex prefetchMutex_;                // guards prefetchGeneration_; a leaf lock
  zevsite::ConditionVariable loadedCondition_;  // notified whenever a load published an id
  // The home generation a background load runs for.
  std::uint64_t prefetchGeneration_ ZEVSITE_GUARDED_BY(prefetchMutex_) = 0;
  // The fallback is logged once per process.
  bool slowLoadLogged_ ZEVSITE_GUARDED_BY(prefetchMutex_) = false;
};
