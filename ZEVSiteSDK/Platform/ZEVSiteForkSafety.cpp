#include "ZEVSiteForkSafety.h"

#include "ZEVSiteNoDestructor.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <variant>
#include <vector>

namespace zevsite::forksafety {
namespace {

struct RankedLock {
  int rank;
  std::variant<std::mutex*, std::recursive_mutex*> lock;
};

struct Registry {
  // Held by the fork handler from before the SDK's locks are taken until after fork();
  // guards locks and childHandlers, which only the handler changes.
  zevsite::Mutex forkMutex;
  std::vector<RankedLock> locks ZEVSITE_GUARDED_BY(forkMutex);  // kept sorted by rank
  std::vector<std::function<void()>> childHandlers ZEVSITE_GUARDED_BY(forkMutex);
  // Registrations wait here until the next fork merges them. Registering often happens
  // while the caller holds one of the SDK's locks, so it must never wait for forkMutex (the
  // handler holds that while it takes those very locks). Guards pendingLocks and
  // pendingHandlers; taken last around fork(), after every registered lock.
  zevsite::Mutex pendingMutex;
  std::vector<RankedLock> pendingLocks ZEVSITE_GUARDED_BY(pendingMutex);
  std::vector<std::function<void()>> pendingHandlers ZEVSITE_GUARDED_BY(pendingMutex);
  std::atomic<std::uint64_t> generation{0};
};

Registry& registry() {
  static NoDestructor<Registry> instance;
  return instance.get();
}

void mergePending(Registry& state) ZEVSITE_REQUIRES(state.forkMutex) {
  zevsite::MutexLock guard(state.pendingMutex);
  for (auto& ranked : state.pendingLocks) {
    auto at =
        std::upper_bound(state.locks.begin(), state.locks.end(), ranked.rank,
                         [](int wanted, const RankedLock& other) { return wanted < other.rank; });
    state.locks.insert(at, ranked);
  }
  state.pendingLocks.clear();
  for (auto& handler : state.pendingHandlers) state.childHandlers.push_back(std::move(handler));
  state.pendingHandlers.clear();
}

void unlockRegistered(Registry& state) ZEVSITE_REQUIRES(state.forkMutex) {
  for (auto it = state.locks.rbegin(); it != state.locks.rend(); ++it) {
    std::visit([](auto* lock) { lock->unlock(); }, it->lock);
  }
}

// Unchecked: it returns with every lock held, for unlockAll (or inChild) to let go.
void lockAll() ZEVSITE_NO_THREAD_SAFETY_ANALYSIS {
  auto& state = registry();
  state.forkMutex.lock();
  for (;;) {
    mergePending(state);
    for (auto& ranked : state.locks) std::visit([](auto* lock) { lock->lock(); }, ranked.lock);
    state.pendingMutex.lock();
    // A lock registered while the others were taken may already be held by its registrant,
    // and a child handler registered then would not run in the child: take everything
    // again, the newcomers included. Registrations happen once per lock, so this ends.
    if (state.pendingLocks.empty() && state.pendingHandlers.empty()) return;
    state.pendingMutex.unlock();
    unlockRegistered(state);
  }
}

// Unchecked: it lets go of the locks lockAll took.
void unlockAll() ZEVSITE_NO_THREAD_SAFETY_ANALYSIS {
  auto& state = registry();
  state.pendingMutex.unlock();
  unlockRegistered(state);
  state.forkMutex.unlock();
}

// Unchecked: it lets go of lockAll's locks, then runs alone in the child.
void inChild() ZEVSITE_NO_THREAD_SAFETY_ANALYSIS {
  unlockAll();
  auto& state = registry();
  state.generation.fetch_add(1, std::memory_order_acq_rel);
  // The child has one thread: no lock is needed to walk the handlers.
  for (auto& handler : state.childHandlers) handler();
}

void installHandlersOnce() {
  static const bool installed = [] {
    ::pthread_atfork(&lockAll, &unlockAll, &inChild);
    return true;
  }();
  (void)installed;
}

template <class Lock>
void add(Lock& lock, int rank) {
  installHandlersOnce();
  auto& state = registry();
  zevsite::MutexLock guard(state.pendingMutex);
  state.pendingLocks.push_back(RankedLock{rank, &lock});
}

}  // namespace

void registerLock(std::mutex& lock, int rank) { add(lock, rank); }
void registerLock(std::recursive_mutex& lock, int rank) { add(lock, rank); }

void onChild(std::function<void()> handler) {
  installHandlersOnce();
  auto& state = registry();
  zevsite::MutexLock guard(state.pendingMutex);
  state.pendingHandlers.push_back(std::move(handler));
}

std::uint64_t forkGeneration() noexcept {
  return registry().generation.load(std::memory_order_acquire);
}

}  // namespace zevsite::forksafety
