#include "ZEVSiteEventContext.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>

#include "Platform/ZEVSiteFiles.h"
#include "Platform/ZEVSiteForkSafety.h"
#include "Platform/ZEVSiteNoDestructor.h"
#include "Platform/ZEVSitePlatform.h"
#include "Platform/ZEVSiteSystemInfo.h"
#include "Platform/ZEVSiteUserDefaults.h"
#include "Save/ZEVSiteSaveParameter.h"
#include "ZEVSiteParameter.h"
#include "ZEVSiteRandom.h"

#include <array>
#include <system_error>

namespace zevsite {
namespace {

constexpr const char* kUserIdKey = "ZEVSITE_USER_ID";
constexpr const char* kSessionIdKey = "ZEVSITE_SESSION_ID";
constexpr const char* kSessionNumberKey = "ZEVSITE_SESSION_NUMBER";
constexpr const char* kSessionActivityKey = "ZEVSITE_SESSION_LAST_ACTIVITY";

constexpr std::int64_t kMinuteMillis = 60'000;

// The process's locale, read once: the environment is the host's to change, not ours to
// read on every event.
const std::string& processLocale() {
  static NoDestructor<std::string> locale(localeFromEnvironment());
  return locale.get();
}

// 16 lowercase hex digits of fresh randomness.
std::string newSessionId() {
  constexpr char kHex[] = "0123456789abcdef";
  std::uint64_t bits = randomUInt64();
  std::string id(16, '0');
  for (char& digit : id) {
    digit = kHex[bits & 15];
    bits >>= 4;
  }
  return id;
}

void appendAttribute(std::string& out, std::string_view key, std::string_view value) {
  if (value.empty()) return;
  out += '&';
  out += key;
  out += '=';
  ZEVSiteParameter::appendPercentEncoded(out, value);
}

// The user defaults of the home whose generation is `generation`, or null once another home
// is current.
std::shared_ptr<UserDefaults> defaultsOfGeneration(std::uint64_t generation) {
  auto defaults = ZEVSitePlatform::current().standardUserDefaults();
  return files::homeGeneration() == generation ? defaults : nullptr;
}

void removeSessionKeys(UserDefaults& defaults) {
  for (const char* key : {kSessionIdKey, kSessionNumberKey, kSessionActivityKey}) {
    defaults.stageRemoval(key);
  }
}

bool acceptableText(const ZEVSiteText& text, const char* what) {
  if (!text || text->size() <= EventContext::kMaxTextBytes) return true;
  ZEVSiteLoger::adLog("[Site] %@ longer than %@ bytes refused", what,
                      static_cast<std::int64_t>(EventContext::kMaxTextBytes));
  return false;
}

}  // namespace

EventContext& EventContext::instance() {
  static NoDestructor<EventContext> context;
  return context.get();
}

EventContext::EventContext()
    : sessionTimeoutMillis_(std::chrono::milliseconds(kDefaultSessionTimeout).count()) {
  forksafety::registerLock(mutex_, forksafety::kEventContext);
  // The user id and the session are read with the client id, by its (background) load.
  ZEVSiteSaveParameter::shareInstance().setLoadObserver(
      [](UserDefaults& defaults, std::uint64_t generation) {
        instance().loadFrom(defaults, generation);
      });
  // The pool's save task does not exist in a forked child: let the child schedule its own.
  forksafety::onChild([this]() ZEVSITE_NO_THREAD_SAFETY_ANALYSIS { saveScheduled_ = false; });
}

bool EventContext::isContextKey(std::string_view key) {
  if (key.size() > 4) return false;
  switch (packedKey(key)) {
    case packedKey("uid"):
    case packedKey("av"):
    case packedKey("ab"):
    case packedKey("os"):
    case packedKey("osv"):
    case packedKey("arch"):
    case packedKey("lc"):
    case packedKey("tz"):
    case packedKey("sr"):
    case packedKey("sid"):
    case packedKey("sn"):
      return true;
    default:
      return false;
  }
}

void EventContext::prepare() {
  (void)systemInfo();
  (void)processLocale();
  // The C library reads the zone's file on its first local-time conversion: here, not on a
  // tracking call.
  (void)utcOffsetMinutes(ZEVSitePlatform::current().currentTimeMillis() / 1000);
}

bool EventContext::setAppVersion(const ZEVSiteText& version, const ZEVSiteText& build) {
  if (!acceptableText(version, "app version") || !acceptableText(build, "app build")) return false;
  MutexLock lock(mutex_);
  appVersion_ = version.value_or("");
  appBuild_ = build.value_or("");
  rebuildLocked();
  return true;
}

bool EventContext::setUserId(const ZEVSiteText& userId) {
  if (!acceptableText(userId, "user id")) return false;
  const std::string value = userId.value_or("");
  const std::uint64_t generation = files::homeGeneration();
  if (auto defaults = defaultsOfGeneration(generation)) {
    if (value.empty()) {
      defaults->removeObjectForKey(kUserIdKey);
      defaults->synchronize();
    } else {
      defaults->setString(value, kUserIdKey);
    }
  }
  MutexLock lock(mutex_);
  // A load of this home that read the defaults before the write above keeps this value.
  userIdSetFor_ = generation;
  if (loadedGeneration_.load(std::memory_order_relaxed) == generation) {
    userId_ = value;
    rebuildLocked();
  } else {
    pendingUserId_ = value;
  }
  return true;
}

ZEVSiteText EventContext::userId() {
  const std::uint64_t generation = files::homeGeneration();
  {
    MutexLock lock(mutex_);
    if (loadedGeneration_.load(std::memory_order_relaxed) == generation) {
      return userId_.empty() ? ZEVSiteText() : ZEVSiteText(userId_);
    }
  }
  return ZEVSitePlatform::current().standardUserDefaults()->stringForKey(kUserIdKey);
}

void EventContext::setScreenSize(int width, int height) {
  MutexLock lock(mutex_);
  screenSize_ = width > 0 && height > 0 ? std::to_string(width) + "x" + std::to_string(height)
                                        : std::string();
  rebuildLocked();
}

void EventContext::setSessionTimeout(std::chrono::seconds timeout) {
  sessionTimeoutMillis_.store(
      std::chrono::milliseconds(std::max(timeout, std::chrono::seconds(1))).count(),
      std::memory_order_relaxed);
}

void EventContext::setApplicationActive(bool active) {
  const std::int64_t now = ZEVSitePlatform::current().currentTimeMillis();
  {
    MutexLock lock(mutex_);
    if (active) {
      if (inactiveSinceMillis_ &&
          now - *inactiveSinceMillis_ > sessionTimeoutMillis_.load(std::memory_order_relaxed)) {
        newSessionOnNextEvent_.store(true, std::memory_order_relaxed);
      }
      inactiveSinceMillis_.reset();
      return;
    }
    if (inactiveSinceMillis_) return;
    inactiveSinceMillis_ = now;
    // The user was in the app until now; a relaunch soon after continues this session.
    if (session_.id.empty()) return;
    if (now > lastActivityMillis_.load(std::memory_order_relaxed)) {
      lastActivityMillis_.store(now, std::memory_order_relaxed);
    }
    if (saveScheduled_) return;
    saveScheduled_ = true;
  }
  scheduleSave();
}

void EventContext::setDefaultDimensions(std::shared_ptr<const ZEVSiteDictionary> entries) {
  if (entries && entries->empty()) entries.reset();
  MutexLock lock(mutex_);
  hasDefaultDimensions_.store(entries != nullptr, std::memory_order_relaxed);
  defaultDimensions_ = std::move(entries);
}

void EventContext::addDefaultDimensions(ZEVSiteDictionary& parameters) {
  if (!hasDefaultDimensions_.load(std::memory_order_relaxed)) return;
  std::shared_ptr<const ZEVSiteDictionary> entries;
  {
    MutexLock lock(mutex_);
    entries = defaultDimensions_;
  }
  if (!entries) return;
  for (const auto& [key, value] : *entries) {
    if (!parameters.valueForKey(key)) parameters.setValue(value, key);
  }
}

void EventContext::appendAttributes(std::string& out, std::int64_t nowMillis) {
  const std::uint64_t generation = files::homeGeneration();
  if (loadedGeneration_.load(std::memory_order_acquire) != generation) loadPersisted(generation);
  if (nowMillis >= utcOffsetDueMillis_.load(std::memory_order_relaxed)) refreshUtcOffset(nowMillis);
  const std::int64_t last = lastActivityMillis_.load(std::memory_order_relaxed);
  if (newSessionOnNextEvent_.load(std::memory_order_relaxed) ||
      nowMillis - last > sessionTimeoutMillis_.load(std::memory_order_relaxed) ||
      nowMillis >= saveDueMillis_.load(std::memory_order_relaxed)) {
    appendAfterCheckingSession(out, nowMillis);
    return;
  }
  // The common case: the session goes on, and nothing here takes a lock.
  if (nowMillis > last) lastActivityMillis_.store(nowMillis, std::memory_order_relaxed);
  appendCachedAttributes(out);
}

void EventContext::appendAfterCheckingSession(std::string& out, std::int64_t nowMillis) {
  bool save = false;
  {
    MutexLock lock(mutex_);
    const std::int64_t last = lastActivityMillis_.load(std::memory_order_relaxed);
    if (session_.id.empty() || newSessionOnNextEvent_.load(std::memory_order_relaxed) ||
        nowMillis - last > sessionTimeoutMillis_.load(std::memory_order_relaxed)) {
      startSessionLocked(nowMillis);
    } else if (nowMillis > last) {
      lastActivityMillis_.store(nowMillis, std::memory_order_relaxed);
    }
    save = claimSaveLocked(nowMillis);
  }
  if (save) scheduleSave();
  appendCachedAttributes(out);
}

void EventContext::appendCachedAttributes(std::string& out) {
  // Each thread keeps a copy of the encoded attributes, taken again when they change.
  struct Copy {
    std::uint64_t version = 0;
    std::string text;
  };
  static thread_local Copy copy;
  if (copy.version != attributesVersion_.load(std::memory_order_acquire)) {
    MutexLock lock(mutex_);
    copy.text = attributes_;
    copy.version = attributesVersion_.load(std::memory_order_relaxed);
  }
  out += copy.text;
}

void EventContext::forget(UserDefaults& defaults) {
  MutexLock lock(mutex_);
  defaults.stageRemoval(kUserIdKey);
  removeSessionKeys(defaults);
  userId_.clear();
  pendingUserId_.clear();
  session_ = Session{};
  lastActivityMillis_.store(0, std::memory_order_relaxed);
  newSessionOnNextEvent_.store(true, std::memory_order_relaxed);
  rebuildLocked();
}

void EventContext::loadPersisted(std::uint64_t generation) {
  // Only when the client id was loaded before this component existed: the defaults are in
  // memory already, read by that load.
  if (auto defaults = defaultsOfGeneration(generation)) loadFrom(*defaults, generation);
}

void EventContext::loadFrom(UserDefaults& defaults, std::uint64_t generation) {
  Session stored;
  stored.id = defaults.stringForKey(kSessionIdKey).value_or("");
  stored.number = defaults.integerForKey(kSessionNumberKey);
  const std::int64_t lastActivity = defaults.integerForKey(kSessionActivityKey);
  std::string userId = defaults.stringForKey(kUserIdKey).value_or("");
  MutexLock lock(mutex_);
  if (loadedGeneration_.load(std::memory_order_relaxed) == generation) return;
  userId_ = userIdSetFor_ == generation ? pendingUserId_ : std::move(userId);
  session_ = std::move(stored);
  lastActivityMillis_.store(lastActivity, std::memory_order_relaxed);
  // Without a stored session the next event starts one; with one, the timeout decides.
  newSessionOnNextEvent_.store(session_.id.empty(), std::memory_order_relaxed);
  saveDueMillis_.store(lastActivity + kActivitySaveIntervalMillis, std::memory_order_relaxed);
  rebuildLocked();
  loadedGeneration_.store(generation, std::memory_order_release);
}

void EventContext::refreshUtcOffset(std::int64_t nowMillis) {
  const int offset = utcOffsetMinutes(nowMillis / 1000);
  MutexLock lock(mutex_);
  // Zones change their offsets on the minute: look again at the start of the next one.
  utcOffsetDueMillis_.store(nowMillis - nowMillis % kMinuteMillis + kMinuteMillis,
                            std::memory_order_relaxed);
  if (utcOffsetMinutes_ == offset) return;
  utcOffsetMinutes_ = offset;
  rebuildLocked();
}

void EventContext::startSessionLocked(std::int64_t nowMillis) {
  session_.id = newSessionId();
  session_.number = std::max<std::int64_t>(session_.number, 0) + 1;
  lastActivityMillis_.store(nowMillis, std::memory_order_relaxed);
  newSessionOnNextEvent_.store(false, std::memory_order_relaxed);
  saveDueMillis_.store(0, std::memory_order_relaxed);  // a new session is saved at once
  rebuildLocked();
}

bool EventContext::claimSaveLocked(std::int64_t nowMillis) {
  if (nowMillis < saveDueMillis_.load(std::memory_order_relaxed) || saveScheduled_) return false;
  saveDueMillis_.store(nowMillis + kActivitySaveIntervalMillis, std::memory_order_relaxed);
  saveScheduled_ = true;
  return true;
}

void EventContext::scheduleSave() {
  try {
    ZEVSitePlatform::current().dispatchAsync([this] { saveSession(); });
  } catch (const std::system_error& error) {
    ZEVSiteLoger::adLog("[Site] cannot save the session: %@", error);
    MutexLock lock(mutex_);
    saveScheduled_ = false;
  }
}

void EventContext::saveSession() {
  std::uint64_t generation = 0;
  {
    MutexLock lock(mutex_);
    saveScheduled_ = false;
    generation = loadedGeneration_.load(std::memory_order_relaxed);
  }
  auto defaults = generation == 0 ? nullptr : defaultsOfGeneration(generation);
  if (!defaults) return;  // the home changed: its new session is saved when it starts
  {
    // Staged under the lock, so that a forget() and a save change the defaults in the order
    // they changed the session; the file is written outside it.
    MutexLock lock(mutex_);
    if (loadedGeneration_.load(std::memory_order_relaxed) != generation) return;
    if (session_.id.empty()) {
      removeSessionKeys(*defaults);
    } else {
      defaults->stageString(session_.id, kSessionIdKey);
      defaults->stageInteger(session_.number, kSessionNumberKey);
      defaults->stageInteger(lastActivityMillis_.load(std::memory_order_relaxed),
                             kSessionActivityKey);
    }
  }
  defaults->synchronize();
}

void EventContext::rebuildLocked() {
  const SystemInfo& system = systemInfo();
  attributes_.clear();
  appendAttribute(attributes_, "uid", userId_);
  appendAttribute(attributes_, "av", appVersion_);
  appendAttribute(attributes_, "ab", appBuild_);
  appendAttribute(attributes_, "os", system.osName);
  appendAttribute(attributes_, "osv", system.osVersion);
  appendAttribute(attributes_, "arch", system.machine);
  appendAttribute(attributes_, "lc", processLocale());
  if (utcOffsetMinutes_) appendAttribute(attributes_, "tz", std::to_string(*utcOffsetMinutes_));
  appendAttribute(attributes_, "sr", screenSize_);
  appendAttribute(attributes_, "sid", session_.id);
  if (!session_.id.empty()) appendAttribute(attributes_, "sn", std::to_string(session_.number));
  attributesVersion_.fetch_add(1, std::memory_order_release);
}

}  // namespace zevsite
