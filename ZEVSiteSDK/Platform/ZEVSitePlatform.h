// The platform layer: every thread, clock, file, user default and network access of the SDK
// passes through ZEVSitePlatform, so that tests can replace the edge (clock, scheduling)
// and keep everything else real.
//
// One platform is installed for the process. The default is the real one; tests install a
// fake before they create managers. A replaced platform is kept alive until the process
// exits, because background work may still hold it.
#pragma once

#include "ZEVSiteMutex.h"
#include "ZEVSiteURLFetch.h"
#include "ZEVSiteUserDefaults.h"
#include "ZEVSiteWorker.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

// Which file a path names: a file replaced or deleted behind an open handle has another
// identity (or none) at its path.
namespace zevsite {
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint32_t ownerId = 0;
  bool isDirectory = false;
  bool operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
};
}  // namespace zevsite

// Time since the machine booted, read where a change of the wall clock cannot reach it, and
// which boot it counts from: two readings of one boot differ by the time that really passed
// between them, whatever the wall clock did meanwhile (and whichever process took them).
namespace zevsite {
struct BootClock {
  std::string bootId;
  std::int64_t uptimeMillis = 0;
};
}  // namespace zevsite

// The file operations of the event store's SQLite connections, each offered to the platform
// before it runs (see storeFileFault).
namespace zevsite {
enum class StoreFileOp { Open, Write, Sync, Truncate };
}  // namespace zevsite

class ZEVSitePlatform {
 public:
  using Task = std::function<void()>;

  virtual ~ZEVSitePlatform() = default;

  // The process's platform; never null.
  static ZEVSitePlatform& current() noexcept;
  // Makes `platform` the process's platform (nullptr restores the real one).
  static void install(std::shared_ptr<ZEVSitePlatform> platform);
  // The real platform, for fakes that forward to it.
  static ZEVSitePlatform& real();

  // Runs `task` soon on the shared default-priority background pool.
  virtual void dispatchAsync(Task task) = 0;
  // Runs `task` on the pool no sooner than `delay` from now.
  virtual void dispatchAfter(std::chrono::nanoseconds delay, Task task) = 0;
  // Starts a dedicated long-running thread (loaders and workers).
  virtual std::thread startThread(Task body) = 0;
  // Starts one of the SDK's workers (see ZEVSiteWorker.h), named by a string literal. By
  // default it runs on a thread of its own from startThread, and waits between steps with
  // waitUntil on this platform's monotonic clock. Throws what startThread throws.
  virtual std::unique_ptr<zevsite::Worker> startWorker(const char* name, zevsite::WorkerStep step);
  // Runs the steps of every inline worker (Worker::runsInline) that is due now, on the
  // calling thread; true when any ran. False at once where workers have threads of their
  // own, and inside a step.
  virtual bool runDueWorkers() { return false; }

  // Wall clock: whole seconds since the epoch (as time() gives them) and milliseconds.
  virtual std::int64_t currentTimeSeconds() = 0;
  virtual std::int64_t currentTimeMillis() = 0;
  // Monotonic clock for delays and timeouts.
  virtual std::chrono::steady_clock::time_point monotonicNow() = 0;
  // The boot clock; nullopt where the system does not tell.
  virtual std::optional<zevsite::BootClock> bootClock() = 0;

  // The SDK's home directory (created with Library/ inside it).
  virtual std::string homeDirectory() = 0;
  // The user defaults of the current home directory.
  virtual std::shared_ptr<zevsite::UserDefaults> standardUserDefaults() = 0;
  // Replaces `path` whole and atomically; false when it could not.
  virtual bool writeFileAtomically(const std::string& path, std::string_view bytes) = 0;
  // Fetches the whole content of `url`, blocking; nothing on any failure.
  virtual std::optional<std::string> fetchURL(const std::string& url,
                                              const zevsite::FetchLimits& limits) = 0;

  // The store's own file operations: 0 on success, else an errno value.
  virtual int renameFile(const std::string& from, const std::string& to) = 0;
  virtual int removeFile(const std::string& path) = 0;
  virtual std::optional<zevsite::FileIdentity> fileIdentity(const std::string& path) = 0;
  // Asked before every operation of the store's SQLite connections on `path` (the database
  // and its -wal and -shm files): 0 lets it run, an errno value (ENOSPC, EACCES, EIO, EMFILE,
  // EROFS) fails it as the operating system would. `growthBytes` is how far a write extends
  // the file past its end (0 for one that overwrites bytes the file holds, and for the other
  // operations): only growth needs free space. The real platform always answers 0.
  virtual int storeFileFault(zevsite::StoreFileOp op, const std::string& path,
                             std::uint64_t growthBytes) = 0;
  // Bytes an unprivileged process may still write on the file system of `directory`;
  // nullopt when it cannot be told.
  virtual std::optional<std::uint64_t> freeDiskBytes(const std::string& directory) = 0;

  // The waits of the worker threads between steps: returns when `condition` is notified, when
  // the monotonic clock passes `deadline`, or spuriously; callers re-check their state and the
  // clock. Called with `lock` held.
  virtual void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                         std::chrono::steady_clock::time_point deadline) = 0;
};

namespace zevsite {
// Runs `step` on a thread of its own from `platform`, waiting between steps on its clock.
std::unique_ptr<Worker> startThreadWorker(ZEVSitePlatform& platform, const char* name,
                                          WorkerStep step);

// A host thread's wait for `worker`'s progress (`worker` guarded by `mutex`, or null): until
// `ready` holds (true) or `deadline` passes (false), on `condition`, which the worker notifies
// with `mutex` held. For an inline worker the due steps run here instead, and the wait gives up
// (false) once none is due and `ready` still does not hold; no time passes then, so the
// deadline is not consulted.
template <class Predicate>
bool awaitWorkers(Worker* worker, ConditionVariable& condition, Mutex& mutex,
                  std::chrono::steady_clock::time_point deadline, Predicate ready)
    ZEVSITE_REQUIRES(mutex) {
  if (!worker || !worker->runsInline()) return condition.waitUntil(mutex, deadline, ready);
  ZEVSitePlatform& platform = ZEVSitePlatform::current();
  // `ready` requires `mutex`, held at each call; it is invoked as the condition variable's
  // waits invoke it, which the analysis cannot tie to `mutex` through the template.
  for (;;) {
    if (std::invoke(ready)) return true;
    bool ran;
    {
      MutexUnlock unlocked(mutex);
      ran = platform.runDueWorkers();
    }
    if (!ran) return std::invoke(ready);
  }
}
}  // namespace zevsite

// A platform that forwards every call to another one; fakes derive from it and override only
// what they fake. Workers are not forwarded: they start on this platform's threads and clock.
namespace zevsite {
class ForwardingPlatform : public ZEVSitePlatform {
 public:
  explicit ForwardingPlatform(ZEVSitePlatform& target) : target_(target) {}

  void dispatchAsync(Task task) override { target_.dispatchAsync(std::move(task)); }
  void dispatchAfter(std::chrono::nanoseconds delay, Task task) override {
    target_.dispatchAfter(delay, std::move(task));
  }
  std::thread startThread(Task body) override { return target_.startThread(std::move(body)); }
  std::int64_t currentTimeSeconds() override { return target_.currentTimeSeconds(); }
  std::int64_t currentTimeMillis() override { return target_.currentTimeMillis(); }
  std::chrono::steady_clock::time_point monotonicNow() override { return target_.monotonicNow(); }
  std::optional<BootClock> bootClock() override { return target_.bootClock(); }
  std::string homeDirectory() override { return target_.homeDirectory(); }
  std::shared_ptr<UserDefaults> standardUserDefaults() override {
    return target_.standardUserDefaults();
  }
  bool writeFileAtomically(const std::string& path, std::string_view bytes) override {
    return target_.writeFileAtomically(path, bytes);
  }
  std::optional<std::string> fetchURL(const std::string& url, const FetchLimits& limits) override {
    return target_.fetchURL(url, limits);
  }
  int renameFile(const std::string& from, const std::string& to) override {
    return target_.renameFile(from, to);
  }
  int removeFile(const std::string& path) override { return target_.removeFile(path); }
  std::optional<FileIdentity> fileIdentity(const std::string& path) override {
    return target_.fileIdentity(path);
  }
  int storeFileFault(StoreFileOp op, const std::string& path, std::uint64_t growthBytes) override {
    return target_.storeFileFault(op, path, growthBytes);
  }
  std::optional<std::uint64_t> freeDiskBytes(const std::string& directory) override {
    return target_.freeDiskBytes(directory);
  }
  void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                 std::chrono::steady_clock::time_point deadline) override {
    target_.waitUntil(condition, lock, deadline);
  }

 protected:
  ZEVSitePlatform& target_;
};
}  // namespace zevsite
