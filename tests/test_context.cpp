// The context every event carries (user id, app version, system, locale, UTC offset, screen)
// and its session, driven by the manual clock.
#include "ZEVSiteTestSupport.h"

#include "Platform/ZEVSiteSystemInfo.h"
#include "Platform/ZEVSiteUserDefaults.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <regex>
#include <thread>

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;
using std::chrono::minutes;
using std::chrono::seconds;

// Sets an environment variable for one scope, restoring what was there.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnvironment() { set(old_); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  void set(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
    ::tzset();
  }
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace

class ZEVSiteContextTest : public ZEVSiteTest {
 protected:
  void SetUp() override {
    ZEVSiteTest::SetUp();
    manager_ = ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  }

  // The upload of the one event `call` tracks.
  ZEVSiteUpload tracked(const std::function<void()>& call) {
    clearCaptured();
    call();
    auto observed = events();
    EXPECT_EQ(observed.size(), 1u);
    return observed.empty() ? ZEVSiteUpload{} : observed.back().decoded();
  }
  ZEVSiteUpload pageView() {
    return tracked([&] { manager_->trackPageView("Home", {}); });
  }

  struct SessionSeen {
    std::string id;
    std::string number;
  };
  SessionSeen session() {
    const ZEVSiteUpload upload = pageView();
    return {upload.get("sid").value_or(""), upload.get("sn").value_or("")};
  }

  // What a later launch would read from the home's defaults file.
  std::optional<std::string> persisted(const std::string& home, const char* key) {
    zevsite::UserDefaults fromDisk(home);
    if (auto text = fromDisk.stringForKey(key)) return text;
    if (auto number = fromDisk.findInteger(key)) return std::to_string(*number);
    return std::nullopt;
  }

  std::shared_ptr<ZEVSiteManager> manager_;
};

TEST_F(ZEVSiteContextTest, EventsCarryTheSystemAndWhatTheHostSet) {
  ZEVSiteUpload plain = pageView();
  utsname names{};
  ASSERT_EQ(::uname(&names), 0);
  EXPECT_EQ(plain.get("arch"), std::string(names.machine));
  EXPECT_FALSE(plain.get("os").value_or("").empty());
  EXPECT_TRUE(plain.get("tz"));
  for (const char* unset : {"uid", "av", "ab", "sr"}) EXPECT_EQ(plain.get(unset), std::nullopt);

  ZEVSiteSupport::setAppVersion("2.1.0 beta", "371");
  ZEVSiteSupport::setScreenSize(1920, 1080);
  ZEVSiteSupport::setUserId("alice@example.com");
  ZEVSiteUpload set = pageView();
  EXPECT_EQ(set.get("av"), "2.1.0 beta");
  EXPECT_EQ(set.get("ab"), "371");
  EXPECT_EQ(set.get("sr"), "1920x1080");
  EXPECT_EQ(set.get("uid"), "alice@example.com");
  EXPECT_EQ(set.eventFields(),
            (Fields{{"dt", "Home"}, {"ni", "0"}, {"tid", "dc-123"}, {"t", "pageview"}}));
  // The user id is the installation's: on disk, for the next launch.
  EXPECT_EQ(ZEVSiteSupport::userId(), "alice@example.com");
  EXPECT_EQ(persisted(home_, "ZEVSITE_USER_ID"), "alice@example.com");

  // Too long for an event: refused, and the old value stays.
  clearCaptured();
  ZEVSiteSupport::setUserId(std::string(300, 'u'));
  ZEVSiteSupport::setAppVersion(std::string(300, 'v'), "1");
  EXPECT_EQ(logLinesButEventsKept(),
            (std::vector<std::string>{"[Site] user id longer than 256 bytes refused",
                                      "[Site] app version longer than 256 bytes refused"}));
  ZEVSiteUpload kept = pageView();
  EXPECT_EQ(kept.get("uid"), "alice@example.com");
  EXPECT_EQ(kept.get("ab"), "371");

  // A host's values under the context's names are left out; the SDK's go out.
  ZEVSiteUpload custom = tracked([&] {
    manager_->trackEventName("signup", {}, {{"uid", "mallory"}, {"os", "x"}, {"p", 1}});
  });
  EXPECT_EQ(custom.get("uid"), "alice@example.com");
  EXPECT_EQ(custom.get("os"), plain.get("os"));
  EXPECT_EQ(logLinesButEventsKept(),
            (std::vector<std::string>{
                "[Site] event value under uid, os left out: the SDK sets that key itself"}));

  ZEVSiteSupport::setAppVersion(std::nullopt, "");
  ZEVSiteSupport::setScreenSize(0, 1080);
  ZEVSiteSupport::setUserId(std::nullopt);
  ZEVSiteUpload cleared = pageView();
  for (const char* unset : {"uid", "av", "ab", "sr"}) EXPECT_EQ(cleared.get(unset), std::nullopt);
  EXPECT_EQ(ZEVSiteSupport::userId(), std::nullopt);
  EXPECT_EQ(persisted(home_, "ZEVSITE_USER_ID"), std::nullopt);
}

TEST_F(ZEVSiteContextTest, DefaultDimensionsJoinTheHostsKindsOfEventAndACallsOwnWins) {
  ZEVSiteSupport::setDefaultCustomDimMetrics(
      {{"customDimension1", "blue"}, {"customMetrics2", 5}, {"unrelated", "x"}});
  EXPECT_EQ(tracked([&] {
              manager_->trackPageView("Home", {{"customDimension1", "red"}});
            }).eventFields(),
            (Fields{{"dt", "Home"},
                    {"ni", "0"},
                    {"cd1", "red"},
                    {"cm2", "5"},
                    {"tid", "dc-123"},
                    {"t", "pageview"}}));
  const ZEVSiteUpload classic = tracked([&] { manager_->trackEvent("shop", "buy", "", 7, {}); });
  EXPECT_EQ(classic.get("cd1"), "blue");
  EXPECT_EQ(classic.get("cm2"), "5");
  const ZEVSiteUpload action = tracked([&] {
    manager_->trackSiteCustomEvent({{"customActionId", "a"}, {"customActionLabel1", "x"}}, {});
  });
  EXPECT_EQ(action.get("cd1"), "blue");
  // A named event of the host's own carries only its properties.
  const ZEVSiteUpload named = tracked([&] {
    manager_->trackEventName("signup", {}, {{"plan", "pro"}});
  });
  EXPECT_EQ(named.get("cd1"), std::nullopt);

  clearCaptured();
  ZEVSiteSupport::setDefaultCustomDimMetrics("not a dictionary");
  EXPECT_EQ(logLinesButEventsKept(),
            (std::vector<std::string>{
                "[Site] default custom dimensions must be a dictionary: not changed"}));
  EXPECT_EQ(pageView().get("cd1"), "blue");
  ZEVSiteSupport::setDefaultCustomDimMetrics(ZEVSiteValue());
  EXPECT_EQ(pageView().get("cd1"), std::nullopt);
}

TEST_F(ZEVSiteContextTest, SessionsEndAfterInactivityOrALateReturnToTheForeground) {
  const SessionSeen first = session();
  EXPECT_TRUE(std::regex_match(first.id, std::regex("[0-9a-f]{16}"))) << first.id;
  EXPECT_EQ(first.number, "1");

  // Events within the timeout of each other keep it, however long it lasts.
  platform_->advanceBy(minutes(29));
  EXPECT_EQ(session().id, first.id);
  platform_->advanceBy(minutes(29));
  EXPECT_EQ(session().id, first.id);

  platform_->advanceBy(minutes(31));
  const SessionSeen second = session();
  EXPECT_NE(second.id, first.id);
  EXPECT_EQ(second.number, "2");

  // In the background, pulses keep the session alive; a return after the timeout ends it.
  ZEVSiteSupport::setApplicationActive(false);
  platform_->advanceBy(minutes(20));
  EXPECT_EQ(session().id, second.id);
  platform_->advanceBy(minutes(20));
  ZEVSiteSupport::setApplicationActive(true);
  const SessionSeen third = session();
  EXPECT_NE(third.id, second.id);
  EXPECT_EQ(third.number, "3");

  // A short absence continues it.
  ZEVSiteSupport::setApplicationActive(false);
  platform_->advanceBy(minutes(5));
  ZEVSiteSupport::setApplicationActive(true);
  EXPECT_EQ(session().id, third.id);

  ZEVSiteSupport::setSessionTimeout(seconds(60));
  platform_->advanceBy(seconds(60));
  EXPECT_EQ(session().id, third.id);
  platform_->advanceBy(seconds(61));
  EXPECT_EQ(session().number, "4");
}

TEST_F(ZEVSiteContextTest, TheSessionAndTheUserLiveInTheHomeUntilDeleteAllData) {
  const SessionSeen first = session();
  ZEVSiteSupport::setUserId("bob");
  platform_->runUntilIdle();  // the pool writes the new session
  EXPECT_EQ(persisted(home_, "ZEVSITE_SESSION_ID"), first.id);
  EXPECT_EQ(persisted(home_, "ZEVSITE_SESSION_NUMBER"), "1");

  // Another installation has a session and a user of its own.
  const std::string other = home_ + "/other";
  ZEVSiteSupport::setHomeDirectory(other);
  const ZEVSiteUpload elsewhere = pageView();
  EXPECT_NE(elsewhere.get("sid"), first.id);
  EXPECT_EQ(elsewhere.get("sn"), "1");
  EXPECT_EQ(elsewhere.get("uid"), std::nullopt);

  // Back within the timeout of its last activity, the first one goes on.
  platform_->advanceBy(minutes(10));
  ZEVSiteSupport::setHomeDirectory(home_);
  const ZEVSiteUpload back = pageView();
  EXPECT_EQ(back.get("sid"), first.id);
  EXPECT_EQ(back.get("uid"), "bob");

  // Going inactive saves the last activity, so a return (a relaunch) within the timeout of
  // that continues the session too.
  platform_->advanceBy(minutes(20));
  ZEVSiteSupport::setApplicationActive(false);
  platform_->runUntilIdle();
  EXPECT_EQ(persisted(home_, "ZEVSITE_SESSION_LAST_ACTIVITY"),
            std::to_string(platform_->currentTimeMillis()));
  ZEVSiteSupport::setHomeDirectory(other);
  platform_->advanceBy(minutes(25));
  ZEVSiteSupport::setHomeDirectory(home_);
  EXPECT_EQ(session().id, first.id);

  platform_->advanceBy(minutes(31));
  EXPECT_EQ(session().number, "2");

  ASSERT_TRUE(ZEVSiteSupport::deleteAllData(seconds(5)));
  EXPECT_EQ(ZEVSiteSupport::userId(), std::nullopt);
  EXPECT_EQ(persisted(home_, "ZEVSITE_SESSION_ID"), std::nullopt);
  const ZEVSiteUpload fresh = pageView();
  EXPECT_EQ(fresh.get("sn"), "1");
  EXPECT_EQ(fresh.get("uid"), std::nullopt);
}

TEST_F(ZEVSiteContextTest, TheUtcOffsetFollowsTheZoneAndTheLocaleTheEnvironment) {
  {
    ScopedEnvironment zone("TZ", "UTC0");
    EXPECT_EQ(pageView().get("tz"), "0");
    ::setenv("TZ", "XST-2", 1);  // two hours east of UTC
    ::tzset();
    platform_->advanceBy(seconds(60));
    EXPECT_EQ(pageView().get("tz"), "120");

    ::setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    ::tzset();
    EXPECT_EQ(zevsite::utcOffsetMinutes(1768478400), -300);  // 2026-01-15 12:00 UTC
    EXPECT_EQ(zevsite::utcOffsetMinutes(1784116800), -240);  // 2026-07-15 12:00 UTC
  }

  ScopedEnvironment all("LC_ALL", "de_DE.UTF-8@euro");
  ScopedEnvironment messages("LC_MESSAGES", "fr_FR.UTF-8");
  ScopedEnvironment lang("LANG", "pt_BR.UTF-8");
  EXPECT_EQ(zevsite::localeFromEnvironment(), "de-DE");
  ::unsetenv("LC_ALL");
  EXPECT_EQ(zevsite::localeFromEnvironment(), "fr-FR");
  ::setenv("LC_MESSAGES", "", 1);
  EXPECT_EQ(zevsite::localeFromEnvironment(), "pt-BR");
  ::setenv("LANG", "C.UTF-8", 1);
  EXPECT_EQ(zevsite::localeFromEnvironment(), "");
  ::unsetenv("LANG");
  EXPECT_EQ(zevsite::localeFromEnvironment(), "");
}

// Host threads track while another changes the user and moves the clock past the session
// timeout: whatever the interleaving, each event carries one whole version of the context,
// and a session id always goes with the same number.
TEST_F(ZEVSiteContextTest, ThreadsTrackingWhileTheContextChangesSendWholeContexts) {
  constexpr int kPerThread = 2000;
  std::atomic<bool> done{false};
  std::vector<std::thread> trackers;
  for (int t = 0; t < 2; ++t) {
    trackers.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) manager_->trackPulse();
    });
  }
  std::thread changer([&] {
    for (int round = 0; !done.load(); ++round) {
      ZEVSiteSupport::setUserId(round % 2 ? "odd" : "even");
      ZEVSiteSupport::setAppVersion("v" + std::to_string(round % 3),
                                    "b" + std::to_string(round % 3));
      platform_->advanceBy(minutes(31));
    }
  });
  for (auto& tracker : trackers) tracker.join();
  done = true;
  changer.join();

  std::size_t pulses = 0;
  std::map<std::string, std::string> numberOfSession;
  for (const auto& event : events()) {  // the pulses, and the start-up event the clock let go
    pulses += event.name == "pulse";
    const ZEVSiteUpload upload = event.decoded();
    const std::string sid = upload.get("sid").value_or("");
    ASSERT_TRUE(std::regex_match(sid, std::regex("[0-9a-f]{16}"))) << event.upload;
    const auto [known, inserted] = numberOfSession.emplace(sid, upload.get("sn").value_or(""));
    EXPECT_EQ(known->second, upload.get("sn")) << event.upload;
    const std::string uid = upload.get("uid").value_or("");
    EXPECT_TRUE(uid.empty() || uid == "odd" || uid == "even") << event.upload;
    // Version and build were set together: they never come from two different calls.
    const std::string version = upload.get("av").value_or("");
    EXPECT_EQ(version.empty() ? "" : "b" + version.substr(1), upload.get("ab").value_or(""))
        << event.upload;
  }
  EXPECT_EQ(pulses, 2u * kPerThread);
}
