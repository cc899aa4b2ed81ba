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
  // Guards locks and childHandlers; taken first around fork(), before every registered lock.
  std::mutex mutex;
  std::vector<RankedLock> locks;  // kept sorted by rank
  std::vector<std::function<void()>> childHandlers;
  std::atomic<std::uint64_t> generation{0};
};

Registry& registry() {
  static ZEVSiteNoDestructor<Registry> instance;
  return instance.get();
}

void lockAll() {
  auto& state = registry();
  state.mutex.lock();
  for (auto& ranked : state.locks) std::visit([](auto* lock) { lock->lock(); }, ranked.lock);
}

void unlockAll() {
  auto& state = registry();
  for (auto it = state.locks.rbegin(); it != state.locks.rend(); ++it) {
    std::visit([](auto* lock) { lock->unlock(); }, it->lock);
  }
  state.mutex.unlock();
}

void inChild() {
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
  std::lock_guard guard(state.mutex);
  auto at =
      std::upper_bound(state.locks.begin(), state.locks.end(), rank,
                       [](int wanted, const RankedLock& ranked) { return wanted < ranked.rank; });
  state.locks.insert(at, RankedLock{rank, &lock});
}

}  // namespace

void registerLock(std::mutex& lock, int rank) { add(lock, rank); }
void registerLock(std::recursive_mutex& lock, int rank) { add(lock, rank); }

void onChild(std::function<void()> handler) {
  installHandlersOnce();
  auto& state = registry();
  std::lock_guard guard(state.mutex);
  state.childHandlers.push_back(std::move(handler));
}

std::uint64_t forkGeneration() noexcept {
  return registry().generation.load(std::memory_order_acquire);
}

}  // namespace zevsite::forksafety
