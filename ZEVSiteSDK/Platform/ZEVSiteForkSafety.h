// fork() safety for the SDK's locks and threads.
//
// Around fork() every registered lock is taken (in rank order, so the handler never
// deadlocks with the SDK's own threads) and released again on both sides, so a child never
// inherits a lock held by a thread that does not exist in it. Components whose threads or
// connections do not survive the fork register a child handler and restart what they need
// on first use in the child. forkGeneration() changes in every child, so per-process state
// (random generators, threads) can tell that it was inherited.
//
// Registration is thread-safe and may happen while the caller holds an SDK lock. Locks and
// handlers must live until the process exits (the SDK's globals are never destroyed).
#pragma once

#include "ZEVSiteMutex.h"

#include <cstdint>
#include <functional>
#include <mutex>

namespace zevsite::forksafety {

// A lock of a lower rank is taken before one of a higher rank: the SDK's lock order.
enum Rank : int {
  kDeepLinkRecord = 10,
  kSharedManager = 20,
  kRegistry = 30,
  kStore = 40,
  kStaging = 50,
  kCheckpoint = 60,
  kSender = 70,
  kClientId = 80,
  kEventContext = 85,
  kDefaultsMap = 90,
  kDefaults = 100,
  kLeaf = 200,    // held briefly, never while taking another SDK lock but the logger's
  kLogger = 300,  // the logger's, taken while any other may be held
};

void registerLock(std::mutex& lock, int rank);
void registerLock(std::recursive_mutex& lock, int rank);
inline void registerLock(Mutex& lock, int rank) { registerLock(lock.native(), rank); }
inline void registerLock(RecursiveMutex& lock, int rank) { registerLock(lock.native(), rank); }
// registerLock for a function-local static's lock: `static const bool forkSafe = ...;`.
inline bool registered(std::mutex& lock, int rank) { return registerLock(lock, rank), true; }
inline bool registered(std::recursive_mutex& lock, int rank) {
  return registerLock(lock, rank), true;
}
inline bool registered(Mutex& lock, int rank) { return registerLock(lock, rank), true; }
inline bool registered(RecursiveMutex& lock, int rank) { return registerLock(lock, rank), true; }
// Runs `handler` in the child after fork(), once the locks are released again.
void onChild(std::function<void()> handler);
// 0 in the original process; a new value in every child after fork().
std::uint64_t forkGeneration() noexcept;

}  // namespace zevsite::forksafety
