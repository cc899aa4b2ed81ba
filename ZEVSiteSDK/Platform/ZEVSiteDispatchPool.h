// The SDK's shared background pool: a few worker threads running submitted tasks at once
// or after a delay (the stand-in for the platform's default-priority global queue).
//
// Owned by the real platform, which lives for the whole process. Any thread may submit.
// Tasks must not throw past their own body; a task that does is stopped there and logged.
#pragma once

#include "ZEVSiteMutex.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace zevsite {
class DispatchPool {
 public:
  using Task = std::function<void()>;
  using Clock = std::chrono::steady_clock;

  explicit DispatchPool(std::size_t threadCount);
  // Never runs in practice (the pool lives in static storage for the whole process); stops
  // and joins the workers if a test owns a pool of its own.
  ~DispatchPool();

  void dispatchAsync(Task task);
  void dispatchAfter(Clock::duration delay, Task task);
  // Takes part in fork(): the lock is held across it, and a child starts its own workers on
  // first use. Only for a pool that lives until the process exits.
  void registerForFork();

 private:
  void workerLoop();
  void startWorkersLocked() ZEVSITE_REQUIRES(mutex_);
  void resetAfterFork();

  // Guards due_, stopping_, workers_ and workerGeneration_; a leaf lock for fork().
  zevsite::Mutex mutex_;
  ConditionVariable wake_;  // signalled when a task is due sooner or the pool stops
  // Tasks by due time; the sequence number keeps submission order among equal times.
  std::map<std::pair<Clock::time_point, std::uint64_t>, Task> due_ ZEVSITE_GUARDED_BY(mutex_);
  std::uint64_t nextSequence_ ZEVSITE_GUARDED_BY(mutex_) = 0;
  bool stopping_ ZEVSITE_GUARDED_BY(mutex_) = false;
  const std::size_t threadCount_;
  std::vector<std::thread> workers_ ZEVSITE_GUARDED_BY(mutex_);  // run workerLoop
  // The fork generation the workers were started in.
  std::uint64_t workerGeneration_ ZEVSITE_GUARDED_BY(mutex_) = 0;
};
}  // namespace zevsite
