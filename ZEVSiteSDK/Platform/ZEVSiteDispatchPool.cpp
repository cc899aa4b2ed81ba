#include "ZEVSiteDispatchPool.h"

#include "ZEVSitePlatformLog.h"

#include "ZEVSiteForkSafety.h"
#include "ZEVSiteNoDestructor.h"

#include <memory>

#include <exception>

zevsite::DispatchPool::DispatchPool(std::size_t threadCount) : threadCount_(threadCount) {
  zevsite::MutexLock lock(mutex_);
  startWorkersLocked();
}

void zevsite::DispatchPool::startWorkersLocked() {
  workerGeneration_ = zevsite::forksafety::forkGeneration();
  workers_.reserve(threadCount_);
  for (std::size_t i = 0; i < threadCount_; ++i) workers_.emplace_back([this] { workerLoop(); });
}

void zevsite::DispatchPool::registerForFork() {
  zevsite::forksafety::registerLock(mutex_, zevsite::forksafety::kLeaf);
  zevsite::forksafety::onChild([this] { resetAfterFork(); });
}

// Unchecked: it runs in the child, which has one thread.
void zevsite::DispatchPool::resetAfterFork() ZEVSITE_NO_THREAD_SAFETY_ANALYSIS {
  // The parent's workers do not exist here; their handles are parked for good (joining or
  // destroying them would fail). The parent's pending tasks are the parent's work (its
  // start-up events, its refreshes): the child does not run them a second time.
  static zevsite::NoDestructor<std::vector<std::thread>> inherited;
  for (auto& worker : workers_) inherited.get().push_back(std::move(worker));
  workers_.clear();
  due_.clear();
  // A condition variable inherited with waiters that no longer exist never signals again
  // (its bookkeeping still counts them): start each afresh over the old storage.
  std::construct_at(&wake_);
}

zevsite::DispatchPool::~DispatchPool() {
  {
    zevsite::MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& worker : workers_) worker.join();
}

void zevsite::DispatchPool::dispatchAsync(Task task) {
  dispatchAfter(Clock::duration::zero(), std::move(task));
}

void zevsite::DispatchPool::dispatchAfter(Clock::duration delay, Task task) {
  {
    zevsite::MutexLock lock(mutex_);
    if (workers_.empty() && workerGeneration_ != zevsite::forksafety::forkGeneration()) {
      startWorkersLocked();
    }
    due_.emplace(std::make_pair(Clock::now() + delay, nextSequence_++), std::move(task));
  }
  // Every waiting worker re-checks the earliest due time; a new earliest task must not wait
  // behind a worker sleeping until a later one.
  wake_.notify_all();
}

void zevsite::DispatchPool::workerLoop() {
  zevsite::UniqueMutexLock lock(mutex_);
  while (!stopping_) {
    if (due_.empty()) {
      wake_.wait(mutex_);
      continue;
    }
    auto first = due_.begin();
    // A copy: another worker may take this task while this one waits.
    const Clock::time_point dueAt = first->first.first;
    if (dueAt > Clock::now()) {
      wake_.waitUntil(mutex_, dueAt);
      continue;
    }
    Task task = std::move(first->second);
    due_.erase(first);
    lock.unlock();
    try {
      task();
    } catch (const std::exception& error) {
      zevsite::platformlog::write({"[Site] background task failed: ", error.what()});
    } catch (...) {
      zevsite::platformlog::write({"[Site] background task failed with an unknown error"});
    }
    task = nullptr;  // release what the task captured before taking the lock again
    lock.lock();
  }
}
