// A platform for tests: a manual clock and a manual dispatch queue; everything else (files,
// user defaults, threads) is real. Background work runs on the test's thread when the test
// calls runUntilIdle() or advanceBy(), so tests never sleep waiting for it.
#pragma once

#include "Platform/ZEVSitePlatform.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class ZEVSiteManualPlatform : public zevsite::ForwardingPlatform {
 public:
  ZEVSiteManualPlatform();

  void dispatchAsync(Task task) override;
  void dispatchAfter(std::chrono::nanoseconds delay, Task task) override;
  std::int64_t currentTimeSeconds() override;
  std::int64_t currentTimeMillis() override;
  std::chrono::steady_clock::time_point monotonicNow() override;
  // A boot that began when the platform was made, its uptime moving with the manual clock.
  std::optional<zevsite::BootClock> bootClock() override;
  // A new boot (the machine restarted) whose uptime starts at 0 now; nullopt: the system
  // tells no boot clock.
  void reboot(std::optional<std::string> bootId);
  // Waits a few real milliseconds at most, so a thread waiting for a manual deadline sees
  // advanceBy() soon; returns at once when the manual clock has passed `deadline`.
  void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                 std::chrono::steady_clock::time_point deadline) override;
  // The deadlines passed to waitUntil so far (the retry and backoff waits of the SDK's
  // threads), each once, in the order they were first waited for.
  std::vector<std::chrono::steady_clock::time_point> waitDeadlines();
  // Waits (real time, up to `timeout`) until more than `count` deadlines were waited for.
  bool waitForDeadlines(std::size_t count, std::chrono::milliseconds timeout);
  // Waits (real time, up to `guard`: a failure guard) until a thread of the SDK goes back to
  // waiting for a deadline still ahead of the clock as it reads now: that thread has seen the
  // current time and found nothing due. How a test shows that nothing happened early.
  bool waitForWaiterAtNow(std::chrono::milliseconds guard = std::chrono::seconds(10));

  // Runs every task that is due now (and what they schedule for now); returns how many ran.
  std::size_t runUntilIdle();
  // Moves both clocks forward by `duration`, running due tasks in time order on the way.
  std::size_t advanceBy(std::chrono::nanoseconds duration);
  // Sets the wall clock (seconds since the epoch); the monotonic clock is left alone.
  void setWallClockSeconds(std::int64_t seconds);
  std::size_t pendingTasks();
  // While set, startThread fails as std::thread does when the process is out of threads
  // (std::system_error, EAGAIN). Any thread.
  void setThreadStartFails(bool fails);
  std::thread startThread(Task body) override;
  // Fails the event store's file operations as `fault` decides (an errno value, 0 lets
  // the operation run); an empty function removes the fault. Any thread.
  using StoreFault = std::function<int(zevsite::StoreFileOp, const std::string& path)>;
  void setStoreFault(StoreFault fault);
  int storeFileFault(zevsite::StoreFileOp op, const std::string& path,
                     std::uint64_t growthBytes) override;
  // Models a small disk that holds only `directory`, as a file system does: a store write
  // that would grow the files there past `capacity` bytes fails with ENOSPC, one that
  // overwrites bytes a file already holds always succeeds, and freeDiskBytes answers what is
  // left. nullopt turns it off. Any thread.
  void setSmallDisk(std::string directory, std::optional<std::uint64_t> capacity);
  std::optional<std::uint64_t> freeDiskBytes(const std::string& directory) override;

 private:
  std::size_t runDueUpTo(std::chrono::nanoseconds target);

  std::mutex mutex_;  // guards the clocks and tasks_
  std::chrono::nanoseconds elapsed_{0};
  std::int64_t wallBaseMillis_;
  std::chrono::steady_clock::time_point monotonicBase_;
  std::optional<std::string> bootId_{"manual-boot-0"};
  std::chrono::nanoseconds bootStart_{0};  // elapsed_ when the current boot began
  // Uptime when the current boot began counting here: the first boot began a while ago.
  std::chrono::nanoseconds bootUptimeAtStart_{std::chrono::minutes(10)};
  std::map<std::pair<std::chrono::nanoseconds, std::uint64_t>, Task> tasks_;
  std::uint64_t nextSequence_ = 0;
  std::mutex deadlinesMutex_;  // guards deadlines_ (waited for on SDK threads)
  std::condition_variable deadlinesChanged_;
  std::vector<std::chrono::steady_clock::time_point> deadlines_;
  std::uint64_t futureWaits_ = 0;  // waits entered with their deadline ahead of the clock
  std::chrono::steady_clock::time_point lastFutureWaitAt_{};  // the clock at the latest one
  std::atomic<bool> threadStartFails_{false};
  std::mutex faultMutex_;  // guards storeFault_ (asked from the writer and sender threads)
  StoreFault storeFault_;
  std::string smallDiskDirectory_;                  // guarded by faultMutex_
  std::optional<std::uint64_t> smallDiskCapacity_;  // guarded by faultMutex_
  std::uint64_t smallDiskUsedLocked() const;
};

// Bytes held by the regular files directly in `directory` (0 when it cannot be read).
std::uint64_t directoryFileBytes(const std::string& directory);
