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

std::size_t ZEVSiteManualPlatform::runUntilIdle() {
  std::chrono::nanoseconds now;
  {
    std::lock_guard lock(mutex_);
    now = elapsed_;
  }
  return runDueUpTo(now);
}

std::size_t ZEVSiteManualPlatform::advanceBy(std::chrono::nanoseconds duration) {
  std::chrono::nanoseconds target;
  {
    std::lock_guard lock(mutex_);
    target = elapsed_ + duration;
  }
  return runDueUpTo(target);
}

std::size_t ZEVSiteManualPlatform::runDueUpTo(std::chrono::nanoseconds target) {
  std::size_t ran = 0;
  for (;;) {
    Task task;
    {
      std::lock_guard lock(mutex_);
      auto first = tasks_.begin();
      if (first == tasks_.end() || first->first.first > target) {
        elapsed_ = std::max(elapsed_, target);
        return ran;
      }
      elapsed_ = std::max(elapsed_, first->first.first);
      task = std::move(first->second);
      tasks_.erase(first);
    }
    task();
    ++ran;
  }
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
  const auto now = monotonicNow();
  {
    std::lock_guard recording(deadlinesMutex_);
    if (deadlines_.empty() || deadlines_.back() != deadline) deadlines_.push_back(deadline);
    if (now < deadline) {
      ++futureWaits_;
      lastFutureWaitAt_ = now;
    }
    deadlinesChanged_.notify_all();
  }
  if (now >= deadline) return;
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

std::vector<std::chrono::steady_clock::time_point> ZEVSiteManualPlatform::waitDeadlines() {
  std::lock_guard lock(deadlinesMutex_);
  return deadlines_;
}

bool ZEVSiteManualPlatform::waitForWaiterAtNow(std::chrono::milliseconds guard) {
  const auto now = monotonicNow();
  std::unique_lock lock(deadlinesMutex_);
  const std::uint64_t before = futureWaits_;
  return deadlinesChanged_.wait_for(
      lock, guard, [&] { return futureWaits_ > before && lastFutureWaitAt_ >= now; });
}

bool ZEVSiteManualPlatform::waitForDeadlines(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(deadlinesMutex_);
  return deadlinesChanged_.wait_for(lock, timeout, [&] { return deadlines_.size() > count; });
}
