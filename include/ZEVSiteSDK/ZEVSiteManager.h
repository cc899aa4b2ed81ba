/// @file
/// ZEVSiteManager: the one class through which a host application reports what its user
/// does.
#pragma once

#include <ZEVSiteSDK/ZEVSiteExport.h>
#include <ZEVSiteSDK/ZEVSiteValue.h>

#include <cstdint>
#include <memory>
#include <string>

/// The one class through which a host application reports what its user does.
///
/// @code
///   auto mgr = ZEVSiteManager::sharedInstanceWithAppId("123", "store");
///   mgr->trackPageView("Home", {{"customDimension2", "blue"}});
/// @endcode
///
/// Every tracking call checks its arguments, builds one event, serialises it and hands it
/// to the manager's task queue, which stores it on disk within 100 ms and sends it in the
/// background. Tracking calls do no disk or network I/O on the caller's thread, return
/// nothing and never throw the SDK's errors at the host: refusals are reported through
/// ZEVSiteLoger (see ZEVSiteManager::setEnableLog). Any thread may call any operation. The
/// host must not assume an event has been stored or sent when a call returns; use
/// ZEVSiteSupport::flush to wait for that.
class ZEVSITE_EXPORT ZEVSiteManager : public std::enable_shared_from_this<ZEVSiteManager> {
  struct PassKey {};

 public:
  // ---- class operations ----

  /// Creates a new manager for the numeric application id and the channel, makes it the
  /// shared manager (replacing any earlier one, which lives on until its start-up work has
  /// run) and returns the shared manager. With an accepted id, a start-up ("init") event is
  /// sent about 1.0 s later from the SDK's background pool. A rejected id (absent, empty or
  /// not only the digits 0-9) is logged and yields a manager that never sends anything.
  /// Installs the SDK's uncaught-exception handler on every call. Caller's thread.
  static std::shared_ptr<ZEVSiteManager> sharedInstanceWithAppId(ZEVSiteText appId,
                                                                 ZEVSiteText channel);
  /// The current shared manager, or nullptr before the first creation call. Never creates.
  /// Any thread; another thread's sharedInstanceWithAppId may replace it at any time.
  static std::shared_ptr<ZEVSiteManager> shareInstance();
  /// Switches the SDK's diagnostic log on or off (ZEVSiteLoger::setDebug); needs no manager.
  /// Any thread.
  static void setEnableLog(bool enable);
  /// This installation's client id in plain decimal ("" if it cannot be read or made).
  /// The first call may read or write the user defaults in the home directory. Any thread;
  /// ZEVSiteSupport::deleteAllData replaces the id, so a copy the host keeps may be stale.
  static std::string getCid();
  /// Reads the campaign values "qx_ca" and "qx_sp" from the URL that opened the application
  /// (its complete text) and records them; a new campaign goes out with the next start-up
  /// event, or at once when the first one has already gone. Any thread, any time, also before
  /// a manager exists. May dispatch an event on the caller's thread. A URL over 64 KiB is
  /// ignored and a campaign value over 1 KiB is cut, each with a log line. While tracking is
  /// disabled (ZEVSiteSupport::setTrackingEnabled) it does nothing and logs nothing.
  static void handleOpenURL(ZEVSiteText url);

  // ---- creation (prefer sharedInstanceWithAppId) ----

  /// A bare manager: no id, no task queue, not the shared manager. It sends nothing.
  /// Caller's thread.
  static std::shared_ptr<ZEVSiteManager> init();
  /// A manager for the id and channel, not made the shared manager. With an accepted id it
  /// creates and starts its task queue and schedules its start-up event; a rejected id is
  /// logged and yields a manager that sends nothing. Caller's thread.
  static std::shared_ptr<ZEVSiteManager> initWithAppId(ZEVSiteText appId, ZEVSiteText channel);

  // ---- tracking (instance operations) ----

  /// A page view titled `title` (refused when absent or empty), with the host's custom
  /// dimensions ("customDimensionN") and metrics ("customMetricsN"). Any thread.
  void trackPageView(ZEVSiteText title, const ZEVSiteValue& customDimMetrics = {});
  /// A classic event (category, action, label and value) with the host's custom dimensions
  /// and metrics; refused when category, action and label are all absent or empty. Any
  /// thread.
  void trackEvent(ZEVSiteText eventClassify, ZEVSiteText eventAction, ZEVSiteText eventTag,
                  std::int64_t eventPrice, const ZEVSiteValue& customDimMetrics = {});
  /// A custom action: a dictionary holding "customActionId" and at least one key containing
  /// "customActionLabel" or "customActionValue" (other keys are left out; anything less is
  /// refused), with the host's custom dimensions and metrics. Any thread.
  void trackSiteCustomEvent(const ZEVSiteValue& customEvent,
                            const ZEVSiteValue& customDimMetrics = {});
  /// A "pulse" event. Any thread.
  void trackPulse();
  /// A start-up ("init") event, carrying the channel, the first-launch flag and a waiting
  /// deep-link campaign. The SDK sends it itself after creation and for new campaigns, so
  /// the host need not call it. Any thread.
  void appStartRequest();
  /// Remembers the configuration URL and, on Wi-Fi when the last refresh is more than a day
  /// old or on 3G when it is more than three days old, refreshes the cached configuration
  /// document on the background pool. Returns at once. Any thread; asks
  /// ZEVSiteNetworkStatusSimple for the status on the calling thread.
  void configFromUrl(ZEVSiteText url);
  /// The one exit of every event: adds "tid" and "t" to a copy of `properties`, serialises it
  /// and hands it to the task queue. `uploadDics` is ignored. Any thread.
  void trackEventName(ZEVSiteText event, ZEVSiteText uploadDics,
                      const ZEVSiteDictionary& properties);
  /// Copies the custom dimensions and metrics of `DimMetrics` into `dict` under "cd..." and
  /// "cm..." keys; other keys are left out, and a value that is not a dictionary adds
  /// nothing. Any thread, one call per `dict` at a time.
  void appendParameterFor(ZEVSiteDictionary& dict, const ZEVSiteValue& DimMetrics);
  /// True when `string` consists of the digits 0-9 only (the empty string included); false
  /// for absent text. Any thread.
  bool isPureInt(const ZEVSiteText& string) const;

  /// For the SDK's creation operations only: PassKey is private, so a host creates managers
  /// with sharedInstanceWithAppId, initWithAppId or init.
  explicit ZEVSiteManager(PassKey);
  /// Runs on the thread that releases the last reference.
  ~ZEVSiteManager();
  /// A manager is shared through std::shared_ptr, never copied.
  ZEVSiteManager(const ZEVSiteManager&) = delete;
  /// A manager is shared through std::shared_ptr, never copied.
  ZEVSiteManager& operator=(const ZEVSiteManager&) = delete;

 private:
  struct Impl;                            // the manager's fields, defined inside the library
  friend class ZEVSiteManagerTestAccess;  // lets the SDK's own tests reach the fields

  void updateSdkConfig();
  void runStartupWork();
  // The dispatch itself; takes the event parameters over, so the SDK's own tracking
  // operations hand theirs on without a copy. True once the task queue has the event.
  bool dispatchEvent(ZEVSiteText event, ZEVSiteDictionary parameters);
  static void refreshConfiguration(const std::weak_ptr<ZEVSiteManager>& weakManager);

  std::unique_ptr<Impl> impl_;
};
