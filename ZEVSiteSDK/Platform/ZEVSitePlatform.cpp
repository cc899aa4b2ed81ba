#include "ZEVSitePlatform.h"

#include "ZEVSiteDispatchPool.h"
#include "ZEVSiteFiles.h"
#include "ZEVSiteForkSafety.h"
#include "ZEVSiteMutex.h"
#include "ZEVSiteNoDestructor.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

namespace {

// Linux tells the boot's id and the seconds since it (to the hundredth) in files, which tools
// that fake the wall clock for a process leave alone.
std::optional<zevsite::BootClock> readBootClock() {
  const std::optional<std::string> bootId =
      zevsite::files::readFile("/proc/sys/kernel/random/boot_id");
  const std::optional<std::string> uptime = zevsite::files::readFile("/proc/uptime");
  if (!bootId || !uptime) return std::nullopt;
  char* end = nullptr;
  const double seconds = std::strtod(uptime->c_str(), &end);
  if (end == uptime->c_str() || !(seconds >= 0) || seconds > 1e12) return std::nullopt;
  std::string id = *bootId;
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  if (id.empty()) return std::nullopt;
  return zevsite::BootClock{std::move(id), static_cast<std::int64_t>(seconds * 1000)};
}

// The real platform: a shared pool of background threads, the system clocks and files.
class RealPlatform final : public ZEVSitePlatform {
 public:
  RealPlatform() {
    zevsite::forksafety::registerLock(defaultsMutex_, zevsite::forksafety::kDefaultsMap);
    pool_.registerForFork();
  }

  void dispatchAsync(Task task) override { pool_.dispatchAsync(std::move(task)); }
  void dispatchAfter(std::chrono::nanoseconds delay, Task task) override {
    pool_.dispatchAfter(std::chrono::duration_cast<zevsite::DispatchPool::Clock::duration>(delay),
                        std::move(task));
  }
  std::thread startThread(Task body) override { return std::thread(std::move(body)); }
  std::int64_t currentTimeSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  std::int64_t currentTimeMillis() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  std::chrono::steady_clock::time_point monotonicNow() override {
    return std::chrono::steady_clock::now();
  }
  std::optional<zevsite::BootClock> bootClock() override { return readBootClock(); }
  std::string homeDirectory() override { return zevsite::files::homeDirectory(); }
  std::shared_ptr<zevsite::UserDefaults> standardUserDefaults() override {
    std::string home = homeDirectory();
    zevsite::MutexLock lock(defaultsMutex_);
    auto& defaults = defaultsByHome_[home];
    if (!defaults) {
      defaults = std::make_shared<zevsite::UserDefaults>(home);
      defaults->registerForFork();
    }
    return defaults;
  }
  bool writeFileAtomically(const std::string& path, std::string_view bytes) override {
    return zevsite::files::writeFileAtomically(path, bytes);
  }
  std::optional<std::string> fetchURL(const std::string& url,
                                      const zevsite::FetchLimits& limits) override {
    return zevsite::net::fetchURL(url, limits);
  }
  int renameFile(const std::string& from, const std::string& to) override {
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }
  int removeFile(const std::string& path) override {
    return std::remove(path.c_str()) == 0 ? 0 : errno;
  }
  std::optional<zevsite::FileIdentity> fileIdentity(const std::string& path) override {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return zevsite::FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                                 static_cast<std::uint64_t>(info.st_ino),
                                 static_cast<std::uint32_t>(info.st_uid), S_ISDIR(info.st_mode)};
  }
  int storeFileFault(zevsite::StoreFileOp, const std::string&, std::uint64_t) override { return 0; }
  std::optional<std::uint64_t> freeDiskBytes(const std::string& directory) override {
    struct statvfs info {};
    if (::statvfs(directory.c_str(), &info) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
  }
  void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                 std::chrono::steady_clock::time_point deadline) override {
    condition.wait_until(lock, deadline);
  }

 private:
  // Two workers: the start-up work and a configuration download may overlap on a 2-core
  // host without one delaying the other.
  zevsite::DispatchPool pool_{2};
  zevsite::Mutex defaultsMutex_;  // guards defaultsByHome_; rank kDefaultsMap for fork()
  std::map<std::string, std::shared_ptr<zevsite::UserDefaults>> defaultsByHome_
      ZEVSITE_GUARDED_BY(defaultsMutex_);
};

struct Installed {
  std::atomic<ZEVSitePlatform*> current{nullptr};
  zevsite::Mutex mutex;  // guards keptAlive
  // Every platform ever installed: background work may still reach a replaced one.
  std::vector<std::shared_ptr<ZEVSitePlatform>> keptAlive ZEVSITE_GUARDED_BY(mutex);
};

Installed& installed() {
  static zevsite::NoDestructor<Installed> state;
  static const bool forkSafe =
      zevsite::forksafety::registered(state.get().mutex, zevsite::forksafety::kLeaf);
  (void)forkSafe;
  return state.get();
}

}  // namespace

ZEVSitePlatform& ZEVSitePlatform::real() {
  static zevsite::NoDestructor<RealPlatform> platform;
  return platform.get();
}

ZEVSitePlatform& ZEVSitePlatform::current() noexcept {
  ZEVSitePlatform* platform = installed().current.load(std::memory_order_acquire);
  return platform ? *platform : real();
}

void ZEVSitePlatform::install(std::shared_ptr<ZEVSitePlatform> platform) {
  auto& state = installed();
  zevsite::MutexLock lock(state.mutex);
  state.current.store(platform.get(), std::memory_order_release);
  if (platform) state.keptAlive.push_back(std::move(platform));
}
