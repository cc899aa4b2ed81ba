// The context every event carries after its own keys: who uses the app (the user id), what
// runs it (app version and build, OS, CPU, locale, UTC offset, screen size) and the session
// the event belongs to, as the upload attributes uid, av, ab, os, osv, arch, lc, tz, sr, sid
// and sn.
//
// The attributes are kept encoded, rebuilt only when one of them changes, and each tracking
// thread keeps a copy: a tracking call reads a few atomics and appends about a hundred bytes,
// without a lock unless a session may start or the copy is stale. Nothing here reads a file on a
// tracking call: the system is described once per process, and the user id and the session
// come from the user defaults, which the client id's load has read into memory before an
// event gets here.
//
// Sessions: the first event of a process starts one, unless the persisted session saw
// activity within the timeout (a relaunch continues it); so does the first event after the
// timeout without events (pulses count), and the first event after a return to the
// foreground from more than the timeout away. A session is a random id with the session's
// number for this installation. Its state is written to the user defaults on the SDK's
// background pool when a session starts, when the app goes inactive and at most once a
// minute while events come.
//
// One instance per process; every operation is thread-safe.
#pragma once

#include <ZEVSiteSDK/ZEVSiteValue.h>

#include "Platform/ZEVSiteMutex.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zevsite {

class UserDefaults;
template <typename T>
class NoDestructor;

// Adds the custom dimensions and metrics among `hostEntries` to `dict` under their upload
// names, as a tracking call's own: "customDimension3" gives "cd3", "customMetrics1" "cm1";
// other keys are ignored.
void mapCustomDimMetrics(ZEVSiteDictionary& dict, const ZEVSiteDictionary& hostEntries);

class EventContext {
 public:
  static constexpr std::chrono::seconds kDefaultSessionTimeout{30 * 60};
  // The longest user id, app version or build taken: the context goes with every event, and
  // an event's upload string holds at most 8 KiB.
  static constexpr std::size_t kMaxTextBytes = 256;
  // How stale the persisted last activity may get while events keep coming.
  static constexpr std::int64_t kActivitySaveIntervalMillis = 60'000;

  static EventContext& instance();

  // The upload attributes this component adds: an event's own value under one of these names
  // is left out by the serialiser.
  static bool isContextKey(std::string_view key);
  // A key of at most four bytes as one number (its bytes and its length), so that short keys
  // compare as integers: the serialiser looks up every key of every event.
  static constexpr std::uint64_t packedKey(std::string_view key) {
    std::uint64_t packed = key.size();
    for (std::size_t i = 0; i < key.size() && i < 4; ++i) {
      packed |= static_cast<std::uint64_t>(static_cast<unsigned char>(key[i])) << (8 * (i + 1));
    }
    return packed;
  }

  // Describes the system (OS, CPU, locale, time zone) now, so that no tracking call does it.
  // Cheap after the first call; any thread.
  static void prepare();

  // Empty or absent texts clear the value; texts longer than kMaxTextBytes are refused with a
  // log line (false), the value unchanged.
  bool setAppVersion(const ZEVSiteText& version, const ZEVSiteText& build);
  // Also written to the user defaults of the current home directory, on the calling thread.
  bool setUserId(const ZEVSiteText& userId);
  ZEVSiteText userId();
  // A non-positive width or height clears the size.
  void setScreenSize(int width, int height);
  // At least one second.
  void setSessionTimeout(std::chrono::seconds timeout);
  void setApplicationActive(bool active);

  // Entries (already mapped to cdN and cmN) added to the page views, classic events and custom
  // actions that do not carry them; null or empty: none.
  void setDefaultDimensions(std::shared_ptr<const ZEVSiteDictionary> entries);
  void addDefaultDimensions(ZEVSiteDictionary& parameters);

  // Counts an event made at `nowMillis` as activity (starting a session when one is due) and
  // appends its context attributes ("&uid=...&sn=N") to `out`. The tracking thread.
  void appendAttributes(std::string& out, std::int64_t nowMillis);

  // Forgets the user id and the session: the next event starts session number 1. Removes them
  // from `defaults` (the caller writes them).
  void forget(UserDefaults& defaults);

 private:
  struct Session {
    std::string id;  // empty: none yet
    std::int64_t number = 0;
  };

  friend class NoDestructor<EventContext>;
  EventContext();
  void loadPersisted(std::uint64_t generation);
  void loadFrom(UserDefaults& defaults, std::uint64_t generation);
  void refreshUtcOffset(std::int64_t nowMillis);
  // The tracking call's way when a session may start or a save is due.
  void appendAfterCheckingSession(std::string& out, std::int64_t nowMillis);
  void startSessionLocked(std::int64_t nowMillis) ZEVSITE_REQUIRES(mutex_);
  // Whether the caller is to schedule a save (one is due and none is pending).
  bool claimSaveLocked(std::int64_t nowMillis) ZEVSITE_REQUIRES(mutex_);
  void scheduleSave();
  void saveSession();
  void rebuildLocked() ZEVSITE_REQUIRES(mutex_);
  void appendCachedAttributes(std::string& out);

  // Taken by the host's setters, by the pool's save, and by a tracking call only when its
  // thread's copy of the attributes is stale or a session may start (about once a minute);
  // guards the fields marked so. Only a save and forget() take the user defaults' lock under
  // it (rank kEventContext, before kDefaults).
  zevsite::Mutex mutex_;
  // The home generation whose persisted user id and session are loaded; 0 = none. Written
  // under mutex_, read without it to skip the lock's slow path.
  std::atomic<std::uint64_t> loadedGeneration_{0};
  // When the UTC offset is next looked at (ms since the epoch): once a minute, when zones
  // change their offsets.
  std::atomic<std::int64_t> utcOffsetDueMillis_{0};
  // The session's last event (ms since the epoch). Tracking calls move it forward without the
  // lock (a racing older time may win by a millisecond or so: harmless against a timeout of
  // seconds); a new session sets it under the lock.
  std::atomic<std::int64_t> lastActivityMillis_{0};
  std::atomic<std::int64_t> sessionTimeoutMillis_;
  // The next event starts a session: none is loaded, or the app came back late.
  std::atomic<bool> newSessionOnNextEvent_{true};
  // When the session is next saved by an event (the periodic save of its activity).
  std::atomic<std::int64_t> saveDueMillis_{0};
  // Changes whenever attributes_ does (under mutex_): a thread's copy of another version is
  // stale.
  std::atomic<std::uint64_t> attributesVersion_{1};
  std::optional<int> utcOffsetMinutes_ ZEVSITE_GUARDED_BY(mutex_);
  std::string appVersion_ ZEVSITE_GUARDED_BY(mutex_);
  std::string appBuild_ ZEVSITE_GUARDED_BY(mutex_);
  std::string screenSize_ ZEVSITE_GUARDED_BY(mutex_);
  std::string userId_ ZEVSITE_GUARDED_BY(mutex_);
  // The home generation the host last set a user id for, and that id while its home is not
  // loaded yet: it wins over what a load running meanwhile read.
  std::uint64_t userIdSetFor_ ZEVSITE_GUARDED_BY(mutex_) = 0;
  std::string pendingUserId_ ZEVSITE_GUARDED_BY(mutex_);
  Session session_ ZEVSITE_GUARDED_BY(mutex_);
  // When the app went inactive (absent while active).
  std::optional<std::int64_t> inactiveSinceMillis_ ZEVSITE_GUARDED_BY(mutex_);
  bool saveScheduled_ ZEVSITE_GUARDED_BY(mutex_) = false;
  // The encoded attributes, "&uid=...&sn=N".
  std::string attributes_ ZEVSITE_GUARDED_BY(mutex_);
  std::shared_ptr<const ZEVSiteDictionary> defaultDimensions_ ZEVSITE_GUARDED_BY(mutex_);
  // Whether defaultDimensions_ holds entries, read without the lock by every tracking call.
  std::atomic<bool> hasDefaultDimensions_{false};
};

}  // namespace zevsite
