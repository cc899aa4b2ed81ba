#include "ZEVSiteTaskQueue.h"
#include "Platform/ZEVSiteForkSafety.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>
#include <ZEVSiteSDK/ZEVSiteNetworkStatusSimple.h>
#include <ZEVSiteSDK/ZEVSiteSupport.h>

#include "Config/ZEVSiteConfigCache.h"
#include "Network/ZEVSiteNetworkSettings.h"
#include "Platform/ZEVSiteMutex.h"
#include "Platform/ZEVSiteNoDestructor.h"
#include "Platform/ZEVSitePlatform.h"
#include "Queue/ZEVSiteEventSender.h"
#include "Queue/ZEVSiteEventStorage.h"
#include "ZEVSiteSupportInternal.h"

#include <mutex>
#include <optional>

namespace {

struct ObserverSlot {
  std::atomic<bool> installed{false};  // lets addTask skip the lock when there is none
  zevsite::Mutex mutex;                // guards observer
  std::shared_ptr<const ZEVSiteSupport::EventObserver> observer ZEVSITE_GUARDED_BY(mutex);
  // Set once the installed observer has thrown and that was logged: one line per observer.
  std::atomic<bool> failureLogged{false};
};

void logObserverFailure(ObserverSlot& slot, std::string_view what) {
  if (slot.failureLogged.exchange(true)) return;
  ZEVSiteLoger::adLog(
      "[Site] event observer threw (%@); the event is kept, later throws of "
      "this observer are not logged",
      what);
}

ObserverSlot& observerSlot() {
  static zevsite::NoDestructor<ObserverSlot> slot;
  static const bool forkSafe =
      zevsite::forksafety::registered(slot.get().mutex, zevsite::forksafety::kLeaf);
  (void)forkSafe;
  return slot.get();
}

// The send-condition flags a network status satisfies. Unknown may be either link.
int conditionFlagsFor(int status) {
  switch (status) {
    case ZEVSiteNetworkStatus_WiFi:
      return ZEVSiteNetworkConditionWifi;
    case ZEVSiteNetworkStatus_WWAN:
    case ZEVSiteNetworkStatus_2G:
    case ZEVSiteNetworkStatus_3G:
    case ZEVSiteNetworkStatus_4G:
      return ZEVSiteNetworkConditionWWAN;
    case ZEVSiteNetworkStatus_Unknown:
      return ZEVSiteNetworkConditionWifi | ZEVSiteNetworkConditionWWAN;
    default:
      return 0;
  }
}

// The sender reads the host's settings through these at each attempt, on its own thread.
zevsite::SenderSettings senderSettings() {
  zevsite::SenderSettings settings;
  settings.collectURL = [] { return ZEVSiteSupport::collectURL(); };
  settings.trackingEnabled = [] { return ZEVSiteSupport::isTrackingEnabled(); };
  // The host's timeout, else the cached configuration's (kept in memory).
  settings.requestTimeout = [] {
    return zevsite::config::requestTimeout(ZEVSiteSupport::requestTimeout());
  };
  settings.compression = [] { return zevsite::net::networkSettings().compression; };
  settings.dispatchInterval = [] { return zevsite::net::networkSettings().dispatchInterval; };
  settings.networkConditions = [] {
    return conditionFlagsFor(ZEVSiteNetworkStatusSimple::currentNetworkStatus());
  };
  settings.makeTransport = [] { return zevsite::net::makeTransport(); };
  return settings;
}

// Wires the components below the facade together, once per process: the limits of a cached
// configuration go to the event storage of their home directory.
void wireComponentsOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    zevsite::config::setLimitsListener(
        [](const std::string& home, const zevsite::config::ConfigLimits& limits) {
          zevsite::EventStorage::forHome(home)->setLimits(limits.maxEvents, limits.expirationSecs);
        });
  });
}

}  // namespace

std::shared_ptr<ZEVSiteTaskQueue> ZEVSiteTaskQueue::initWithSendSendCondition(int sendCondition) {
  wireComponentsOnce();
  auto storage = zevsite::EventStorage::forHome(ZEVSitePlatform::current().homeDirectory());
  return std::make_shared<ZEVSiteTaskQueue>(PassKey{}, sendCondition, std::move(storage));
}

ZEVSiteTaskQueue::ZEVSiteTaskQueue(PassKey, int sendCondition,
                                   std::shared_ptr<zevsite::EventStorage> storage)
    : sendCondition_(sendCondition), storage_(std::move(storage)) {}

void ZEVSiteTaskQueue::execute() {
  executing_.store(true, std::memory_order_release);
  zevsite::EventSender::forStorage(storage_, senderSettings())->addSendCondition(sendCondition_);
  // The cached configuration's limits are read from disk on the background pool.
  ZEVSitePlatform::current().dispatchAsync([] { zevsite::config::applyCachedLimits(); });
}

void ZEVSiteTaskQueue::addTask(std::string_view uploadString, std::string_view eventName) {
  // The host's observer may throw anything; the event is staged whatever it does.
  auto& slot = observerSlot();
  try {
    notifyObserver(eventName, uploadString);
  } catch (const std::exception& error) {
    logObserverFailure(slot, error.what());
  } catch (...) {
    logObserverFailure(slot, "not a std::exception");
  }
  storage_->accept(eventName, uploadString, ZEVSitePlatform::current().currentTimeMillis());
  zevsite::support::eventAccepted();  // one line while no collect URL is set
}

void ZEVSiteTaskQueue::notifyObserver(std::string_view eventName, std::string_view uploadString) {
  auto& slot = observerSlot();
  if (!slot.installed.load(std::memory_order_acquire)) return;
  std::shared_ptr<const ZEVSiteSupport::EventObserver> observer;
  {
    zevsite::MutexLock lock(slot.mutex);
    observer = slot.observer;
  }
  if (observer && *observer) (*observer)(eventName, uploadString);
}

void ZEVSiteTaskQueue::setEventObserver(ZEVSiteSupport::EventObserver observer) {
  auto& slot = observerSlot();
  zevsite::MutexLock lock(slot.mutex);
  bool installed = static_cast<bool>(observer);
  slot.observer = installed
                      ? std::make_shared<const ZEVSiteSupport::EventObserver>(std::move(observer))
                      : nullptr;
  slot.installed.store(installed, std::memory_order_release);
  slot.failureLogged.store(false);
}
