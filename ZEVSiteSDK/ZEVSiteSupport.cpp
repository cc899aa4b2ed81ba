#include <ZEVSiteSDK/ZEVSiteSupport.h>
#include <ZEVSiteSDK/ZEVSiteVersion.h>

#include <ZEVSiteSDK/ZEVSiteLoger.h>
#include <ZEVSiteSDK/ZEVSiteManager.h>

#include "Network/ZEVSiteNetworkSettings.h"
#include "Platform/ZEVSiteFiles.h"
#include "Platform/ZEVSiteForkSafety.h"
#include "Platform/ZEVSiteMutex.h"
#include "Platform/ZEVSiteNoDestructor.h"
#include "Platform/ZEVSitePlatform.h"
#include "Queue/ZEVSiteEventSender.h"
#include "Queue/ZEVSiteEventStorage.h"
#include "ZEVSiteEventContext.h"
#include "ZEVSiteSupportInternal.h"
#include "ZEVSiteTaskQueue.h"
#include "ZEVSiteUserChoice.h"

#include <atomic>
#include <mutex>

namespace {

constexpr const char* kActivatedKey = "ZEVSITE_ACTIVATED";

struct SupportState {
  zevsite::Mutex mutex;  // guards every field below
  ZEVSiteText appId ZEVSITE_GUARDED_BY(mutex);
  ZEVSiteText collectURL ZEVSITE_GUARDED_BY(mutex);
  std::chrono::milliseconds requestTimeout ZEVSITE_GUARDED_BY(mutex){0};
  // No collect URL is set and the line saying that events are kept is still to be logged
  // for this episode without one. Written under mutex; read without it for every accepted
  // event, so that tracking calls take no lock for it.
  std::atomic<bool> keptNoticeDue{true};
};

bool hasText(const ZEVSiteText& text) { return text && !text->empty(); }

SupportState& state() {
  static zevsite::NoDestructor<SupportState> instance;
  static const bool forkSafe =
      zevsite::forksafety::registered(instance.get().mutex, zevsite::forksafety::kLeaf);
  (void)forkSafe;
  return instance.get();
}

}  // namespace

void ZEVSiteSupport::setAppId(ZEVSiteText appId) {
  zevsite::MutexLock lock(state().mutex);
  state().appId = std::move(appId);
}

ZEVSiteText ZEVSiteSupport::appId() {
  zevsite::MutexLock lock(state().mutex);
  return state().appId;
}

bool ZEVSiteSupport::isActivated() {
  return ZEVSitePlatform::current().standardUserDefaults()->integerForKey(kActivatedKey) != 0;
}

void ZEVSiteSupport::setActivated() {
  ZEVSitePlatform::current().standardUserDefaults()->setInteger(1, kActivatedKey);
}

void ZEVSiteSupport::setHomeDirectory(std::string path) {
  zevsite::files::setHomeDirectory(std::move(path));
  // While the SDK is in use, the new home's choice is read in the background before
  // tracking calls need it (the client id is loaded when a manager is created, or by the
  // first event).
  if (ZEVSiteManager::shareInstance()) zevsite::choice::prefetch();
  // Events held in memory for want of a home directory can be written now.
  for (const auto& storage : zevsite::EventStorage::all()) storage->wake();
}

std::string ZEVSiteSupport::homeDirectory() { return ZEVSitePlatform::current().homeDirectory(); }

void ZEVSiteSupport::setCollectURL(ZEVSiteText url) {
  {
    zevsite::MutexLock lock(state().mutex);
    const bool hadURL = hasText(state().collectURL);
    state().collectURL = std::move(url);
    if (hasText(state().collectURL)) {
      state().keptNoticeDue = false;
    } else if (hadURL) {
      state().keptNoticeDue = true;  // a new episode without a URL
    }
  }
  for (const auto& sender : zevsite::EventSender::all()) sender->wake();
}

ZEVSiteText ZEVSiteSupport::collectURL() {
  zevsite::MutexLock lock(state().mutex);
  return state().collectURL;
}

void ZEVSiteSupport::setRequestTimeout(std::chrono::milliseconds timeout) {
  zevsite::MutexLock lock(state().mutex);
  state().requestTimeout = timeout;
}

std::chrono::milliseconds ZEVSiteSupport::requestTimeout() {
  zevsite::MutexLock lock(state().mutex);
  return state().requestTimeout;
}

void ZEVSiteSupport::setEventObserver(EventObserver observer) {
  ZEVSiteTaskQueue::setEventObserver(std::move(observer));
}

bool ZEVSiteSupport::flush(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  bool done = true;
  for (const auto& storage : zevsite::EventStorage::all()) done = storage->flush(deadline) && done;
  // Without a collect URL, or opted out, no send can be attempted: nothing to wait for.
  if (!hasText(collectURL()) || !isTrackingEnabled()) return false;
  for (const auto& sender : zevsite::EventSender::all())
    done = sender->flushAttempt(deadline) && done;
  return done;
}

namespace {
std::atomic<std::uint64_t> refusedCount{0};
}  // namespace

void zevsite::support::callRefused() { refusedCount.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t zevsite::support::refusedCalls() { return refusedCount.load(); }

void zevsite::support::eventAccepted() {
  auto& support = state();
  if (!support.keptNoticeDue.load(std::memory_order_relaxed)) return;
  {
    zevsite::MutexLock lock(support.mutex);
    if (!support.keptNoticeDue.exchange(false)) return;  // another thread logged it
  }
  ZEVSiteLoger::adLog(
      "[Site] events are stored and kept until ZEVSiteSupport::setCollectURL is called");
}

ZEVSiteStatistics ZEVSiteSupport::statistics() {
  ZEVSiteStatistics statistics;
  statistics.refused = zevsite::support::refusedCalls();
  for (const auto& storage : zevsite::EventStorage::all()) {
    const auto counts = storage->counts();
    statistics.tracked += counts.accepted;
    statistics.dropped.overflow += counts.overflow;
    statistics.dropped.expiry += counts.expiry;
    statistics.dropped.eventLimit += counts.eventLimit;
    statistics.stored += counts.stored;
    statistics.pending += counts.pending;
  }
  for (const auto& sender : zevsite::EventSender::all()) {
    const auto counts = sender->counts();
    statistics.delivered += counts.delivered;
    statistics.dropped.rejected += counts.rejected;
    statistics.uploadFailures += counts.uploadFailures;
    if (counts.lastUploadMillis != 0) {
      statistics.lastUploadMillis = std::max(
          statistics.lastUploadMillis.value_or(counts.lastUploadMillis), counts.lastUploadMillis);
    }
  }
  return statistics;
}

bool ZEVSiteSupport::shutdown(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  bool done = true;
  for (const auto& sender : zevsite::EventSender::all()) done = sender->shutdown(deadline) && done;
  for (const auto& storage : zevsite::EventStorage::all()) done = storage->flush(deadline) && done;
  return done;
}

void ZEVSiteSupport::setTrackingEnabled(bool enabled) {
  zevsite::choice::setTrackingEnabled(enabled);
}

bool ZEVSiteSupport::isTrackingEnabled() { return zevsite::choice::trackingEnabled(); }

bool ZEVSiteSupport::deleteAllData(std::chrono::milliseconds timeout) {
  return zevsite::choice::deleteAllData(timeout);
}

void ZEVSiteSupport::setProxy(ZEVSiteText proxyURL) { zevsite::net::setProxy(std::move(proxyURL)); }

void ZEVSiteSupport::setCABundle(ZEVSiteText path) { zevsite::net::setCABundle(std::move(path)); }

void ZEVSiteSupport::setCompression(bool enabled) { zevsite::net::setCompression(enabled); }

void ZEVSiteSupport::setDispatchInterval(std::chrono::milliseconds interval) {
  zevsite::net::setDispatchInterval(interval);
  // A shorter interval may make gathered events due now.
  for (const auto& sender : zevsite::EventSender::all()) sender->wake();
}

std::string_view ZEVSiteSupport::sdkVersion() noexcept { return ZEVSITE_VERSION_STRING; }

void ZEVSiteSupport::setAppVersion(ZEVSiteText version, ZEVSiteText build) {
  zevsite::EventContext::instance().setAppVersion(version, build);
}

void ZEVSiteSupport::setUserId(ZEVSiteText userId) {
  zevsite::EventContext::instance().setUserId(userId);
}

ZEVSiteText ZEVSiteSupport::userId() { return zevsite::EventContext::instance().userId(); }

void ZEVSiteSupport::setDefaultCustomDimMetrics(const ZEVSiteValue& dimMetrics) {
  if (dimMetrics.isAbsent()) {
    zevsite::EventContext::instance().setDefaultDimensions(nullptr);
    return;
  }
  const ZEVSiteDictionary* hostEntries = dimMetrics.dictionary();
  if (!hostEntries) {
    ZEVSiteLoger::adLog("[Site] default custom dimensions must be a dictionary: not changed");
    return;
  }
  auto mapped = std::make_shared<ZEVSiteDictionary>();
  zevsite::mapCustomDimMetrics(*mapped, *hostEntries);
  zevsite::EventContext::instance().setDefaultDimensions(std::move(mapped));
}

void ZEVSiteSupport::setScreenSize(int width, int height) {
  zevsite::EventContext::instance().setScreenSize(width, height);
}

void ZEVSiteSupport::setSessionTimeout(std::chrono::seconds timeout) {
  zevsite::EventContext::instance().setSessionTimeout(timeout);
}

void ZEVSiteSupport::setApplicationActive(bool active) {
  zevsite::EventContext::instance().setApplicationActive(active);
}

void ZEVSiteSupport::setOverflowPolicy(ZEVSiteOverflowPolicy policy,
                                       std::chrono::milliseconds blockTimeout) {
  zevsite::EventStorage::setOverflowPolicy({policy == ZEVSiteOverflowPolicy::Block,
                                            std::max(blockTimeout, std::chrono::milliseconds(0))});
}
