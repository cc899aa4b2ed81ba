#include "ZEVSiteManualPlatform.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

ZEVSiteManualPlatform::ZEVSiteManualPlatform()
    : zevsite::ForwardingPlatform(ZEVSitePlatform::real()),
      wallBaseMillis_(ZEVSitePlatform::real().currentTimeMillis()),
      monotonicBase_(std::chrono::steady_clock::now()) {}

void ZEVSiteManualPlatform::dispatchAsync(Task task) {
  dispatchAfter(std::chrono::nanoseconds::zero(), std::move(task));
}

void ZEVSiteManualPlatform::dispatchAfter(std::chrono::nanoseconds delay, Task task) {
  std::lock_guard lock(mutex_);
  tasks_.emplace(std::make_pair(elapsed_ + delay, nextSequence_++), std::move(task));
}

std::int64_t ZEVSiteManualPlatform::currentTimeSeconds() { return currentTimeMillis() / 1000; }

std::int64_t ZEVSiteManualPlatform::currentTimeMillis() {
  std::lock_guard lock(mutex_);
  return wallBaseMillis_ + std::chrono::duration_cast<std::chrono::milliseconds>(elapsed_).count();
}

std::chrono::steady_clock::time_point ZEVSiteManualPlatform::monotonicNow() {
  std::lock_guard lock(mutex_);
  return monotonicBase_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(elapsed_);
}

std::optional<zevsite::BootClock> ZEVSiteManualPlatform::bootClock() {
  std::lock_guard lock(mutex_);
  if (!bootId_) return std::nullopt;
  const auto uptime = bootUptimeAtStart_ + (elapsed_ - bootStart_);
  return zevsite::BootClock{*bootId_,
                            std::chrono::duration_cast<std::chrono::milliseconds>(uptime).count()};
}

void ZEVSiteManualPlatform::reboot(std::optional<std::string> bootId) {
  std::lock_guard lock(mutex_);
  bootId_ = std::move(bootId);
  bootStart_ = elapsed_;
  bootUptimeAtStart_ = std::chrono::nanoseconds::zero();
}

namespace {
// Depth of driven steps running on this thread: a wait inside a step runs no other step.
thread_local int stepDepth = 0;
}  // namespace

// The handle the SDK holds: wake() marks the worker due; the step runs when the test drives.
class ZEVSiteManualPlatform::DrivenHandle final : public zevsite::Worker {
 public:
  DrivenHandle(ZEVSiteManualPlatform& platform, std::shared_ptr<DrivenWorker> worker)
      : platform_(platform), worker_(std::move(worker)) {}
  ~DrivenHandle() override {
    std::lock_guard lock(platform_.mutex_);
    worker_->ended = true;
  }
  void wake() override {
    zevsite::Worker* thread;
    {
      std::lock_guard lock(platform_.mutex_);
      worker_->woken = true;
      thread = worker_->thread.get();
    }
    if (thread) thread->wake();
  }
  bool runsInline() override {
    std::lock_guard lock(platform_.mutex_);
    return !worker_->thread;
  }
  // A driven step never runs behind the test's back: only a handed-off one needs a join.
  void join() override {
    zevsite::Worker* thread;
    {
      std::lock_guard lock(platform_.mutex_);
      thread = worker_->thread.get();
    }
    if (thread) thread->join();
  }

 private:
  ZEVSiteManualPlatform& platform_;
  const std::shared_ptr<DrivenWorker> worker_;
};

void ZEVSiteManualPlatform::driveWorkers() {
  std::lock_guard lock(mutex_);
  driving_ = true;
}

void ZEVSiteManualPlatform::stopDriving() {
  std::vector<std::shared_ptr<DrivenWorker>> live;
  {
    std::lock_guard lock(mutex_);
    driving_ = false;
    for (auto& worker : workers_) {
      if (!worker->ended) live.push_back(worker);
    }
    workers_.clear();
  }
  for (auto& worker : live) {
    auto thread = zevsite::ForwardingPlatform::startWorker(worker->name, worker->step);
    std::lock_guard lock(mutex_);
    worker->thread = std::move(thread);
  }
}

std::unique_ptr<zevsite::Worker> ZEVSiteManualPlatform::startWorker(const char* name,
                                                                    zevsite::WorkerStep step) {
  {
    std::lock_guard lock(mutex_);
    if (driving_) {
      auto worker = std::make_shared<DrivenWorker>();
      worker->name = name;
      worker->step = std::move(step);
      workers_.push_back(worker);
      return std::make_unique<DrivenHandle>(*this, std::move(worker));
    }
  }
  // A thread of startThread below, waiting on the manual clock through waitUntil.
  return zevsite::ForwardingPlatform::startWorker(name, std::move(step));
}

bool ZEVSiteManualPlatform::runDueWorkers() {
  if (stepDepth > 0) return false;
  std::chrono::nanoseconds now;
  {
    std::lock_guard lock(mutex_);
    if (!driving_) return false;
    now = elapsed_;
  }
  return runDueUpTo(now, /*workers=*/true, /*tasks=*/false) > 0;
}

std::size_t ZEVSiteManualPlatform::runUntilIdle() {
  std::chrono::nanoseconds now;
  {
    std::lock_guard lock(mutex_);
    now = elapsed_;
  }
  return runDueUpTo(now, true, true);
}

std::size_t ZEVSiteManualPlatform::advanceBy(std::chrono::nanoseconds duration) {
  std::chrono::nanoseconds target;
  {
    std::lock_guard lock(mutex_);
    target = elapsed_ + duration;
  }
  return runDueUpTo(target, true, true);
}

std::optional<std::chrono::nanoseconds> ZEVSiteManualPlatform::dueTimeLocked(
    const DrivenWorker& worker) const {
  if (worker.ended || worker.running) return std::nullopt;
  if (worker.woken) return elapsed_;
  if (worker.dueAt) return std::max(*worker.dueAt, elapsed_);
  return std::nullopt;
}

std::size_t ZEVSiteManualPlatform::runDueUpTo(std::chrono::nanoseconds target, bool workers,
                                              bool tasks) {
  // Steps of driven workers run only outside other steps: a step is never re-entered.
  workers = workers && stepDepth == 0;
  std::size_t ran = 0;
  for (;;) {
    Task task;
    std::shared_ptr<DrivenWorker> worker;
    {
      std::lock_guard lock(mutex_);
      std::optional<std::chrono::nanoseconds> taskAt;
      if (tasks && !tasks_.empty() && tasks_.begin()->first.first <= target) {
        taskAt = tasks_.begin()->first.first;
      }
      std::optional<std::chrono::nanoseconds> workerAt;
      if (workers) {
        for (const auto& candidate : workers_) {
          const auto due = dueTimeLocked(*candidate);
          if (due && *due <= target && (!workerAt || *due < *workerAt)) {
            workerAt = due;
            worker = candidate;
          }
        }
      }
      std::erase_if(workers_, [](const auto& candidate) { return candidate->ended; });
      // Tasks first at equal times: the start-up work a task does wakes workers.
      if (taskAt && (!workerAt || *taskAt <= *workerAt)) {
        worker.reset();
        elapsed_ = std::max(elapsed_, *taskAt);
        task = std::move(tasks_.begin()->second);
        tasks_.erase(tasks_.begin());
      } else if (workerAt) {
        elapsed_ = std::max(elapsed_, *workerAt);
        worker->woken = false;
        worker->dueAt.reset();
        worker->running = true;
      } else {
        elapsed_ = std::max(elapsed_, target);
        return ran;
      }
    }
    if (worker) {
      runStep(worker);
    } else {
      task();
    }
    ++ran;
  }
}

void ZEVSiteManualPlatform::runStep(const std::shared_ptr<DrivenWorker>& worker) {
  zevsite::NextRun next;
  ++stepDepth;
  zevsite::setCurrentWorkerName(worker->name);
  try {
    next = worker->step();
  } catch (...) {
    zevsite::setCurrentWorkerName("");
    --stepDepth;
    std::lock_guard lock(mutex_);
    worker->running = false;
    throw;
  }
  zevsite::setCurrentWorkerName("");
  --stepDepth;
  if (next.kind == zevsite::NextRun::Kind::At) recordDeadline(worker->name, next.at);
  std::lock_guard lock(mutex_);
  worker->running = false;
  switch (next.kind) {
    case zevsite::NextRun::Kind::Now:
      worker->woken = true;
      break;
    case zevsite::NextRun::Kind::WhenWoken:
      break;
    case zevsite::NextRun::Kind::At:
      worker->dueAt =
          std::chrono::duration_cast<std::chrono::nanoseconds>(next.at - monotonicBase_);
      break;
    case zevsite::NextRun::Kind::Stop:
      worker->ended = true;
      break;
  }
}

void ZEVSiteManualPlatform::recordDeadline(const char* worker,
                                           std::chrono::steady_clock::time_point deadline) {
  const auto now = monotonicNow();
  std::lock_guard recording(deadlinesMutex_);
  Waits& waits = waits_[worker];
  if (waits.deadlines.empty() || waits.deadlines.back() != deadline) {
    waits.deadlines.push_back(deadline);
  }
  if (now < deadline) {
    ++waits.futureWaits;
    waits.lastFutureWaitAt = now;
  }
  deadlinesChanged_.notify_all();
}

void ZEVSiteManualPlatform::setWallClockSeconds(std::int64_t seconds) {
  std::lock_guard lock(mutex_);
  wallBaseMillis_ =
      seconds * 1000 - std::chrono::duration_cast<std::chrono::milliseconds>(elapsed_).count();
}

std::size_t ZEVSiteManualPlatform::pendingTasks() {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

void ZEVSiteManualPlatform::waitUntil(std::condition_variable& condition,
                                      std::unique_lock<std::mutex>& lock,
                                      std::chrono::steady_clock::time_point deadline) {
  recordDeadline(zevsite::currentWorkerName(), deadline);
  if (monotonicNow() >= deadline) return;
  condition.wait_for(lock, std::chrono::milliseconds(2));
}

void ZEVSiteManualPlatform::setThreadStartFails(bool fails) { threadStartFails_ = fails; }

std::thread ZEVSiteManualPlatform::startThread(Task body) {
  if (threadStartFails_) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                            "thread start refused by the test");
  }
  return zevsite::ForwardingPlatform::startThread(std::move(body));
}

void ZEVSiteManualPlatform::setStoreFault(StoreFault fault) {
  std::lock_guard lock(faultMutex_);
  storeFault_ = std::move(fault);
}

int ZEVSiteManualPlatform::storeFileFault(zevsite::StoreFileOp op, const std::string& path,
                                          std::uint64_t growthBytes) {
  std::lock_guard lock(faultMutex_);
  // Only new blocks take space: a write inside a file (a log started over, a page of the
  // database rewritten by a checkpoint) succeeds on a full disk too.
  if (smallDiskCapacity_ && op == zevsite::StoreFileOp::Write && growthBytes > 0 &&
      smallDiskUsedLocked() + growthBytes > *smallDiskCapacity_) {
    return ENOSPC;
  }
  return storeFault_ ? storeFault_(op, path) : 0;
}

void ZEVSiteManualPlatform::setSmallDisk(std::string directory,
                                         std::optional<std::uint64_t> capacity) {
  std::lock_guard lock(faultMutex_);
  smallDiskDirectory_ = std::move(directory);
  smallDiskCapacity_ = capacity;
}

std::optional<std::uint64_t> ZEVSiteManualPlatform::freeDiskBytes(const std::string& directory) {
  {
    std::lock_guard lock(faultMutex_);
    if (smallDiskCapacity_) {
      const std::uint64_t used = smallDiskUsedLocked();
      return used >= *smallDiskCapacity_ ? 0 : *smallDiskCapacity_ - used;
    }
  }
  return zevsite::ForwardingPlatform::freeDiskBytes(directory);
}

std::uint64_t ZEVSiteManualPlatform::smallDiskUsedLocked() const {
  return directoryFileBytes(smallDiskDirectory_);
}

std::uint64_t directoryFileBytes(const std::string& directory) {
  std::uint64_t used = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    const std::uintmax_t size = entry.is_regular_file(error) ? entry.file_size(error) : 0;
    if (!error) used += size;
  }
  return used;
}

std::vector<std::chrono::steady_clock::time_point> ZEVSiteManualPlatform::waitDeadlines(
    std::string_view worker) {
  std::lock_guard lock(deadlinesMutex_);
  const auto found = waits_.find(worker);
  return found == waits_.end() ? std::vector<std::chrono::steady_clock::time_point>{}
                               : found->second.deadlines;
}

bool ZEVSiteManualPlatform::waitForWaiterAtNow(std::string_view worker,
                                               std::chrono::milliseconds guard) {
  const auto now = monotonicNow();
  std::unique_lock lock(deadlinesMutex_);
  Waits& waits = waits_[std::string(worker)];
  const std::uint64_t before = waits.futureWaits;
  return deadlinesChanged_.wait_for(
      lock, guard, [&] { return waits.futureWaits > before && waits.lastFutureWaitAt >= now; });
}

bool ZEVSiteManualPlatform::waitForDeadlines(std::string_view worker, std::size_t count,
                                             std::chrono::milliseconds timeout) {
  std::unique_lock lock(deadlinesMutex_);
  Waits& waits = waits_[std::string(worker)];
  return deadlinesChanged_.wait_for(lock, timeout, [&] { return waits.deadlines.size() > count; });
}
