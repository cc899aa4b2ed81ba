// The C interface (<ZEVSiteSDK/zevsite.h>) over the C++ API. Each function converts its
// arguments (a null const char* is absent text), calls the C++ operation and catches every
// exception, so none crosses into a C caller. Host callbacks are kept in registrations that
// count the calls in flight, so that replacing a callback can wait for them: the host may
// free a callback's context once the setter returns.
#include <ZEVSiteSDK/ZEVSiteLoger.h>
#include <ZEVSiteSDK/ZEVSiteManager.h>
#include <ZEVSiteSDK/ZEVSiteNetworkStatusSimple.h>
#include <ZEVSiteSDK/ZEVSiteSupport.h>
#include <ZEVSiteSDK/ZEVSiteValue.h>
#include <ZEVSiteSDK/ZEVSiteVersion.h>
#include <ZEVSiteSDK/zevsite.h>

#include "Platform/ZEVSiteNoDestructor.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct zevsite_dict {
  ZEVSiteDictionary entries;
};

struct zevsite_manager {
  std::shared_ptr<ZEVSiteManager> manager;
};

// The C codes are the C++ statuses' values, so a provider's answer passes through as it is.
static_assert(int{ZEVSITE_NETWORK_NONE} == int{ZEVSiteNetworkStatus_None} &&
              int{ZEVSITE_NETWORK_WIFI} == int{ZEVSiteNetworkStatus_WiFi} &&
              int{ZEVSITE_NETWORK_WWAN} == int{ZEVSiteNetworkStatus_WWAN} &&
              int{ZEVSITE_NETWORK_2G} == int{ZEVSiteNetworkStatus_2G} &&
              int{ZEVSITE_NETWORK_3G} == int{ZEVSiteNetworkStatus_3G} &&
              int{ZEVSITE_NETWORK_4G} == int{ZEVSiteNetworkStatus_4G} &&
              int{ZEVSITE_NETWORK_UNKNOWN} == int{ZEVSiteNetworkStatus_Unknown});

namespace zevsite {
namespace {

ZEVSiteText text(const char* value) {
  if (!value) return std::nullopt;
  return std::string(value);
}

std::chrono::milliseconds millis(std::int64_t value) {
  return std::chrono::milliseconds(std::max<std::int64_t>(value, 0));
}

// Runs `body` for the C function `function`; any exception is logged and `fallback` returned.
template <class Result, class Body>
Result callGuarded(const char* function, Result fallback, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& error) {
    ZEVSiteLoger::adLog("[Site] %@ failed: %@", function, error);
  } catch (...) {
    ZEVSiteLoger::adLog("[Site] %@ failed: an unknown exception", function);
  }
  return fallback;
}

template <class Body>
void callGuarded(const char* function, Body&& body) noexcept {
  callGuarded(function, 0, [&] {
    body();
    return 0;
  });
}

// The manager behind `m`, or nullptr (logged) for a null reference.
ZEVSiteManager* managerOf(const zevsite_manager* m, const char* function) {
  if (!m || !m->manager) {
    ZEVSiteLoger::adLog("[Site] %@ called with a null manager: ignored", function);
    return nullptr;
  }
  return m->manager.get();
}

ZEVSiteValue valueOf(const zevsite_dict* d) {
  if (!d) return {};
  return ZEVSiteValue(d->entries);
}

void setValue(zevsite_dict* d, const char* key, ZEVSiteValue value, const char* function) {
  if (!d || !key) {
    ZEVSiteLoger::adLog("[Site] %@ called with a null dictionary or key: ignored", function);
    return;
  }
  callGuarded(function, [&] { d->entries.setValue(std::move(value), key); });
}

zevsite_manager* newReference(std::shared_ptr<ZEVSiteManager> manager) {
  if (!manager) return nullptr;
  return std::make_unique<zevsite_manager>(zevsite_manager{std::move(manager)}).release();
}

// Copies `value` into the host's buffer as zevsite_get_cid describes; returns its length.
std::int64_t copyOut(std::string_view value, char* buffer, std::size_t size) {
  if (buffer && size > 0) {
    const std::size_t copied = std::min(value.size(), size - 1);
    std::memcpy(buffer, value.data(), copied);
    buffer[copied] = '\0';
  }
  return static_cast<std::int64_t>(value.size());
}

// The same for a text that may be absent: "" and -1 when it is.
std::int64_t copyOutOptional(const ZEVSiteText& value, char* buffer, std::size_t size) {
  if (value) return copyOut(*value, buffer, size);
  copyOut("", buffer, size);
  return -1;
}

// One host callback with its context, from its installation until it is replaced. Calls
// enter and leave it; retire() stops new calls and waits for those in flight on other
// threads (a call on the retiring thread itself, a callback replacing itself, is not waited
// for).
template <class Function>
class Registration {
 public:
  Registration(Function function, void* context) : function_(function), context_(context) {}

  // Runs invoke(function, context) unless the registration is retired; false when retired.
  template <class Invoke>
  bool run(Invoke&& invoke) {
    if (!enter()) return false;
    struct Leave {
      Registration* self;
      ~Leave() { self->leave(); }
    } leave{this};
    invoke(function_, context_);
    return true;
  }

  void retire() {
    std::unique_lock lock(mutex_);
    retired_ = true;
    const int own = static_cast<int>(
        std::count(onThisThread().begin(), onThisThread().end(), static_cast<const void*>(this)));
    idle_.wait(lock, [&] { return active_ <= own; });
  }

 private:
  // The registrations whose callbacks run on this thread, innermost last.
  static std::vector<const void*>& onThisThread() {
    thread_local std::vector<const void*> running;
    return running;
  }

  bool enter() {
    onThisThread().push_back(this);  // first: it may throw, and nothing is counted yet
    std::lock_guard lock(mutex_);
    if (retired_) {
      onThisThread().pop_back();
      return false;
    }
    ++active_;
    return true;
  }

  void leave() {
    onThisThread().pop_back();
    std::lock_guard lock(mutex_);
    --active_;
    idle_.notify_all();
  }

  const Function function_;
  void* const context_;
  std::mutex mutex_;  // guards active_ and retired_
  std::condition_variable idle_;
  int active_ = 0;
  bool retired_ = false;
};

// The registration currently installed for one kind of callback. install() hands the SDK a
// function that calls the new registration, then retires the one it replaces.
template <class Function>
class CallbackSlot {
 public:
  using Installed = std::shared_ptr<Registration<Function>>;

  // `apply` gives the SDK the new registration (nullptr: none).
  template <class Apply>
  void install(Function function, void* context, Apply&& apply) {
    Installed next =
        function ? std::make_shared<Registration<Function>>(function, context) : nullptr;
    Installed previous;
    {
      std::lock_guard lock(mutex_);
      apply(next);
      previous = std::exchange(current_, next);
    }
    // Not under mutex_: a call in flight may itself be installing a callback.
    if (previous) previous->retire();
  }

 private:
  std::mutex mutex_;  // serialises installations
  Installed current_;
};

using LogSink = void (*)(const char*, std::size_t, void*);
using NetworkProvider = int (*)(void*);
using EventObserver = void (*)(const char*, std::size_t, const char*, std::size_t, void*);

// Never destroyed: the host may install callbacks while the process exits.
template <class Function>
CallbackSlot<Function>& slotFor() {
  static zevsite::NoDestructor<CallbackSlot<Function>> slot;
  return slot.get();
}

}  // namespace
}  // namespace zevsite

using zevsite::callGuarded;
using zevsite::EventObserver;
using zevsite::LogSink;
using zevsite::NetworkProvider;
using zevsite::text;

// ---- dictionaries ----

zevsite_dict* zevsite_dict_new(void) {
  return callGuarded("zevsite_dict_new", static_cast<zevsite_dict*>(nullptr),
                     [] { return std::make_unique<zevsite_dict>().release(); });
}

void zevsite_dict_set_string(zevsite_dict* d, const char* key, const char* value) {
  zevsite::setValue(d, key, ZEVSiteValue(value), "zevsite_dict_set_string");
}

void zevsite_dict_set_int(zevsite_dict* d, const char* key, int64_t value) {
  zevsite::setValue(d, key, ZEVSiteValue(value), "zevsite_dict_set_int");
}

void zevsite_dict_set_double(zevsite_dict* d, const char* key, double value) {
  zevsite::setValue(d, key, ZEVSiteValue(value), "zevsite_dict_set_double");
}

void zevsite_dict_set_bool(zevsite_dict* d, const char* key, int value) {
  zevsite::setValue(d, key, ZEVSiteValue(value != 0), "zevsite_dict_set_bool");
}

void zevsite_dict_set_null(zevsite_dict* d, const char* key) {
  zevsite::setValue(d, key, ZEVSiteValue(ZEVSiteNull{}), "zevsite_dict_set_null");
}

void zevsite_dict_set_dict(zevsite_dict* d, const char* key, const zevsite_dict* value) {
  // The copy is taken before setValue changes `d`, so a dictionary set into itself is copied
  // as it was.
  zevsite::setValue(d, key, zevsite::valueOf(value), "zevsite_dict_set_dict");
}

void zevsite_dict_remove(zevsite_dict* d, const char* key) {
  if (!d || !key) return;
  callGuarded("zevsite_dict_remove", [&] { d->entries.removeValueForKey(key); });
}

size_t zevsite_dict_count(const zevsite_dict* d) { return d ? d->entries.count() : 0; }

void zevsite_dict_free(zevsite_dict* d) { std::unique_ptr<zevsite_dict> owned(d); }

// ---- process-wide settings ----

void zevsite_set_home_directory(const char* path) {
  callGuarded("zevsite_set_home_directory",
              [&] { ZEVSiteSupport::setHomeDirectory(path ? path : ""); });
}

int64_t zevsite_get_home_directory(char* buffer, size_t size) {
  return callGuarded("zevsite_get_home_directory", std::int64_t{-1}, [&] {
    return zevsite::copyOut(ZEVSiteSupport::homeDirectory(), buffer, size);
  });
}

void zevsite_set_collect_url(const char* url) {
  callGuarded("zevsite_set_collect_url", [&] { ZEVSiteSupport::setCollectURL(text(url)); });
}

int64_t zevsite_get_collect_url(char* buffer, size_t size) {
  return callGuarded("zevsite_get_collect_url", std::int64_t{-1}, [&] {
    return zevsite::copyOutOptional(ZEVSiteSupport::collectURL(), buffer, size);
  });
}

void zevsite_set_enable_log(int enable) {
  callGuarded("zevsite_set_enable_log", [&] { ZEVSiteManager::setEnableLog(enable != 0); });
}

int zevsite_is_log_enabled(void) { return ZEVSiteLoger::isDebug() ? 1 : 0; }

void zevsite_set_log_sink(void (*sink)(const char* line, size_t length, void* context),
                          void* context) {
  callGuarded("zevsite_set_log_sink", [&] {
    zevsite::slotFor<zevsite::LogSink>().install(sink, context, [](const auto& registration) {
      if (!registration) return ZEVSiteLoger::setSink(nullptr);
      ZEVSiteLoger::setSink([registration](std::string_view line) {
        const std::string terminated(line);  // the sink gets a NUL-terminated copy
        registration->run([&](LogSink sink, void* context) {
          sink(terminated.c_str(), terminated.size(), context);
        });
      });
    });
  });
}

void zevsite_set_network_status_provider(int (*provider)(void* context), void* context) {
  callGuarded("zevsite_set_network_status_provider", [&] {
    zevsite::slotFor<zevsite::NetworkProvider>().install(
        provider, context, [](const auto& registration) {
          if (!registration) return ZEVSiteNetworkStatusSimple::setProvider(nullptr);
          ZEVSiteNetworkStatusSimple::setProvider([registration] {
            // The SDK's provider must not throw: out of memory, the status cannot be told.
            const auto asked = zevsite::callGuarded(
                "the network status provider", std::optional<int>(ZEVSITE_NETWORK_UNKNOWN), [&] {
                  std::optional<int> status;
                  registration->run(
                      [&](NetworkProvider provider, void* context) { status = provider(context); });
                  return status;
                });
            // A provider replaced while the SDK asked it: the replacement answers.
            if (!asked) return ZEVSiteNetworkStatusSimple::currentNetworkStatus();
            return static_cast<ZEVSiteNetworkStatus>(*asked);
          });
        });
  });
}

void zevsite_set_event_observer(void (*observer)(const char* event_name, size_t name_length,
                                                 const char* upload, size_t upload_length,
                                                 void* context),
                                void* context) {
  callGuarded("zevsite_set_event_observer", [&] {
    zevsite::slotFor<zevsite::EventObserver>().install(
        observer, context, [](const auto& registration) {
          if (!registration) return ZEVSiteSupport::setEventObserver(nullptr);
          ZEVSiteSupport::setEventObserver(
              [registration](std::string_view name, std::string_view upload) {
                const std::string terminatedName(name);
                const std::string terminatedUpload(upload);
                registration->run([&](EventObserver observer, void* context) {
                  observer(terminatedName.c_str(), terminatedName.size(), terminatedUpload.c_str(),
                           terminatedUpload.size(), context);
                });
              });
        });
  });
}

void zevsite_set_request_timeout(int64_t timeout_ms) {
  callGuarded("zevsite_set_request_timeout",
              [&] { ZEVSiteSupport::setRequestTimeout(zevsite::millis(timeout_ms)); });
}

int64_t zevsite_get_request_timeout(void) {
  return callGuarded("zevsite_get_request_timeout", std::int64_t{0}, [] {
    return static_cast<std::int64_t>(ZEVSiteSupport::requestTimeout().count());
  });
}

// ---- managers ----

zevsite_manager* zevsite_shared_instance(const char* app_id, const char* channel) {
  return callGuarded("zevsite_shared_instance", static_cast<zevsite_manager*>(nullptr), [&] {
    return zevsite::newReference(
        ZEVSiteManager::sharedInstanceWithAppId(text(app_id), text(channel)));
  });
}

zevsite_manager* zevsite_share_instance(void) {
  return callGuarded("zevsite_share_instance", static_cast<zevsite_manager*>(nullptr),
                     [] { return zevsite::newReference(ZEVSiteManager::shareInstance()); });
}

zevsite_manager* zevsite_manager_new(const char* app_id, const char* channel) {
  return callGuarded("zevsite_manager_new", static_cast<zevsite_manager*>(nullptr), [&] {
    return zevsite::newReference(ZEVSiteManager::initWithAppId(text(app_id), text(channel)));
  });
}

void zevsite_manager_release(zevsite_manager* m) {
  callGuarded("zevsite_manager_release", [&] { std::unique_ptr<zevsite_manager> owned(m); });
}

// ---- tracking ----

void zevsite_track_page_view(zevsite_manager* m, const char* title, const zevsite_dict* dims) {
  callGuarded("zevsite_track_page_view", [&] {
    if (auto* manager = zevsite::managerOf(m, "zevsite_track_page_view")) {
      manager->trackPageView(text(title), zevsite::valueOf(dims));
    }
  });
}

void zevsite_track_event(zevsite_manager* m, const char* category, const char* action,
                         const char* label, int64_t value, const zevsite_dict* dims) {
  callGuarded("zevsite_track_event", [&] {
    if (auto* manager = zevsite::managerOf(m, "zevsite_track_event")) {
      manager->trackEvent(text(category), text(action), text(label), value, zevsite::valueOf(dims));
    }
  });
}

void zevsite_track_custom_action(zevsite_manager* m, const zevsite_dict* action,
                                 const zevsite_dict* dims) {
  callGuarded("zevsite_track_custom_action", [&] {
    if (auto* manager = zevsite::managerOf(m, "zevsite_track_custom_action")) {
      manager->trackSiteCustomEvent(zevsite::valueOf(action), zevsite::valueOf(dims));
    }
  });
}

void zevsite_track_pulse(zevsite_manager* m) {
  callGuarded("zevsite_track_pulse", [&] {
    if (auto* manager = zevsite::managerOf(m, "zevsite_track_pulse")) manager->trackPulse();
  });
}

void zevsite_app_start_request(zevsite_manager* m) {
  callGuarded("zevsite_app_start_request", [&] {
    if (auto* manager = zevsite::managerOf(m, "zevsite_app_start_request")) {
      manager->appStartRequest();
    }
  });
}

void zevsite_track_event_name(zevsite_manager* m, const char* event, const char* upload_dics,
                              const zevsite_dict* properties) {
  callGuarded("zevsite_track_event_name", [&] {
    if (auto* manager = zevsite::managerOf(m, "zevsite_track_event_name")) {
      manager->trackEventName(text(event), text(upload_dics),
                              properties ? properties->entries : ZEVSiteDictionary{});
    }
  });
}

void zevsite_append_parameter_for(zevsite_manager* m, zevsite_dict* dict,
                                  const zevsite_dict* dims) {
  callGuarded("zevsite_append_parameter_for", [&] {
    auto* manager = zevsite::managerOf(m, "zevsite_append_parameter_for");
    if (manager && dict) manager->appendParameterFor(dict->entries, zevsite::valueOf(dims));
  });
}

int zevsite_is_pure_int(const zevsite_manager* m, const char* value) {
  return callGuarded("zevsite_is_pure_int", 0, [&] {
    const auto* manager = zevsite::managerOf(m, "zevsite_is_pure_int");
    return manager && manager->isPureInt(text(value)) ? 1 : 0;
  });
}

void zevsite_handle_open_url(const char* url) {
  callGuarded("zevsite_handle_open_url", [&] { ZEVSiteManager::handleOpenURL(text(url)); });
}

void zevsite_config_from_url(zevsite_manager* m, const char* url) {
  callGuarded("zevsite_config_from_url", [&] {
    if (auto* manager = zevsite::managerOf(m, "zevsite_config_from_url")) {
      manager->configFromUrl(text(url));
    }
  });
}

int64_t zevsite_get_cid(char* buffer, size_t size) {
  return callGuarded("zevsite_get_cid", std::int64_t{-1},
                     [&] { return zevsite::copyOut(ZEVSiteManager::getCid(), buffer, size); });
}

// ---- delivery and lifetime ----

int zevsite_flush(int64_t timeout_ms) {
  return callGuarded("zevsite_flush", 0,
                     [&] { return ZEVSiteSupport::flush(zevsite::millis(timeout_ms)) ? 1 : 0; });
}

void zevsite_set_overflow_policy(int drop_oldest, int64_t block_timeout_ms) {
  callGuarded("zevsite_set_overflow_policy", [&] {
    ZEVSiteSupport::setOverflowPolicy(
        drop_oldest ? ZEVSiteOverflowPolicy::DropOldest : ZEVSiteOverflowPolicy::Block,
        zevsite::millis(block_timeout_ms));
  });
}

void zevsite_get_statistics(zevsite_statistics* out, size_t size) {
  if (!out) return;
  callGuarded("zevsite_get_statistics", 0, [&] {
    const ZEVSiteStatistics statistics = ZEVSiteSupport::statistics();
    zevsite_statistics filled{};
    filled.tracked = statistics.tracked;
    filled.refused = statistics.refused;
    filled.dropped_overflow = statistics.dropped.overflow;
    filled.dropped_expiry = statistics.dropped.expiry;
    filled.dropped_event_limit = statistics.dropped.eventLimit;
    filled.dropped_rejected = statistics.dropped.rejected;
    filled.stored = statistics.stored;
    filled.pending = statistics.pending;
    filled.delivered = statistics.delivered;
    filled.upload_failures = statistics.uploadFailures;
    filled.last_upload_ms = statistics.lastUploadMillis.value_or(0);
    // A caller built against an older header passes a smaller size; a newer one, a larger.
    std::memset(out, 0, size);
    std::memcpy(out, &filled, std::min(size, sizeof filled));
    return 0;
  });
}

int zevsite_shutdown(int64_t timeout_ms) {
  return callGuarded("zevsite_shutdown", 0,
                     [&] { return ZEVSiteSupport::shutdown(zevsite::millis(timeout_ms)) ? 1 : 0; });
}

const char* zevsite_sdk_version(void) { return ZEVSITE_VERSION_STRING; }

// ---- the user's choice ----

void zevsite_set_tracking_enabled(int enabled) {
  callGuarded("zevsite_set_tracking_enabled",
              [&] { ZEVSiteSupport::setTrackingEnabled(enabled != 0); });
}

int zevsite_is_tracking_enabled(void) {
  return callGuarded("zevsite_is_tracking_enabled", 1,
                     [] { return ZEVSiteSupport::isTrackingEnabled() ? 1 : 0; });
}

int zevsite_delete_all_data(int64_t timeout_ms) {
  return callGuarded("zevsite_delete_all_data", 0, [&] {
    return ZEVSiteSupport::deleteAllData(zevsite::millis(timeout_ms)) ? 1 : 0;
  });
}

// ---- the host's network ----

void zevsite_set_proxy(const char* proxy_url) {
  callGuarded("zevsite_set_proxy", [&] { ZEVSiteSupport::setProxy(text(proxy_url)); });
}

void zevsite_set_ca_bundle(const char* path) {
  callGuarded("zevsite_set_ca_bundle", [&] { ZEVSiteSupport::setCABundle(text(path)); });
}

void zevsite_set_compression(int enabled) {
  callGuarded("zevsite_set_compression", [&] { ZEVSiteSupport::setCompression(enabled != 0); });
}

void zevsite_set_dispatch_interval(int64_t interval_ms) {
  callGuarded("zevsite_set_dispatch_interval",
              [&] { ZEVSiteSupport::setDispatchInterval(zevsite::millis(interval_ms)); });
}

void zevsite_set_app_version(const char* version, const char* build) {
  callGuarded("zevsite_set_app_version",
              [&] { ZEVSiteSupport::setAppVersion(text(version), text(build)); });
}

void zevsite_set_user_id(const char* user_id) {
  callGuarded("zevsite_set_user_id", [&] { ZEVSiteSupport::setUserId(text(user_id)); });
}

int64_t zevsite_get_user_id(char* buffer, size_t size) {
  return callGuarded("zevsite_get_user_id", std::int64_t{-1}, [&] {
    return zevsite::copyOutOptional(ZEVSiteSupport::userId(), buffer, size);
  });
}

void zevsite_set_default_custom_dim_metrics(const zevsite_dict* dims) {
  callGuarded("zevsite_set_default_custom_dim_metrics",
              [&] { ZEVSiteSupport::setDefaultCustomDimMetrics(zevsite::valueOf(dims)); });
}

void zevsite_set_screen_size(int width, int height) {
  callGuarded("zevsite_set_screen_size", [&] { ZEVSiteSupport::setScreenSize(width, height); });
}

void zevsite_set_session_timeout(int64_t timeout_seconds) {
  callGuarded("zevsite_set_session_timeout", [&] {
    ZEVSiteSupport::setSessionTimeout(std::chrono::seconds(std::max<int64_t>(timeout_seconds, 1)));
  });
}

void zevsite_set_application_active(int active) {
  callGuarded("zevsite_set_application_active",
              [&] { ZEVSiteSupport::setApplicationActive(active != 0); });
}
