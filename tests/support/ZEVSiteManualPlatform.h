// A platform for tests: a manual clock and a manual dispatch queue; everything else (files,
// user defaults, threads) is real. Background work runs on the test's thread when the test
// calls runUntilIdle() or advanceBy(), so tests never sleep waiting for it.
//
// The SDK's workers (writer, sender, configuration refresh) run on threads of their own that
// wait on the manual clock, unless the test calls driveWorkers() before it makes any: then
// their steps run on the test's thread too, inside runUntilIdle(), advanceBy() and the SDK's
// own waits (flush, deleteAllData, shutdown), which return false when nothing is left to run.
#pragma once

#include "Platform/ZEVSitePlatform.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
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
  // The deadlines the worker named `worker` ("zevsite-sender", "zevsite-writer") waited for
  // so far (its retry, backoff and batching waits), each once, in the order first waited for.
  std::vector<std::chrono::steady_clock::time_point> waitDeadlines(std::string_view worker);
  // Waits (real time, up to `timeout`) until `worker` waited for more than `count` deadlines.
  bool waitForDeadlines(std::string_view worker, std::size_t count,
                        std::chrono::milliseconds timeout);
  // Waits (real time, up to `guard`: a failure guard) until `worker` goes back to waiting for
  // a deadline still ahead of the clock as it reads now: it has seen the current time and
  // found nothing due. How a test shows that nothing happened early.
  bool waitForWaiterAtNow(std::string_view worker,
                          std::chrono::milliseconds guard = std::chrono::seconds(10));

  // From now on the SDK's workers run on the thread that drives the platform (see above).
  // Call before the test makes a manager, a queue or a storage.
  void driveWorkers();
  // Hands the driven workers to threads of their own (waiting on the manual clock), and
  // starts new workers so. Call when no step runs.
  void stopDriving();
  std::unique_ptr<zevsite::Worker> startWorker(const char* name, zevsite::WorkerStep step) override;
  bool runDueWorkers() override;

  // Runs every task and driven worker step that is due now (and what they make due now);
  // returns how many ran.
  std::size_t runUntilIdle();
  // Moves both clocks forward by `duration`, running due tasks and steps in time order on
  // the way.
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
  // A driven worker: its step, and when it is due (woken, or its time on the manual clock).
  struct DrivenWorker {
    const char* name = "";
    zevsite::WorkerStep step;
    bool woken = true;  // a new worker runs its first step at once
    std::optional<std::chrono::nanoseconds> dueAt;
    bool running = false;  // its step runs now (on some thread)
    bool ended = false;    // stopped, or its handle is gone
    // Once driving stopped: the thread that runs the step from then on.
    std::unique_ptr<zevsite::Worker> thread;
  };
  class DrivenHandle;

  // Runs the due tasks (and, unless `tasks` only, the due steps) up to `target`.
  std::size_t runDueUpTo(std::chrono::nanoseconds target, bool workers, bool tasks);
  // When `worker` is due, if it is; under mutex_.
  std::optional<std::chrono::nanoseconds> dueTimeLocked(const DrivenWorker& worker) const;
  void runStep(const std::shared_ptr<DrivenWorker>& worker);
  void recordDeadline(const char* worker, std::chrono::steady_clock::time_point deadline);

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
  bool driving_ = false;  // guarded by mutex_
  // The driven workers, oldest first; guarded by mutex_ (their steps run without it).
  std::vector<std::shared_ptr<DrivenWorker>> workers_;
  std::mutex deadlinesMutex_;  // guards waits_ (recorded on SDK threads)
  std::condition_variable deadlinesChanged_;
  // Per worker: its deadlines, the waits it entered with their deadline ahead of the clock,
  // and the clock at the latest of those.
  struct Waits {
    std::vector<std::chrono::steady_clock::time_point> deadlines;
    std::uint64_t futureWaits = 0;
    std::chrono::steady_clock::time_point lastFutureWaitAt{};
  };
  std::map<std::string, Waits, std::less<>> waits_;
  std::atomic<bool> threadStartFails_{false};
  std::mutex faultMutex_;  // guards storeFault_ (asked from the writer and sender threads)
  StoreFault storeFault_;
  std::string smallDiskDirectory_;                  // guarded by faultMutex_
  std::optional<std::uint64_t> smallDiskCapacity_;  // guarded by faultMutex_
  std::uint64_t smallDiskUsedLocked() const;
};

// Bytes held by the regular files directly in `directory` (0 when it cannot be read).
std::uint64_t directoryFileBytes(const std::string& directory);
