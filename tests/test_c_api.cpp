// The C interface (<ZEVSiteSDK/zevsite.h>) driven as a C host drives it, through the real
// library: the event store in a temporary home, the sender and a loopback collector; the
// clock, scheduling and network status are the tests' own. Also runs the C11 host program
// (tests/package/c_host.c) against a collector.
#include <ZEVSiteSDK/zevsite.h>

#include "Network/ZEVSiteNetworkSettings.h"
#include "ZEVSiteRecordingCollector.h"
#include "ZEVSiteTestSupport.h"

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// A dictionary the test owns, freed with zevsite_dict_free.
struct DictDeleter {
  void operator()(zevsite_dict* d) const { zevsite_dict_free(d); }
};
using Dict = std::unique_ptr<zevsite_dict, DictDeleter>;
Dict newDict() { return Dict(zevsite_dict_new()); }

struct ManagerDeleter {
  void operator()(zevsite_manager* m) const { zevsite_manager_release(m); }
};
using Manager = std::unique_ptr<zevsite_manager, ManagerDeleter>;

// A C callback's context: what it saw, on whichever thread called it.
struct Seen {
  std::mutex mutex;
  std::vector<std::string> names;  // event names, or log lines
  std::vector<std::string> uploads;
  std::vector<bool> terminated;  // the text had a NUL at [length]
  std::atomic<int> networkCalls{0};
  std::atomic<int> status{ZEVSITE_NETWORK_WIFI};
};

void observeEvent(const char* name, size_t nameLength, const char* upload, size_t uploadLength,
                  void* context) {
  auto* seen = static_cast<Seen*>(context);
  std::lock_guard lock(seen->mutex);
  seen->names.emplace_back(name, nameLength);
  seen->uploads.emplace_back(upload, uploadLength);
  seen->terminated.push_back(name[nameLength] == '\0' && upload[uploadLength] == '\0');
}

void collectLine(const char* line, size_t length, void* context) {
  auto* seen = static_cast<Seen*>(context);
  std::lock_guard lock(seen->mutex);
  seen->names.emplace_back(line, length);
  seen->terminated.push_back(line[length] == '\0');
}

int reportStatus(void* context) {
  auto* seen = static_cast<Seen*>(context);
  ++seen->networkCalls;
  return seen->status.load();
}

std::string cidText() {
  char buffer[64];
  const std::int64_t length = zevsite_get_cid(buffer, sizeof buffer);
  return length < 0 ? "(failed)" : std::string(buffer);
}

}  // namespace

class ZEVSiteCApiTest : public ZEVSiteTest {
 protected:
  void SetUp() override {
    ZEVSiteTest::SetUp();
    zevsite_set_network_status_provider(reportStatus, &network_);
    zevsite_set_request_timeout(2000);
    collectURL_ = collector_.start();
    zevsite_set_collect_url(collectURL_.c_str());
  }
  void TearDown() override {
    EXPECT_EQ(zevsite_shutdown(5000), 1);
    collector_.stop();
    zevsite_set_network_status_provider(nullptr, nullptr);
    zevsite_set_event_observer(nullptr, nullptr);
    ZEVSiteTest::TearDown();
  }

  Manager startManager() {
    Manager manager(zevsite_shared_instance("123", "store"));
    platform_->runUntilIdle();  // applies the cached configuration's limits
    return manager;
  }
  std::vector<zevsite::collector::CollectedEvent> arrivedOfKind(const std::string& kind) {
    std::vector<zevsite::collector::CollectedEvent> found;
    for (auto& event : collector_.events()) {
      if (event.get("t") == kind) found.push_back(event);
    }
    return found;
  }
  // Moves the manual clock on in steps until `count` events arrived (the sender's backoff
  // ends only when the clock passes it).
  bool advanceUntilArrived(std::size_t count) {
    for (int i = 0; i < 400; ++i) {
      if (collector_.waitForEventCount(count, 50ms)) return true;
      platform_->advanceBy(1s);
    }
    return false;
  }

  Seen network_;
  ZEVSiteRecordingCollector collector_;
  std::string collectURL_;
};

// Page views, classic events, custom actions, pulses, raw events and a deep-link campaign,
// each as a C host sends them, arrive at the collector with the values the host gave; null
// text is absent and "" is empty text.
TEST_F(ZEVSiteCApiTest, EveryKindOfEventArrivesAsTheHostGaveIt) {
  zevsite_handle_open_url("app://open?qx_ca=spring&qx_sp=banner");  // before the manager
  Manager manager = startManager();
  ASSERT_NE(manager, nullptr);
  platform_->advanceBy(1s);  // the start-up event, carrying the campaign

  Dict dims = newDict();
  zevsite_dict_set_string(dims.get(), "customDimension2", "blue");
  zevsite_dict_set_int(dims.get(), "customMetrics1", 3);
  zevsite_dict_set_double(dims.get(), "customMetrics2", 2.5);
  zevsite_dict_set_bool(dims.get(), "customDimension4", 1);
  zevsite_dict_set_string(dims.get(), "other", "left out");
  zevsite_track_page_view(manager.get(), "Home", dims.get());
  zevsite_track_page_view(manager.get(), "Bare", nullptr);
  zevsite_track_page_view(manager.get(), "", dims.get());       // refused: empty title
  zevsite_track_page_view(manager.get(), nullptr, dims.get());  // refused: absent title
  zevsite_track_event(manager.get(), "shop", "buy", nullptr, 7, dims.get());
  zevsite_track_event(manager.get(), "", "look", "", -1, nullptr);
  zevsite_track_event(manager.get(), nullptr, "", nullptr, 0, nullptr);  // refused
  Dict action = newDict();
  zevsite_dict_set_string(action.get(), "customActionId", "a");
  zevsite_dict_set_string(action.get(), "customActionLabel1", "x");
  zevsite_dict_set_double(action.get(), "customActionValue2", 1.5);
  zevsite_track_custom_action(manager.get(), action.get(), nullptr);
  zevsite_track_custom_action(manager.get(), nullptr, nullptr);  // refused
  zevsite_track_pulse(manager.get());
  Dict properties = newDict();
  zevsite_dict_set_string(properties.get(), "dt", "raw");
  zevsite_track_event_name(manager.get(), "pageview", nullptr, properties.get());

  ASSERT_EQ(zevsite_flush(10000), 1);
  ASSERT_TRUE(collector_.waitForEventCount(8, 10s));
  EXPECT_EQ(collector_.eventCount(), 8u);  // the refused calls sent nothing
  zevsite_statistics statistics;
  std::memset(&statistics, 0xff, sizeof statistics);
  zevsite_get_statistics(&statistics, sizeof statistics);
  EXPECT_EQ(statistics.tracked, 8u);
  EXPECT_EQ(statistics.refused, 4u);
  EXPECT_EQ(statistics.delivered, 8u);
  EXPECT_EQ(statistics.pending, 0u);
  EXPECT_EQ(statistics.dropped_event_limit + statistics.dropped_overflow, 0u);
  EXPECT_GT(statistics.last_upload_ms, 0);

  auto inits = arrivedOfKind("init");
  ASSERT_EQ(inits.size(), 1u);
  EXPECT_EQ(inits[0].get("qxc"), "spring");
  EXPECT_EQ(inits[0].get("qxs"), "banner");
  EXPECT_EQ(inits[0].get("tid"), "dc-123");

  auto pages = arrivedOfKind("pageview");
  ASSERT_EQ(pages.size(), 3u);
  auto page = [&](const std::string& title) {
    auto found = std::find_if(pages.begin(), pages.end(),
                              [&](const auto& event) { return event.get("dt") == title; });
    return found == pages.end() ? ZEVSiteUpload{} : ZEVSiteUpload{found->fields};
  };
  const ZEVSiteUpload home = page("Home");
  EXPECT_EQ(home.get("cd2"), "blue");
  EXPECT_EQ(home.get("cm1"), "3");
  EXPECT_EQ(home.get("cm2"), "2.5");
  EXPECT_EQ(home.get("cd4"), "1");
  EXPECT_EQ(home.get("other"), std::nullopt);
  EXPECT_EQ(page("Bare").get("cd2"), std::nullopt);
  EXPECT_EQ(page("raw").get("tid"), "dc-123");

  auto events = arrivedOfKind("event");
  std::vector<ZEVSiteUpload> classic, custom;
  for (const auto& event : events) {
    (event.get("caid").empty() ? classic : custom).push_back(ZEVSiteUpload{event.fields});
  }
  ASSERT_EQ(classic.size(), 2u);
  std::sort(classic.begin(), classic.end(),
            [](const auto& a, const auto& b) { return a.get("ea") < b.get("ea"); });
  EXPECT_EQ(classic[0].get("ea"), "buy");
  EXPECT_EQ(classic[0].get("ec"), "shop");
  EXPECT_EQ(classic[0].get("el"), std::nullopt);  // null label: absent
  EXPECT_EQ(classic[0].get("ev"), "7");
  EXPECT_EQ(classic[0].get("cd2"), "blue");
  EXPECT_EQ(classic[1].get("ea"), "look");
  EXPECT_EQ(classic[1].get("ec"), "");            // "" category: empty text, sent
  EXPECT_EQ(classic[1].get("el"), std::nullopt);  // an empty label is left out
  EXPECT_EQ(classic[1].get("ev"), "-1");
  ASSERT_EQ(custom.size(), 1u);
  EXPECT_EQ(custom[0].get("caid"), "a");
  EXPECT_EQ(custom[0].get("cal1"), "x");
  EXPECT_EQ(custom[0].get("cav2"), "1.5");
  EXPECT_EQ(arrivedOfKind("pulse").size(), 1u);
  EXPECT_GT(network_.networkCalls.load(), 0);  // the sender asked the host's provider

  // The refusals were logged, and so are calls on a null manager; nothing is sent for them.
  auto linesWith = [&](const std::string& text) {
    const auto lines = logLines();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  };
  EXPECT_EQ(linesWith("Please check your code"), 4);
  zevsite_track_page_view(nullptr, "nowhere", nullptr);
  zevsite_track_pulse(nullptr);
  EXPECT_EQ(linesWith("zevsite_track_page_view called with a null manager"), 1);
  EXPECT_EQ(linesWith("zevsite_track_pulse called with a null manager"), 1);
  ASSERT_EQ(zevsite_flush(10000), 1);
  EXPECT_EQ(collector_.eventCount(), 8u);
}

// Dictionaries keep insertion order and replace in place; null removes; nested and
// self-nested copies; the text getters' buffer rules; managers and version.
TEST_F(ZEVSiteCApiTest, DictionariesGettersAndManagerReferences) {
  Dict d = newDict();
  zevsite_dict_set_string(d.get(), "customDimension1", "a");
  zevsite_dict_set_int(d.get(), "customMetrics1", 1);
  zevsite_dict_set_string(d.get(), "customDimension1", "b");  // replaced in place
  zevsite_dict_set_null(d.get(), "customDimension3");
  EXPECT_EQ(zevsite_dict_count(d.get()), 3u);
  zevsite_dict_set_string(d.get(), "customDimension3", nullptr);  // null: removed
  zevsite_dict_remove(d.get(), "missing");
  EXPECT_EQ(zevsite_dict_count(d.get()), 2u);
  zevsite_dict_set_string(nullptr, "k", "v");  // ignored, as are null keys
  zevsite_dict_set_int(d.get(), nullptr, 5);
  EXPECT_EQ(zevsite_dict_count(d.get()), 2u);
  EXPECT_EQ(zevsite_dict_count(nullptr), 0u);
  zevsite_dict_free(nullptr);

  Manager manager = startManager();
  Dict appended = newDict();
  zevsite_append_parameter_for(manager.get(), appended.get(), d.get());
  EXPECT_EQ(zevsite_dict_count(appended.get()), 2u);  // cd1 and cm1
  zevsite_dict_set_dict(d.get(), "self", d.get());    // copied as it was
  EXPECT_EQ(zevsite_dict_count(d.get()), 3u);
  Dict nested = newDict();
  zevsite_dict_set_dict(nested.get(), "inner", d.get());
  zevsite_dict_set_dict(nested.get(), "inner", nullptr);
  EXPECT_EQ(zevsite_dict_count(nested.get()), 0u);

  // The first event of a manager shows the dictionary's order and values.
  clearCaptured();
  zevsite_track_page_view(manager.get(), "Ordered", d.get());
  const auto observed = events();
  ASSERT_EQ(observed.size(), 1u);
  const auto fields = observed[0].decoded().eventFields();
  EXPECT_EQ(fields, (std::vector<std::pair<std::string, std::string>>{{"dt", "Ordered"},
                                                                      {"ni", "0"},
                                                                      {"cd1", "b"},
                                                                      {"cm1", "1"},
                                                                      {"tid", "dc-123"},
                                                                      {"t", "pageview"}}));

  EXPECT_EQ(zevsite_is_pure_int(manager.get(), "0123"), 1);
  EXPECT_EQ(zevsite_is_pure_int(manager.get(), ""), 1);
  EXPECT_EQ(zevsite_is_pure_int(manager.get(), "12a"), 0);
  EXPECT_EQ(zevsite_is_pure_int(manager.get(), nullptr), 0);

  // Text getters: the full length, at most size - 1 bytes and a NUL.
  char small[8] = "xxxxxxx";
  const std::int64_t urlLength = zevsite_get_collect_url(small, sizeof small);
  EXPECT_EQ(urlLength, static_cast<std::int64_t>(collectURL_.size()));
  EXPECT_EQ(std::string(small), collectURL_.substr(0, 7));
  EXPECT_EQ(zevsite_get_collect_url(nullptr, 0), urlLength);
  std::string full(static_cast<std::size_t>(urlLength) + 1, 'x');
  zevsite_get_collect_url(full.data(), full.size());
  EXPECT_STREQ(full.c_str(), collectURL_.c_str());
  zevsite_set_collect_url(nullptr);
  EXPECT_EQ(zevsite_get_collect_url(small, sizeof small), -1);  // none set
  EXPECT_STREQ(small, "");
  zevsite_set_collect_url("");
  EXPECT_EQ(zevsite_get_collect_url(small, sizeof small), 0);  // set, empty
  zevsite_set_collect_url(collectURL_.c_str());
  char home[4096];
  EXPECT_EQ(zevsite_get_home_directory(home, sizeof home), static_cast<std::int64_t>(home_.size()));
  EXPECT_EQ(std::string(home), home_);
  EXPECT_EQ(cidText(), ZEVSiteManager::getCid());
  EXPECT_FALSE(cidText().empty());
  EXPECT_STREQ(zevsite_sdk_version(), ZEVSITE_TEST_VERSION);
  EXPECT_EQ(zevsite_get_request_timeout(), 2000);
  zevsite_set_request_timeout(-5);  // negative counts as zero
  EXPECT_EQ(zevsite_get_request_timeout(), 0);
  zevsite_set_enable_log(0);
  EXPECT_EQ(zevsite_is_log_enabled(), 0);
  zevsite_set_enable_log(1);
  EXPECT_EQ(zevsite_is_log_enabled(), 1);

  // References: share_instance gives the shared manager; zevsite_manager_new another one.
  Manager shared(zevsite_share_instance());
  ASSERT_NE(shared, nullptr);
  Manager other(zevsite_manager_new("456", "side"));
  ASSERT_NE(other, nullptr);
  clearCaptured();
  zevsite_track_pulse(shared.get());
  zevsite_track_pulse(other.get());
  zevsite_track_pulse(manager.get());
  std::vector<std::string> tids;
  for (const auto& event : events()) tids.push_back(*event.decoded().get("tid"));
  EXPECT_EQ(tids, (std::vector<std::string>{"dc-123", "dc-456", "dc-123"}));
  manager.reset();  // the shared manager lives on in the SDK and in `shared`
  zevsite_track_pulse(shared.get());
  EXPECT_EQ(events().size(), 4u);
}

// The host's callbacks: the observer and the log sink get NUL-terminated text with its
// length and their context; the network provider decides whether anything is sent;
// replacing a callback waits for its calls in flight, and a callback may replace itself.
TEST_F(ZEVSiteCApiTest, CallbacksGetTheirContextAndReplacingOneWaitsForCallsInFlight) {
  Seen observed, logged;
  zevsite_set_event_observer(observeEvent, &observed);
  zevsite_set_log_sink(collectLine, &logged);
  network_.status = ZEVSITE_NETWORK_NONE;
  Manager manager = startManager();
  zevsite_track_page_view(manager.get(), "Observed", nullptr);
  zevsite_track_page_view(manager.get(), "", nullptr);  // refused: one log line
  {
    std::lock_guard lock(observed.mutex);
    ASSERT_EQ(observed.names, std::vector<std::string>{"pageview"});
    EXPECT_EQ(ZEVSiteUpload::decode(observed.uploads[0]).get("dt"), "Observed");
    EXPECT_TRUE(observed.terminated[0]);
  }
  {
    std::lock_guard lock(logged.mutex);
    ASSERT_FALSE(logged.names.empty());
    EXPECT_TRUE(std::all_of(logged.terminated.begin(), logged.terminated.end(),
                            [](bool terminated) { return terminated; }));
  }
  // No network as the provider says: flush sees the attempt put off, nothing arrives.
  ASSERT_EQ(zevsite_flush(10000), 1);
  EXPECT_EQ(collector_.eventCount(), 0u);
  network_.status = ZEVSITE_NETWORK_3G;
  zevsite_set_collect_url(collectURL_.c_str());  // wakes the sender
  ASSERT_TRUE(collector_.waitForEventCount(1, 10s));
  zevsite_set_log_sink(nullptr, nullptr);
  const std::size_t linesBefore = [&] {
    std::lock_guard lock(logged.mutex);
    return logged.names.size();
  }();
  zevsite_track_page_view(manager.get(), "", nullptr);  // logged to standard error now
  {
    std::lock_guard lock(logged.mutex);
    EXPECT_EQ(logged.names.size(), linesBefore);
  }

  // An observer call holds on for a while on a host thread; replacing the observer from
  // another thread returns only once that call has returned.
  struct Slow {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool returned = false;
  } slow;
  auto slowObserver = [](const char*, size_t, const char*, size_t, void* context) {
    auto* s = static_cast<Slow*>(context);
    std::unique_lock lock(s->mutex);
    s->entered = true;
    s->changed.notify_all();
    // Long enough that a setter which did not wait would return first.
    s->changed.wait_for(lock, 300ms, [] { return false; });
    s->returned = true;
  };
  zevsite_set_event_observer(slowObserver, &slow);
  std::thread tracker([&] { zevsite_track_page_view(manager.get(), "Slow", nullptr); });
  {
    std::unique_lock lock(slow.mutex);
    ASSERT_TRUE(slow.changed.wait_for(lock, 10s, [&] { return slow.entered; }));
  }
  zevsite_set_event_observer(observeEvent, &observed);
  {
    std::lock_guard lock(slow.mutex);
    EXPECT_TRUE(slow.returned);
  }
  tracker.join();

  // An observer that removes itself on its first call: later events are not observed, and
  // the call does not wait for itself.
  static std::atomic<int> selfCalls{0};
  zevsite_set_event_observer(
      [](const char*, size_t, const char*, size_t, void*) {
        ++selfCalls;
        zevsite_set_event_observer(nullptr, nullptr);
      },
      nullptr);
  zevsite_track_pulse(manager.get());
  zevsite_track_pulse(manager.get());
  EXPECT_EQ(selfCalls.load(), 1);
  {
    std::lock_guard lock(observed.mutex);
    EXPECT_EQ(observed.names.size(), 1u);  // only the first page view, from the start
  }
  ASSERT_EQ(zevsite_flush(10000), 1);
  EXPECT_TRUE(collector_.waitForEventCount(4, 10s));  // Observed, Slow and two pulses
}

// The user's choice and the host's network settings, each reached through its C function:
// opting out stops tracking and sending, deleting the data replaces the client id; null and
// "" are told apart for the proxy and the CA bundle; compression and the dispatch interval.
TEST_F(ZEVSiteCApiTest, UserChoiceAndNetworkSettings) {
  Manager manager = startManager();
  zevsite_set_tracking_enabled(0);
  EXPECT_EQ(zevsite_is_tracking_enabled(), 0);
  clearCaptured();
  zevsite_track_page_view(manager.get(), "opted-out", nullptr);
  EXPECT_TRUE(events().empty());
  EXPECT_EQ(zevsite_flush(10000), 0);  // no send can be attempted while opted out
  zevsite_set_tracking_enabled(1);
  EXPECT_EQ(zevsite_is_tracking_enabled(), 1);

  const std::string cidBefore = cidText();
  EXPECT_EQ(zevsite_delete_all_data(10000), 1);
  EXPECT_NE(cidText(), cidBefore);

  zevsite_set_compression(0);
  EXPECT_FALSE(zevsite::net::networkSettings().compression);
  zevsite_track_page_view(manager.get(), "plain", nullptr);
  ASSERT_EQ(zevsite_flush(10000), 1);
  ASSERT_TRUE(collector_.waitForEventCount(1, 10s));
  EXPECT_EQ(collector_.contentEncodings().back(), "");
  zevsite_set_compression(1);
  EXPECT_TRUE(zevsite::net::networkSettings().compression);

  zevsite_set_dispatch_interval(2500);
  EXPECT_EQ(zevsite::net::networkSettings().dispatchInterval, 2500ms);
  zevsite_set_dispatch_interval(-1);
  EXPECT_EQ(zevsite::net::networkSettings().dispatchInterval, 0ms);

  zevsite_set_ca_bundle("/etc/myapp/ca.pem");
  EXPECT_EQ(zevsite::net::networkSettings().caBundle, "/etc/myapp/ca.pem");
  zevsite_set_ca_bundle(nullptr);
  EXPECT_EQ(zevsite::net::networkSettings().caBundle, std::nullopt);

  // The environment names a proxy where nothing listens. "" goes straight to the collector;
  // null leaves the choice to the environment, and the upload fails.
  ::unsetenv("no_proxy");
  ::setenv("http_proxy", "http://127.0.0.1:9", 1);
  zevsite_set_proxy("");
  EXPECT_EQ(zevsite::net::networkSettings().proxyURL, "");
  zevsite_track_page_view(manager.get(), "direct", nullptr);
  ASSERT_EQ(zevsite_flush(10000), 1);
  ASSERT_TRUE(collector_.waitForEventCount(2, 10s));
  zevsite_set_proxy(nullptr);
  EXPECT_EQ(zevsite::net::networkSettings().proxyURL, std::nullopt);
  zevsite_track_page_view(manager.get(), "through-the-environment", nullptr);
  ASSERT_EQ(zevsite_flush(10000), 1);  // attempted, and failed
  EXPECT_EQ(collector_.eventCount(), 2u);
  zevsite_set_proxy("");
  ::unsetenv("http_proxy");
  EXPECT_TRUE(advanceUntilArrived(3));  // the retry, once its backoff has passed
}

// The context setters: what each event carries, the user id read back, a session that a
// short absence keeps and a long one ends.
TEST_F(ZEVSiteCApiTest, ContextUserAndSessionSettings) {
  Manager manager = startManager();
  zevsite_set_app_version("4.0", nullptr);
  zevsite_set_user_id("dora");
  zevsite_set_screen_size(800, 600);
  zevsite_dict* dims = zevsite_dict_new();
  zevsite_dict_set_string(dims, "customDimension7", "trial");
  zevsite_set_default_custom_dim_metrics(dims);
  zevsite_dict_free(dims);
  zevsite_set_session_timeout(60);
  char small[8];
  EXPECT_EQ(zevsite_get_user_id(small, sizeof small), 4);
  EXPECT_STREQ(small, "dora");

  zevsite_track_page_view(manager.get(), "first", nullptr);
  zevsite_set_application_active(0);
  platform_->advanceBy(61s);
  zevsite_set_application_active(1);
  zevsite_set_user_id(nullptr);
  zevsite_set_default_custom_dim_metrics(nullptr);
  zevsite_track_page_view(manager.get(), "second", nullptr);
  EXPECT_EQ(zevsite_get_user_id(small, sizeof small), -1);
  ASSERT_EQ(zevsite_flush(10000), 1);
  ASSERT_TRUE(advanceUntilArrived(2));
  const auto pages = arrivedOfKind("pageview");
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[0].get("av"), "4.0");
  EXPECT_EQ(pages[0].get("ab"), "");  // absent
  EXPECT_EQ(pages[0].get("uid"), "dora");
  EXPECT_EQ(pages[0].get("sr"), "800x600");
  EXPECT_EQ(pages[0].get("cd7"), "trial");
  EXPECT_EQ(pages[1].get("uid"), "");
  EXPECT_EQ(pages[1].get("cd7"), "");
  EXPECT_EQ(pages[0].get("sid").size(), 16u);
  EXPECT_NE(pages[1].get("sid"), pages[0].get("sid"));
  EXPECT_EQ(pages[1].get("sn"), std::to_string(std::stoll(pages[0].get("sn")) + 1));
}

// The C11 host program, built as C with -std=c11 -Wall -Werror -pedantic, sends its deep-link
// campaign, page view, classic event, custom action and pulse to a collector.
TEST_F(ZEVSiteCApiTest, CHostProgramSendsItsEventsToACollector) {
  const std::string childHome = makeTemporaryDirectory();
  ZEVSiteChild child = spawnChild(ZEVSITE_C_HOST, {collectURL_, childHome}, false);
  ASSERT_GT(child.pid, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(collector_.waitForEventCount(5, 10s));
  std::map<std::string, ZEVSiteUpload> byKind;
  for (const auto& event : collector_.events()) {
    std::string kind = event.get("t");
    if (kind == "event") kind = event.get("caid").empty() ? "classic" : "custom";
    byKind[kind] = ZEVSiteUpload{event.fields};
  }
  EXPECT_EQ(byKind["init"].get("qxc"), "c-spring");
  EXPECT_EQ(byKind["init"].get("qxs"), "c-banner");
  EXPECT_EQ(byKind["pageview"].get("dt"), "C Home");
  EXPECT_EQ(byKind["pageview"].get("cd2"), "blue");
  EXPECT_EQ(byKind["classic"].get("ec"), "c-shop");
  EXPECT_EQ(byKind["classic"].get("el"), std::nullopt);
  EXPECT_EQ(byKind["custom"].get("caid"), "c-action");
  EXPECT_EQ(byKind["custom"].get("cav2"), "1.5");
  EXPECT_EQ(byKind.count("pulse"), 1u);
  EXPECT_EQ(collector_.eventCount(), 5u);
  std::error_code ignored;
  std::filesystem::remove_all(childHome, ignored);
}
