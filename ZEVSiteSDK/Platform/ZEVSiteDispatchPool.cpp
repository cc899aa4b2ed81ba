#include "ZEVSiteDispatchPool.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>

#include <exception>

ZEVSiteDispatchPool::ZEVSiteDispatchPool(std::size_t threadCount) {
  workers_.reserve(threadCount);
  for (std::size_t i = 0; i < threadCount; ++i) workers_.emplace_back([this] { workerLoop(); });
}

ZEVSiteDispatchPool::~ZEVSiteDispatchPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& worker : workers_) worker.join();
}

void ZEVSiteDispatchPool::dispatchAsync(Task task) {
  dispatchAfter(Clock::duration::zero(), std::move(task));
}

void ZEVSiteDispatchPool::dispatchAfter(Clock::duration delay, Task task) {
  {
    std::lock_guard lock(mutex_);
    due_.emplace(std::make_pair(Clock::now() + delay, nextSequence_++), std::move(task));
  }
  // Every waiting worker re-checks the earliest due time; a new earliest task must not wait
  // behind a worker sleeping until a later one.
  wake_.notify_all();
}

void ZEVSiteDispatchPool::workerLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (due_.empty()) {
      wake_.wait(lock);
      continue;
    }
    auto first = due_.begin();
    // A copy: another worker may take this task while this one waits.
    const Clock::time_point dueAt = first->first.first;
    if (dueAt > Clock::now()) {
      wake_.wait_until(lock, dueAt);
      continue;
    }
    Task task = std::move(first->second);
    due_.erase(first);
    lock.unlock();
    try {
      task();
    } catch (const std::exception& error) {
      ZEVSiteLoger::adLog("[Site] background task failed: %@", error);
    } catch (...) {
      ZEVSiteLoger::adLog("[Site] background task failed with an unknown error");
    }
    task = nullptr;  // release what the task captured before taking the lock again
    lock.lock();
  }
}
