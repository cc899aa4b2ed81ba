#include "ZEVSiteConfigRefresh.h"

#include "../Network/ZEVSiteNetworkSettings.h"
#include "../Platform/ZEVSiteFiles.h"
#include "../Platform/ZEVSiteForkSafety.h"
#include "../Platform/ZEVSiteNoDestructor.h"
#include "../Platform/ZEVSitePlatform.h"
#include "ZEVSiteConfigCache.h"
#include "ZEV_XMLReader.h"

namespace {

constexpr std::size_t kMaxDocumentBytes = 1 << 20;

}  // namespace

zevsite::ConfigRefresh& zevsite::ConfigRefresh::shared() {
  static zevsite::NoDestructor<zevsite::ConfigRefresh> instance;
  static const bool forkSafe =
      zevsite::forksafety::registered(instance.get().mutex_, zevsite::forksafety::kLeaf);
  (void)forkSafe;
  return instance.get();
}

void zevsite::ConfigRefresh::start(ZEVSiteText url, std::chrono::milliseconds hostTimeout) {
  const std::uint64_t generation = zevsite::forksafety::forkGeneration();
  zevsite::MutexLock lock(mutex_);
  waiting_ = true;
  waitingURL_ = std::move(url);
  waitingTimeout_ = hostTimeout;
  // A worker inherited through fork() does not exist in this process.
  if (worker_ && workerGeneration_ != generation) (void)worker_.release();
  if (running_ && worker_) return;  // the running refresh takes this one next
  running_ = true;
  if (worker_) {
    worker_->wake();
    return;
  }
  try {
    worker_ = ZEVSitePlatform::current().startWorker("zevsite-config", [this] { return step(); });
    workerGeneration_ = generation;
  } catch (const std::exception&) {
    // No thread could be started (the process is out of threads or memory): no refresh runs,
    // so none is marked running, and the next configFromUrl that qualifies tries again. The
    // requests merged into this one go with it; like a refresh, this logs nothing.
    running_ = false;
    waiting_ = false;
    waitingURL_.reset();
    idle_.notify_all();
  }
}

zevsite::NextRun zevsite::ConfigRefresh::step() {
  ZEVSiteText url;
  std::chrono::milliseconds hostTimeout{0};
  {
    zevsite::MutexLock lock(mutex_);
    if (!waiting_) {
      running_ = false;
      idle_.notify_all();
      return zevsite::NextRun::whenWoken();
    }
    waiting_ = false;
    url = std::move(waitingURL_);
    waitingURL_.reset();
    hostTimeout = waitingTimeout_;
  }
  if (!url) return zevsite::NextRun::now();
  try {
    refresh(*url, hostTimeout);
  } catch (const std::exception&) {
    // The refresh logs nothing; the next configFromUrl tries again.
  }
  return zevsite::NextRun::now();
}

bool zevsite::ConfigRefresh::waitIdle(std::chrono::steady_clock::time_point deadline) {
  zevsite::UniqueMutexLock lock(mutex_);
  return zevsite::awaitWorkers(worker_.get(), idle_, mutex_, deadline,
                               [&]() ZEVSITE_REQUIRES(mutex_) { return !running_ && !waiting_; });
}

void zevsite::ConfigRefresh::refresh(const std::string& url,
                                     std::chrono::milliseconds hostTimeout) {
  auto& platform = ZEVSitePlatform::current();
  zevsite::FetchLimits limits;
  limits.maxBytes = kMaxDocumentBytes;
  limits.totalTimeout = zevsite::config::requestTimeout(hostTimeout);
  limits.network = zevsite::net::proxyAndTrust();
  std::optional<std::string> data = platform.fetchURL(url, limits);
  auto config = ZEV_XMLReader::sdkConfigWithData(data);
  if (!config) return;
  const std::string home = platform.homeDirectory();
  if (home.empty()) return;  // no home directory: the document has nowhere to be kept
  const std::string path = zevsite::files::joinPath(home, "Library/SDK_CONFIG_DATA_KEY");
  // The refresh counts only once the document is safely on disk; a failed write leaves
  // the timestamp alone so the next call tries again.
  if (!platform.writeFileAtomically(path, *data)) return;
  auto defaults = platform.standardUserDefaults();
  defaults->setInteger(platform.currentTimeSeconds(), zevsite::kConfigLastUpdateKey);
  defaults->synchronize();
  zevsite::config::documentWritten(home, *config);
}
