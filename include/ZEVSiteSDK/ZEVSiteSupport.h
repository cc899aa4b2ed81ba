/// @file
/// ZEVSiteSupport: SDK-wide settings and state shared by every manager in the process.
#pragma once

#include <ZEVSiteSDK/ZEVSiteExport.h>
#include <ZEVSiteSDK/ZEVSiteValue.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

/// What a tracking call does when the SDK's staging area (1 MiB of events waiting for the
/// disk) is full: a burst faster than the disk can take.
enum class ZEVSiteOverflowPolicy {
  /// The call waits until the writer has taken the staged events to disk, at most the
  /// timeout given with the policy; only then is the oldest staged event dropped. The default:
  /// nothing accepted is lost while the disk keeps up at all. While the store cannot be
  /// written (a full disk), calls do not wait: waiting would not help.
  Block,
  /// The call never waits: the oldest staged events are dropped (counted in
  /// ZEVSiteStatistics::dropped.overflow). For hosts that must never wait, such as a game
  /// loop.
  DropOldest,
};

/// What the SDK did with this process's events since the process started, summed over every
/// home directory it used. The counts only grow; `pending` is a reading of now.
struct ZEVSiteStatistics {
  /// Events the tracking calls made and handed to the store (start-up events included).
  std::uint64_t tracked = 0;
  /// Tracking calls refused for invalid input (each with its log line). Calls made while the
  /// user has opted out leave no trace and are not counted.
  std::uint64_t refused = 0;
  /// Events tracked or stored that will never be delivered, by reason.
  struct Dropped {
    /// The staging area was full (a burst faster than the disk): the oldest staged events.
    std::uint64_t overflow = 0;
    /// Older than the configured age limit.
    std::uint64_t expiry = 0;
    /// Beyond the configured number of events kept: the oldest.
    std::uint64_t eventLimit = 0;
    /// Refused by the collector with a 4xx status (its log line says which).
    std::uint64_t rejected = 0;
  };
  /// Events dropped, by reason.
  Dropped dropped;
  /// Events written to the store.
  std::uint64_t stored = 0;
  /// Events staged or stored and not yet delivered: this process's view of its store (events
  /// another process stores or sends from the same home directory are not seen).
  std::uint64_t pending = 0;
  /// Events the collector accepted (2xx).
  std::uint64_t delivered = 0;
  /// Upload requests that failed and will be retried (no answer, 5xx, 429, ...).
  std::uint64_t uploadFailures = 0;
  /// When the last upload was accepted, in milliseconds since the epoch; absent before.
  std::optional<std::int64_t> lastUploadMillis;
};

/// SDK-wide settings and state shared by every manager in the process.
///
/// Set the home directory, collect URL and event observer before the first
/// ZEVSiteManager::sharedInstanceWithAppId call; later changes apply to what follows them.
/// Every operation is thread-safe.
class ZEVSITE_EXPORT ZEVSiteSupport {
 public:
  /// Called for every event a task queue accepts, on the thread that tracked it (a host
  /// thread, or the SDK's background pool for start-up events), before the event is stored.
  /// Keep it short and do not call back into the SDK's tracking operations. Should it throw,
  /// the event is stored all the same and the first throw is logged.
  using EventObserver =
      std::function<void(std::string_view eventName, std::string_view uploadString)>;

  ///@{
  /// The SDK-wide application id, set by the manager once it accepts an id (absent before).
  /// Any thread; the host need not set it.
  static void setAppId(ZEVSiteText appId);
  static ZEVSiteText appId();
  ///@}

  ///@{
  /// Whether activation has been recorded, and recording it: persisted in the home
  /// directory, so it is true on every launch after the first start-up event ever, until
  /// deleteAllData. Any thread; reads or writes the user defaults on the calling thread.
  static bool isActivated();
  static void setActivated();
  ///@}

  ///@{
  /// The SDK's data directory, standing for the application's home directory. Default:
  /// `$ZEVSITE_HOME`, else `$XDG_DATA_HOME/zevsite/<application>`, else
  /// `<home>/.local/share/zevsite/<application>`, where `<application>` is the executable's
  /// file name (characters other than letters, digits, '.', '-' and '_' become '_') and
  /// `<home>` is `$HOME` or, when unset, the user's home from the password database. With no home
  /// at all, or when the directory (or its Library/) belongs to another user, the SDK logs it once
  /// and keeps events in memory until a home directory is set; it never falls back to /tmp.
  /// Library/ is created inside it, owner-only (0700; files 0600). Nothing is written outside
  /// it. homeDirectory() answers "" while there is none. Setting it wakes waiting writers.
  /// Any thread.
  static void setHomeDirectory(std::string path);
  static std::string homeDirectory();
  ///@}

  ///@{
  /// Where task queues post their batches. While unset (the default), events are stored and
  /// kept until one is set; the first event kept so is logged with one line (once more after
  /// the URL was set and removed again). Any thread; setting it wakes the senders.
  static void setCollectURL(ZEVSiteText url);
  static ZEVSiteText collectURL();
  ///@}

  ///@{
  /// Total time limit of each HTTP request the SDK makes (configuration download, uploads).
  /// Zero (the default) means: the cached configuration's timeout, else 30 seconds. Any
  /// thread; requestTimeout() answers the value set, not the limit in effect.
  static void setRequestTimeout(std::chrono::milliseconds timeout);
  static std::chrono::milliseconds requestTimeout();
  ///@}

  /// Installs (or, with an empty function, removes) the event observer (see EventObserver).
  /// Any thread.
  static void setEventObserver(EventObserver observer);

  /// Blocks the calling thread until every event accepted before the call is on disk and the
  /// sender has made an attempt that started after the call: it sent what was stored, or found
  /// that the network status does not allow sending now (true). False when `timeout` passed
  /// first, and when no send can be attempted because no collect URL is set or tracking is
  /// disabled: then it returns as soon as the events are on disk, without waiting for the
  /// timeout. True does not mean the events arrived: the attempt may have failed. Never call it
  /// from the event observer.
  static bool flush(std::chrono::milliseconds timeout);

  // ---- the user's choice ----

  /// Whether the SDK tracks, as the user chose; persisted in the home directory, so the choice
  /// holds on every later launch. Default: enabled. While disabled, the tracking operations,
  /// ZEVSiteManager::handleOpenURL and the start-up events do nothing (no event, no observer
  /// call, no log line per call) and nothing is sent. Switching off logs one line and
  /// deletes the stored and staged events (on the SDK's writer thread, shortly after the
  /// call returns); switching on logs one line. An upload already on the wire when the
  /// switch goes off may still arrive. Any thread; writes the user defaults on the calling
  /// thread.
  static void setTrackingEnabled(bool enabled);
  /// The user's choice set with setTrackingEnabled (default: enabled). Any thread; cheap
  /// enough to call before every tracking call (the SDK itself does).
  static bool isTrackingEnabled();

  /// Forgets this installation: deletes every stored and staged event, the client id (a new
  /// one is made when next needed), the activation flag (the next start-up event reports a
  /// new install), the cached configuration document with its refresh time, the user id and
  /// the session (the next event starts session 1). Keeps the opt-out choice. Blocks the calling
  /// thread until done or `timeout`; true when everything was deleted in time (else it is still
  /// being done in the background, where it can). An upload already on the wire may still arrive.
  /// Never call it from the event observer.
  static bool deleteAllData(std::chrono::milliseconds timeout);

  // ---- the host's network ----

  /// A proxy for every request the SDK makes (uploads and the configuration download):
  /// "http://host:port", "https://host:port", "socks5h://host:port", user and password
  /// percent-encoded in the URL if needed. The environment's no_proxy does not apply to it.
  /// Absent (the default): libcurl's environment variables (http_proxy, https_proxy,
  /// no_proxy...). An empty text: no proxy at all, whatever the environment says. Applies
  /// from the next request; any thread.
  static void setProxy(ZEVSiteText proxyURL);

  /// A PEM file of certificate authorities to trust, instead of the system's store, for
  /// every https request (and an https proxy). Absent (the default): the system's store.
  /// Certificate and host name verification stay on whatever is set: a missing or unreadable
  /// file makes every https request fail. Applies from the next request; any thread.
  static void setCABundle(ZEVSiteText path);

  /// Whether upload bodies are sent gzip-compressed (Content-Encoding: gzip). Default: on.
  /// Turn it off only for a collector that cannot inflate bodies. Any thread.
  static void setCompression(bool enabled);

  /// The longest time the sender lets stored events gather before it sends them as one
  /// batch; 100 gathered events are sent at once. Zero (the default) sends as soon as events
  /// are stored. A longer interval wakes a phone's radio less often. flush() ignores it, and
  /// so do retries after a failed upload. Negative values count as zero. Any thread.
  static void setDispatchInterval(std::chrono::milliseconds interval);

  /// The version of the SDK library the process runs with ("MAJOR.MINOR.PATCH"), the value
  /// sent with every event as "sdkv". It may differ from ZEVSITE_VERSION_STRING in the headers
  /// the host was compiled with when a shared library was replaced. Static storage; any thread.
  static std::string_view sdkVersion() noexcept;

  /// Stops sending for the rest of the process: the upload in flight is abandoned (its
  /// events stay stored and go out on a later launch) and staged events are written. Returns
  /// within `timeout`: true when all of that finished in time. Tracking keeps storing.
  /// Blocks the calling thread.
  static bool shutdown(std::chrono::milliseconds timeout);

  /// What tracking calls do when the staging area is full (see ZEVSiteOverflowPolicy), and
  /// the longest a call waits under Block (default: Block, 1 s; a negative timeout counts as
  /// zero). Applies to calls made after it returns. Any thread.
  static void setOverflowPolicy(ZEVSiteOverflowPolicy policy,
                                std::chrono::milliseconds blockTimeout = std::chrono::seconds(1));

  /// The SDK's counters (see ZEVSiteStatistics). Cheap enough to call every second: it reads
  /// counters and takes each store's staging lock briefly, with no disk I/O. Any thread.
  static ZEVSiteStatistics statistics();

  // ---- context, identity and sessions ----
  //
  // Every event carries, after its own keys, the context below as upload attributes: the
  // user id (uid), app version and build (av, ab), operating system name and version (os,
  // osv), CPU architecture (arch), locale (lc, from LC_ALL, LC_MESSAGES or LANG), UTC offset
  // in minutes (tz), screen size (sr, "WIDTHxHEIGHT"), the session id (sid) and the session's
  // number for this installation (sn). The system's part is read once per process; an
  // event's own value under one of these names is left out with a log line. Each setter
  // applies to events tracked after it returns; any thread.

  /// The host application's version and build, sent with every event. Absent or empty: not
  /// sent. A text over 256 bytes is refused with a log line, the old value kept.
  static void setAppVersion(ZEVSiteText version, ZEVSiteText build);
  /// The signed-in user, sent with every event from now on; absent or empty: signed out.
  /// Persisted in the home directory (written on the calling thread), so it holds on later
  /// launches; deleteAllData() clears it. Over 256 bytes: refused with a log line.
  static void setUserId(ZEVSiteText userId);
  /// The user id set with setUserId for the current home directory; absent when signed out.
  static ZEVSiteText userId();
  /// Custom dimensions and metrics added to every page view, classic event and custom action,
  /// mapped exactly as a call's own ("customDimension3" becomes "cd3", "customMetrics1"
  /// "cm1"); a call's own key wins. Absent or an empty dictionary: none. A value that is not a
  /// dictionary is refused with a log line, the old defaults kept.
  static void setDefaultCustomDimMetrics(const ZEVSiteValue& dimMetrics);
  /// The screen (or window) size in pixels, sent with every event when set. A width or height
  /// of zero or less clears it.
  static void setScreenSize(int width, int height);
  /// Inactivity after which the next event starts a new session (default: 30 minutes; at
  /// least one second). Events of every kind, pulses too, count as activity.
  static void setSessionTimeout(std::chrono::seconds timeout);
  /// The host's lifecycle: false when the app goes to the background (a phone) or loses focus
  /// (a desktop window), true when it is back. A return after more than the session timeout
  /// starts a new session with the next event, whatever events came meanwhile. Going inactive
  /// saves the session (on the SDK's background pool), so a relaunch within the timeout
  /// continues it.
  static void setApplicationActive(bool active);
};
