// The manager's lifecycle: the shared manager, creation, the start-up work, the start-up
// and pulse events, the log switch and the client id.
#include <ZEVSiteSDK/ZEVSiteManager.h>

#include <ZEVSiteSDK/ZEVSiteLoger.h>
#include <ZEVSiteSDK/ZEVSiteNetworkStatus.h>
#include <ZEVSiteSDK/ZEVSiteSupport.h>

#include "Platform/ZEVSiteForkSafety.h"
#include "Platform/ZEVSiteMutex.h"
#include "Platform/ZEVSiteNoDestructor.h"
#include "Platform/ZEVSitePlatform.h"
#include "Save/ZEVSiteDeepLinkModel.h"
#include "Save/ZEVSiteSaveParameter.h"
#include "ZEVSiteEventContext.h"
#include "ZEVSiteGuard.h"
#include "ZEVSiteManagerImpl.h"
#include "ZEVSiteTaskQueue.h"
#include "ZEVSiteUserChoice.h"
#include "ZEVUncaughtExceptionHandler.h"

#include <chrono>

namespace {

// The shared manager: an atomic shared pointer, so that a host thread reading it while
// another replaces it always gets a whole, live manager. A short mutex rather than
// std::atomic<std::shared_ptr>: same load and exchange, and ThreadSanitizer can check it
// (it cannot see the lock bit inside libstdc++'s atomic shared pointer).
class SharedManagerSlot {
 public:
  SharedManagerSlot() {
    zevsite::forksafety::registerLock(mutex_, zevsite::forksafety::kSharedManager);
  }
  std::shared_ptr<ZEVSiteManager> load() {
    zevsite::MutexLock lock(mutex_);
    return manager_;
  }
  std::shared_ptr<ZEVSiteManager> exchange(std::shared_ptr<ZEVSiteManager> manager) {
    zevsite::MutexLock lock(mutex_);
    manager_.swap(manager);
    return manager;
  }

 private:
  // Guards manager_; held only to copy or swap the pointer. Rank kSharedManager for fork().
  zevsite::Mutex mutex_;
  std::shared_ptr<ZEVSiteManager> manager_ ZEVSITE_GUARDED_BY(mutex_);
};

SharedManagerSlot& sharedManager() {
  static zevsite::NoDestructor<SharedManagerSlot> instance;
  return instance.get();
}

// The start-up work runs this long after creation.
constexpr double kStartupDelaySeconds = 1.0;

}  // namespace

ZEVSiteManager::ZEVSiteManager(PassKey) : impl_(std::make_unique<Impl>()) {}

ZEVSiteManager::~ZEVSiteManager() = default;

std::shared_ptr<ZEVSiteManager> ZEVSiteManager::sharedInstanceWithAppId(ZEVSiteText appId,
                                                                        ZEVSiteText channel) {
  zevsite::guarded([&] {
    ZEVUncaughtExceptionHandler::installZEVUncaughtExceptionHandler(true, false);
    auto manager = initWithAppId(std::move(appId), std::move(channel));
    // The previous manager is released only after the new one is in place.
    auto previous = sharedManager().exchange(std::move(manager));
  });
  return sharedManager().load();
}

std::shared_ptr<ZEVSiteManager> ZEVSiteManager::shareInstance() { return sharedManager().load(); }

void ZEVSiteManager::setEnableLog(bool enable) { ZEVSiteLoger::setDebug(enable); }

std::string ZEVSiteManager::getCid() {
  std::string cid;
  zevsite::guarded([&] { cid = std::to_string(ZEVSiteSaveParameter::shareInstance().getCid()); });
  return cid;
}

std::shared_ptr<ZEVSiteManager> ZEVSiteManager::init() {
  return std::make_shared<ZEVSiteManager>(PassKey{});
}

std::shared_ptr<ZEVSiteManager> ZEVSiteManager::initWithAppId(ZEVSiteText appId,
                                                              ZEVSiteText channel) {
  auto manager = init();
  // After a caught failure the manager is returned as far as it was built.
  zevsite::guarded([&] {
    manager->impl_->appId = std::move(appId);
    manager->impl_->channel = std::move(channel);
    const ZEVSiteText& id = manager->impl_->appId;
    if (!id || id->empty() || !manager->isPureInt(id)) {
      ZEVSiteLoger::adLog(
          "[Site] Site SDK initlize failed,appId has to be a pure number,Please check your "
          "code.");
      return;
    }
    ZEVSiteSupport::setAppId(id);
    // Events need the client id; have it in memory before the host's first tracking call,
    // with the user id and the session, which its load reads for the event context.
    zevsite::EventContext::instance();
    ZEVSiteSaveParameter::shareInstance().prefetch();
    zevsite::choice::prefetch();  // and the user's choice, which every tracking call checks
    // and the system's description, which every event carries.
    ZEVSitePlatform::current().dispatchAsync([] { zevsite::EventContext::prepare(); });
    manager->impl_->taskQueue = ZEVSiteTaskQueue::initWithSendSendCondition(
        ZEVSiteNetworkConditionWWAN | ZEVSiteNetworkConditionWifi);
    manager->impl_->taskQueue->execute();
    const auto delay =
        std::chrono::nanoseconds(static_cast<std::int64_t>(kStartupDelaySeconds * 1'000'000'000.0));
    // The work holds the manager strongly, so a replaced manager still sends its "init".
    ZEVSitePlatform::current().dispatchAfter(delay, [manager] { manager->runStartupWork(); });
  });
  return manager;
}

bool ZEVSiteManager::isPureInt(const ZEVSiteText& string) const {
  if (!string) return false;
  for (char c : *string) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

void ZEVSiteManager::runStartupWork() {
  // The record's lock is held from the start-up event's read of the campaign until SdkInit
  // is set, so a campaign recorded by handleOpenURL on another thread either rides on this
  // event or, arriving after, is sent by handleOpenURL itself.
  auto& record = ZEVSiteDeepLinkModel::shareInstance();
  zevsite::RecursiveMutexLock lock(record.lock());
  appStartRequest();
  record.setSdkInit(true);
}

void ZEVSiteManager::appStartRequest() {
  zevsite::guarded([&] {
    if (!ZEVSiteSupport::isTrackingEnabled()) return;  // opted out: not even a log line
    ZEVSiteDictionary parameters;
    const ZEVSiteText& channel = impl_->channel;
    if (channel && !channel->empty()) parameters.setValue(*channel, "pkid");
    auto& record = ZEVSiteDeepLinkModel::shareInstance();
    zevsite::RecursiveMutexLock lock(record.lock());
    const bool activated = ZEVSiteSupport::isActivated();
    parameters.setValue(activated ? 0 : 1, "inst");
    parameters.setValue(1, "ni");
    const bool carriesCampaign = record.deepLinkInit();
    if (carriesCampaign) {
      parameters.setValue(1, "sc");
      parameters.setValue(1, "dpl");
      parameters.setValue(record.qxc(), "qxc");
      parameters.setValue(record.qxs(), "qxs");
    }
    // Activation and the campaign count as reported only once the task queue has the
    // event: a refused start-up event leaves both for the next one.
    if (!dispatchEvent("init", std::move(parameters))) return;
    if (!activated) ZEVSiteSupport::setActivated();
    if (carriesCampaign) {
      record.setDeepLinkInit(false);
      record.setDeepLinkPacket(true);
    }
  });
}

void ZEVSiteManager::trackPulse() {
  zevsite::guarded([&] {
    if (!ZEVSiteSupport::isTrackingEnabled()) return;  // opted out: not even a log line
    ZEVSiteDictionary parameters;
    parameters.setValue(1, "ni");
    dispatchEvent("pulse", std::move(parameters));
  });
}
