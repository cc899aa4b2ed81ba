/// @file
/// The ZEVSite SDK's C interface: the whole of what the C++ API offers a host, for programs
/// written in C (C11 or later) and for other languages' bindings (ctypes, cffi, P/Invoke,
/// Swift). It includes no C++ header and uses no C++ type; a C++ host may use it as well.
///
/// @code
///   #include <ZEVSiteSDK/zevsite.h>
///
///   zevsite_set_collect_url("https://collector.example.com/collect");
///   zevsite_manager* m = zevsite_shared_instance("123", "store");
///   zevsite_dict* dims = zevsite_dict_new();
///   zevsite_dict_set_string(dims, "customDimension2", "blue");
///   zevsite_track_page_view(m, "Home", dims);
///   zevsite_dict_free(dims);
///   zevsite_flush(5000);
///   zevsite_manager_release(m);
/// @endcode
///
/// Conventions of every function here:
/// - Text is UTF-8 and NUL-terminated. A null `const char*` stands for absent text, `""` for
///   an empty text; the SDK copies what it keeps, so the host may free or reuse its strings
///   as soon as a call returns.
/// - Any thread may call any function, unless its comment says otherwise. Tracking calls
///   return without waiting for the disk or the network; only the functions that say so
///   block.
/// - No C++ exception leaves the library: a failure inside a call (running out of memory
///   included) is reported through the diagnostic log (zevsite_set_enable_log) and the call
///   returns its documented fallback. Refused calls (an empty page title, a null manager) are
///   logged too, never reported in another way. The host must not parse the log lines.
/// - Timeouts are in milliseconds; a negative one counts as zero.
/// - A callback the host installs is called on SDK threads or host threads as its setter
///   says, possibly from several threads at once; it must return normally (no longjmp, no C++
///   exception). Installing another callback (or NULL) waits for calls of the old one in
///   flight on other threads, so the old context may be freed once the setter returns.
#ifndef ZEVSITE_ZEVSITE_H
#define ZEVSITE_ZEVSITE_H

#include <ZEVSiteSDK/ZEVSiteVersion.h>
#include <ZEVSiteSDK/ZEVSiteVisibility.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/// A reference to a manager (ZEVSiteManager in C++): the object through which the host
/// reports what its user does. Each reference the SDK returns is the caller's to release
/// with zevsite_manager_release; the manager lives on while the SDK or another reference
/// needs it.
typedef struct zevsite_manager zevsite_manager;

/// A dictionary of keys and values (ZEVSiteDictionary in C++): custom dimensions
/// ("customDimensionN", text) and metrics ("customMetricsN", numbers), a custom action's keys,
/// event properties. Keys keep their insertion order; setting a key again replaces its value
/// in place. One thread may change a dictionary while no other uses it; any number of threads
/// may pass it to tracking calls at once. The SDK copies it, so the host may change or free
/// it as soon as a call returns.
typedef struct zevsite_dict zevsite_dict;

/// Network status codes, as a network status provider returns them (the values of
/// ZEVSiteNetworkStatus in C++). The SDK sends on every status but ZEVSITE_NETWORK_NONE (and
/// codes it does not know).
enum zevsite_network_status {
  ZEVSITE_NETWORK_NONE = 0,    ///< No link: nothing is sent.
  ZEVSITE_NETWORK_WIFI = 1,    ///< Wi-Fi, or another unmetered link such as a wired one.
  ZEVSITE_NETWORK_WWAN = 2,    ///< A cellular link of unknown generation.
  ZEVSITE_NETWORK_2G = 3,      ///< A 2G cellular link; counts as WWAN.
  ZEVSITE_NETWORK_3G = 4,      ///< A 3G cellular link; counts as WWAN.
  ZEVSITE_NETWORK_4G = 5,      ///< A 4G cellular link; counts as WWAN.
  ZEVSITE_NETWORK_UNKNOWN = 6  ///< The status cannot be told; counts as either link.
};

/// Receives one diagnostic line: `line` holds `length` bytes followed by a NUL, valid only
/// during the call. Called on the thread that logged (host threads and SDK threads), one
/// line at a time.
typedef void (*zevsite_log_sink_fn)(const char* line, size_t length, void* context);

/// Reports the network status: returns one of the zevsite_network_status codes. Called on
/// SDK threads and on the thread of zevsite_config_from_url, possibly from several at once.
typedef int (*zevsite_network_status_fn)(void* context);

/// Sees one accepted event: its name ("pageview", "event", "init", ...) and its upload string
/// as sent to the collector, each `..._length` bytes followed by a NUL and valid only during
/// the call. Called on the thread that tracked it (a host thread, or an SDK thread for
/// start-up events), possibly from several threads at once, before the event is stored.
typedef void (*zevsite_event_observer_fn)(const char* event_name, size_t name_length,
                                          const char* upload, size_t upload_length, void* context);

/* ---- dictionaries ---- */

/// A new, empty dictionary, to be freed with zevsite_dict_free; NULL when memory ran out.
ZEVSITE_EXPORT zevsite_dict* zevsite_dict_new(void);
/// Sets `key` to a copy of the text `value`; a null `value` removes the key. A null
/// dictionary or key is ignored.
ZEVSITE_EXPORT void zevsite_dict_set_string(zevsite_dict* d, const char* key, const char* value);
/// Sets `key` to a signed 64-bit integer. A null dictionary or key is ignored.
ZEVSITE_EXPORT void zevsite_dict_set_int(zevsite_dict* d, const char* key, int64_t value);
/// Sets `key` to a double. A null dictionary or key is ignored.
ZEVSITE_EXPORT void zevsite_dict_set_double(zevsite_dict* d, const char* key, double value);
/// Sets `key` to a bool: zero is false, anything else true. A null dictionary or key is
/// ignored.
ZEVSITE_EXPORT void zevsite_dict_set_bool(zevsite_dict* d, const char* key, int value);
/// Sets `key` to the null placeholder (a present value that stands for "nothing"). A null
/// dictionary or key is ignored.
ZEVSITE_EXPORT void zevsite_dict_set_null(zevsite_dict* d, const char* key);
/// Sets `key` to a copy of the dictionary `value` (nested); a null `value` removes the key.
/// A null dictionary or key is ignored. Setting a dictionary into itself copies it as it
/// was before the call.
ZEVSITE_EXPORT void zevsite_dict_set_dict(zevsite_dict* d, const char* key,
                                          const zevsite_dict* value);
/// Removes `key` and its value, if present; the other keys keep their order.
ZEVSITE_EXPORT void zevsite_dict_remove(zevsite_dict* d, const char* key);
/// The number of keys (0 for a null dictionary).
ZEVSITE_EXPORT size_t zevsite_dict_count(const zevsite_dict* d);
/// Frees the dictionary; NULL is ignored. The host must not use it afterwards.
ZEVSITE_EXPORT void zevsite_dict_free(zevsite_dict* d);

/* ---- process-wide settings (set them before zevsite_shared_instance) ---- */

/// The SDK's data directory (store, client id, cached configuration); a null `path` counts
/// as "". Default: `$ZEVSITE_HOME`, else `$XDG_DATA_HOME/zevsite/<application>`, else
/// `<home>/.local/share/zevsite/<application>`; without any, events stay in memory until one
/// is set. Any thread.
ZEVSITE_EXPORT void zevsite_set_home_directory(const char* path);
/// Copies the home directory in use ("" while there is none) into `buffer` (see
/// zevsite_get_cid for the buffer's rules) and returns its length, or -1 on failure.
ZEVSITE_EXPORT int64_t zevsite_get_home_directory(char* buffer, size_t size);
/// Where the SDK posts its batches of events; NULL or "" means none: events are then stored
/// and kept until one is set (the first one kept so is logged). Any thread; setting one
/// wakes the sender.
ZEVSITE_EXPORT void zevsite_set_collect_url(const char* url);
/// Copies the collect URL into `buffer` (see zevsite_get_cid for the buffer's rules) and
/// returns its length; -1 when none was set (or on failure).
ZEVSITE_EXPORT int64_t zevsite_get_collect_url(char* buffer, size_t size);
/// Switches the SDK's diagnostic log on (non-zero) or off for the whole process; off by
/// default. Any thread.
ZEVSITE_EXPORT void zevsite_set_enable_log(int enable);
/// Whether the diagnostic log is on (1) or off (0). Any thread.
ZEVSITE_EXPORT int zevsite_is_log_enabled(void);
/// Routes diagnostic lines to `sink` (see zevsite_log_sink_fn), called with `context`, while
/// the log is on; NULL restores the default, standard error with a short prefix. The lines
/// are meant for people: their wording is not part of the API. Any thread but the sink's
/// own calls; waits for calls of the previous sink in flight to end.
ZEVSITE_EXPORT void zevsite_set_log_sink(void (*sink)(const char* line, size_t length,
                                                      void* context),
                                         void* context);
/// Lets the host report the network status (see zevsite_network_status_fn): `provider` is
/// called with `context` whenever the SDK needs the status; NULL restores the default, read
/// from the operating system's interfaces. Any thread; applies from the next status the SDK
/// asks for, and waits for calls of the previous provider in flight to end.
ZEVSITE_EXPORT void zevsite_set_network_status_provider(int (*provider)(void* context),
                                                        void* context);
/// Installs `observer` (see zevsite_event_observer_fn), called with `context` for every event
/// the SDK accepts; NULL removes it. Meant for host debug views and tests: keep it short and
/// do not track, flush or delete data from it. Any thread; waits for calls of the previous
/// observer in flight on other threads to end.
ZEVSITE_EXPORT void zevsite_set_event_observer(
    void (*observer)(const char* event_name, size_t name_length, const char* upload,
                     size_t upload_length, void* context),
    void* context);
/// Total time limit of each HTTP request the SDK makes, in milliseconds; 0 (the default)
/// means the cached configuration's limit, else 30 seconds. Any thread.
ZEVSITE_EXPORT void zevsite_set_request_timeout(int64_t timeout_ms);
/// The request time limit set with zevsite_set_request_timeout (not the limit in effect).
/// Any thread.
ZEVSITE_EXPORT int64_t zevsite_get_request_timeout(void);

/* ---- managers ---- */

/// Creates a manager for the numeric application id and the distribution channel, makes it
/// the shared manager (replacing an earlier one) and returns a new reference to it, which the
/// caller releases with zevsite_manager_release. With an accepted id, a start-up event is sent
/// about a second later from an SDK thread; a rejected id (absent, empty or not only digits)
/// is logged and gives a manager that never sends anything. NULL only when memory ran out.
/// Caller's thread.
ZEVSITE_EXPORT zevsite_manager* zevsite_shared_instance(const char* app_id, const char* channel);
/// A new reference to the current shared manager (release it), or NULL before the first
/// zevsite_shared_instance. Never creates one. Any thread; another thread's
/// zevsite_shared_instance may replace the shared manager at any time.
ZEVSITE_EXPORT zevsite_manager* zevsite_share_instance(void);
/// A manager for the id and channel that is not made the shared manager (a new reference,
/// to be released); otherwise as zevsite_shared_instance. Caller's thread.
ZEVSITE_EXPORT zevsite_manager* zevsite_manager_new(const char* app_id, const char* channel);
/// Releases a reference; NULL is ignored. The manager goes on delivering what it accepted,
/// and ends on the thread that releases its last reference. The host must not use `m`
/// afterwards.
ZEVSITE_EXPORT void zevsite_manager_release(zevsite_manager* m);

/* ---- tracking (any thread; never waits for the disk or the network) ---- */

/// A page view titled `title` (refused when absent or empty) with the host's custom
/// dimensions and metrics `dims` (NULL for none). The host must not assume the event is
/// stored or sent when the call returns; zevsite_flush waits for that.
ZEVSITE_EXPORT void zevsite_track_page_view(zevsite_manager* m, const char* title,
                                            const zevsite_dict* dims);
/// A classic event: category, action, label and value (refused when category, action and
/// label are all absent or empty), with custom dimensions and metrics `dims` (NULL for none).
ZEVSITE_EXPORT void zevsite_track_event(zevsite_manager* m, const char* category,
                                        const char* action, const char* label, int64_t value,
                                        const zevsite_dict* dims);
/// A custom action: `action` holds "customActionId" and at least one key containing
/// "customActionLabel" or "customActionValue" (other keys are left out; anything less, or
/// NULL, is refused), with custom dimensions and metrics `dims` (NULL for none).
ZEVSITE_EXPORT void zevsite_track_custom_action(zevsite_manager* m, const zevsite_dict* action,
                                                const zevsite_dict* dims);
/// A pulse: "the application is still in use".
ZEVSITE_EXPORT void zevsite_track_pulse(zevsite_manager* m);
/// A start-up ("init") event with the channel, the first-launch flag and a waiting deep-link
/// campaign. The SDK sends one itself after zevsite_shared_instance and for new campaigns,
/// so the host need not call it.
ZEVSITE_EXPORT void zevsite_app_start_request(zevsite_manager* m);
/// The one exit of every event: sends `properties` (NULL for none) as an event named `event`,
/// with the application id and the event name added. `upload_dics` is ignored. Refused
/// when `event` is absent or empty.
ZEVSITE_EXPORT void zevsite_track_event_name(zevsite_manager* m, const char* event,
                                             const char* upload_dics,
                                             const zevsite_dict* properties);
/// Copies the custom dimensions and metrics of `dims` into `dict` under "cd..." and "cm..."
/// keys, as the tracking calls do; other keys are left out. One call per `dict` at a time.
ZEVSITE_EXPORT void zevsite_append_parameter_for(zevsite_manager* m, zevsite_dict* dict,
                                                 const zevsite_dict* dims);
/// 1 when `text` consists of the digits 0-9 only ("" included), 0 otherwise and for NULL.
ZEVSITE_EXPORT int zevsite_is_pure_int(const zevsite_manager* m, const char* text);
/// Records the campaign ("qx_ca") and source ("qx_sp") of the URL that opened the
/// application (its complete text); they go out with the next start-up event, or at once when
/// the first one has gone. Works before a manager exists; does nothing while tracking is
/// disabled. May build an event on the calling thread.
ZEVSITE_EXPORT void zevsite_handle_open_url(const char* url);
/// Remembers the configuration URL and, when the cached configuration is old enough for the
/// current network, refreshes it on an SDK thread. Returns at once; asks the network status
/// provider on the calling thread.
ZEVSITE_EXPORT void zevsite_config_from_url(zevsite_manager* m, const char* url);
/// Copies this installation's client id (plain decimal; "" when it cannot be read or made)
/// into `buffer` and returns its length, or -1 on failure. At most `size - 1` bytes are
/// copied, always followed by a NUL (nothing is written when `size` is 0); a return value of
/// `size` or more means the text was cut, and a buffer of that length plus one holds it all.
/// The first call may read or write the home directory. Any thread;
/// zevsite_delete_all_data replaces the id, so a copy the host keeps may be stale.
ZEVSITE_EXPORT int64_t zevsite_get_cid(char* buffer, size_t size);

/* ---- delivery and lifetime (these block the calling thread) ---- */

/// Blocks until every event accepted before the call is on disk and the sender has made an
/// attempt that started after the call: 1. 0 when the timeout passed first, and at once
/// (once the events are on disk) when no send can be attempted: no collect URL, or tracking
/// disabled. 1 does not mean the events arrived: the attempt may have failed. Never call it
/// from a callback.
ZEVSITE_EXPORT int zevsite_flush(int64_t timeout_ms);
/// Stops sending for the rest of the process: the upload in flight is abandoned (its events
/// stay stored and go out on a later launch) and staged events are written. Returns within
/// the timeout: 1 when all of that finished in time, else 0. Tracking keeps storing.
ZEVSITE_EXPORT int zevsite_shutdown(int64_t timeout_ms);
/// What tracking calls do when the staging area is full (ZEVSiteOverflowPolicy in
/// ZEVSiteSupport.h): 0 waits for the writer, at most `block_timeout_ms` (the default, with
/// 1000 ms); 1 drops the oldest staged events at once. Any thread.
ZEVSITE_EXPORT void zevsite_set_overflow_policy(int drop_oldest, int64_t block_timeout_ms);
/// What the SDK did with this process's events since it started (ZEVSiteStatistics in
/// ZEVSiteSupport.h says what each count means). Later versions add fields only at the end.
typedef struct zevsite_statistics {
  uint64_t tracked;              ///< events handed to the store
  uint64_t refused;              ///< tracking calls refused for invalid input
  uint64_t dropped_overflow;     ///< dropped: the staging area was full
  uint64_t dropped_expiry;       ///< dropped: older than the age limit
  uint64_t dropped_event_limit;  ///< dropped: beyond the number of events kept
  uint64_t dropped_rejected;     ///< dropped: refused by the collector (4xx)
  uint64_t stored;               ///< events written to the store
  uint64_t pending;              ///< staged or stored, not yet delivered
  uint64_t delivered;            ///< events the collector accepted (2xx)
  uint64_t upload_failures;      ///< upload requests to retry
  int64_t last_upload_ms;        ///< the last accepted upload (ms since the epoch); 0: none
} zevsite_statistics;
/// Fills the first `size` bytes of `*out` (pass sizeof(zevsite_statistics)); fields beyond
/// what this library knows are set to 0. Cheap enough to call every second; any thread.
ZEVSITE_EXPORT void zevsite_get_statistics(zevsite_statistics* out, size_t size);
/// The version of the SDK library the process runs with ("MAJOR.MINOR.PATCH"). Static
/// storage, never NULL; any thread.
ZEVSITE_EXPORT const char* zevsite_sdk_version(void);

/* ---- the user's choice ---- */

/// Whether the SDK tracks, as the user chose (non-zero: enabled); persisted in the home
/// directory, so the choice holds on every later launch. While disabled, tracking calls,
/// zevsite_handle_open_url and start-up events do nothing and nothing is sent; switching off
/// also deletes stored and staged events shortly after the call returns. An upload already on
/// the wire may still arrive. Any thread; writes the home directory on the calling thread.
ZEVSITE_EXPORT void zevsite_set_tracking_enabled(int enabled);
/// 1 while tracking is enabled (the default), 0 while the user has opted out. Any thread;
/// cheap.
ZEVSITE_EXPORT int zevsite_is_tracking_enabled(void);
/// Forgets this installation: every stored and staged event, the client id, the activation
/// flag, the cached configuration, the user id and the session; keeps the opt-out choice. Blocks
/// until done or the timeout: 1 when everything was deleted in time, else 0 (the rest goes on in
/// the background). An upload already on the wire may still arrive. Never call it from a callback.
ZEVSITE_EXPORT int zevsite_delete_all_data(int64_t timeout_ms);

/* ---- the host's network ---- */

/// A proxy for every request the SDK makes: "http://host:port", "https://host:port",
/// "socks5h://host:port", user and password percent-encoded in the URL if needed. NULL (the
/// default): libcurl's environment variables (http_proxy, https_proxy, no_proxy); "": no
/// proxy, whatever the environment says. Applies from the next request; any thread.
ZEVSITE_EXPORT void zevsite_set_proxy(const char* proxy_url);
/// A PEM file of certificate authorities trusted instead of the system's store; NULL (the
/// default) restores the system's store. Verification always stays on: a missing file makes
/// every https request fail. Applies from the next request; any thread.
ZEVSITE_EXPORT void zevsite_set_ca_bundle(const char* path);
/// Whether upload bodies are gzip-compressed (non-zero, the default) or sent plain. Any
/// thread.
ZEVSITE_EXPORT void zevsite_set_compression(int enabled);
/// The longest time stored events gather before they go out as one batch, in milliseconds;
/// 100 gathered events go at once. 0 (the default) sends as soon as events are stored.
/// zevsite_flush ignores it. Any thread.
ZEVSITE_EXPORT void zevsite_set_dispatch_interval(int64_t interval_ms);

/* ---- context, identity and sessions (ZEVSiteSupport.h says what each event carries) ---- */

/// The host application's version and build, sent with every event; NULL or "" leaves each
/// out. Over 256 bytes: refused with a log line. Any thread.
ZEVSITE_EXPORT void zevsite_set_app_version(const char* version, const char* build);
/// The signed-in user, sent with every event from now on; NULL or "": signed out. Kept in
/// the home directory (written on the calling thread); zevsite_delete_all_data clears it.
ZEVSITE_EXPORT void zevsite_set_user_id(const char* user_id);
/// Copies the user id into `buffer` as zevsite_get_collect_url does: its length, or -1 (and
/// "") while signed out.
ZEVSITE_EXPORT int64_t zevsite_get_user_id(char* buffer, size_t size);
/// Custom dimensions and metrics added to every page view, classic event and custom action
/// that does not carry them itself ("customDimension3" becomes "cd3"); NULL: none. The
/// dictionary is copied.
ZEVSITE_EXPORT void zevsite_set_default_custom_dim_metrics(const zevsite_dict* dims);
/// The screen (or window) size in pixels, sent with every event; 0 or less clears it.
ZEVSITE_EXPORT void zevsite_set_screen_size(int width, int height);
/// Inactivity after which the next event starts a new session (default 1800 s; at least 1).
ZEVSITE_EXPORT void zevsite_set_session_timeout(int64_t timeout_seconds);
/// The host's lifecycle: 0 when the app goes to the background or loses focus, non-zero when
/// it is back; a return after more than the session timeout starts a new session.
ZEVSITE_EXPORT void zevsite_set_application_active(int active);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // ZEVSITE_ZEVSITE_H
