// zevsite-demo: a simulated host session against a collector embedded in this program on a
// loopback port. It creates the shared manager, opens a deep link, tracks page views,
// classic events, a custom action and a pulse, refreshes the configuration from the
// collector, and prints every event the collector received, decoded, as a table, with the
// bytes the uploads took on the wire. The user then opts out (nothing is tracked) and back
// in, and at the end asks the SDK to forget the installation. The embedded collector stores
// the events in SQLite in the demo's temporary directory; the demo ends with the
// collector's report for the app.
//
//   zevsite-demo [--app-id ID] [--channel NAME] [--collect-url URL] [--offline]
//                [--load N] [--threads T] [--home DIR] [--serve] [--no-compression]
//                [--dispatch-interval MS] [--proxy URL] [--ca-bundle FILE]
#include <ZEVSiteSDK/ZEVSiteSDK.h>

#include "ZEVSiteCollector.h"
#include "ZEVSiteSummaryFormat.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string appId = "123";
  std::string channel = "demo-store";
  std::string collectURL;  // empty: the embedded collector
  bool offline = false;
  long load = 0;
  int threads = 2;
  std::string home;
  bool serve = false;
  bool compression = true;
  long dispatchIntervalMs = 0;
  std::string proxy;
  std::string caBundle;
};

void usage() {
  std::puts(
      "usage: zevsite-demo [--app-id ID] [--channel NAME] [--collect-url URL] [--offline]\n"
      "                    [--load N] [--threads T] [--home DIR] [--serve] [--no-compression]\n"
      "                    [--dispatch-interval MS] [--proxy URL] [--ca-bundle FILE]\n"
      "  --collect-url  send to an external collector instead of the embedded one\n"
      "  --offline      add an offline phase: events are stored, then delivered when the\n"
      "                 network comes back\n"
      "  --load N       then track N events from T threads (default 2) and measure delivery\n"
      "  --serve        keep the embedded collector and its dashboard running until Ctrl-C\n"
      "  --no-compression       send upload bodies plain instead of gzip\n"
      "  --dispatch-interval MS let events gather up to MS milliseconds before a batch goes\n"
      "  --proxy URL            send every request through this proxy\n"
      "  --ca-bundle FILE       trust the authorities of this PEM file instead of the system's");
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (flag == "--app-id")
      options.appId = value();
    else if (flag == "--channel")
      options.channel = value();
    else if (flag == "--collect-url")
      options.collectURL = value();
    else if (flag == "--offline")
      options.offline = true;
    else if (flag == "--load")
      options.load = std::atol(value().c_str());
    else if (flag == "--threads")
      options.threads = std::max(1, std::atoi(value().c_str()));
    else if (flag == "--home")
      options.home = value();
    else if (flag == "--serve")
      options.serve = true;
    else if (flag == "--no-compression")
      options.compression = false;
    else if (flag == "--dispatch-interval")
      options.dispatchIntervalMs = std::atol(value().c_str());
    else if (flag == "--proxy")
      options.proxy = value();
    else if (flag == "--ca-bundle")
      options.caBundle = value();
    else
      return false;
  }
  return true;
}

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

std::atomic<ZEVSiteNetworkStatus> networkStatus{ZEVSiteNetworkStatus_WiFi};
bool compressionOn = true;

void step(const char* text) { std::printf("\n-- %s\n", text); }

std::string details(const zevsite::collector::CollectedEvent& event) {
  std::string text;
  for (const auto& [key, value] : event.fields) {
    // The envelope and the context repeat in every event: the table shows the user and the
    // session only (the context is printed once, above it).
    static const std::set<std::string, std::less<>> kHidden = {
        "t",  "tid", "v",   "cid",  "eid", "ts", "sdkv", "av",
        "ab", "os",  "osv", "arch", "lc",  "tz", "sr",   "sid"};
    if (kHidden.count(key) != 0) continue;
    if (!text.empty()) text += "  ";
    text += key + "=" + value;
  }
  return text.size() > 80 ? text.substr(0, 77) + "..." : text;
}

// The first events the embedded collector accepted, as its observer hears of them (on the
// collector's threads), for the table.
constexpr std::size_t kEventsShown = 40;
std::mutex firstEventsMutex;  // guards firstEvents
std::vector<std::string> firstEvents;

void keepFirstEvents(const std::string& upload) {
  std::lock_guard lock(firstEventsMutex);
  if (firstEvents.size() < kEventsShown) firstEvents.push_back(upload);
}

void printTable(std::size_t received) {
  std::vector<std::string> uploads;
  {
    std::lock_guard lock(firstEventsMutex);
    uploads = firstEvents;
  }
  if (!uploads.empty()) {
    const auto first = zevsite::collector::Collector::decodeEvent(uploads.front());
    std::printf(
        "\ncontext of each event: app %s (build %s), %s %s on %s, locale %s, UTC%+d min, "
        "screen %s\n",
        first.get("av").c_str(), first.get("ab").c_str(), first.get("os").c_str(),
        first.get("osv").c_str(), first.get("arch").c_str(),
        first.get("lc").empty() ? "(none)" : first.get("lc").c_str(),
        std::atoi(first.get("tz").c_str()), first.get("sr").c_str());
  }
  std::printf("\n%4s  %-9s %-10s %-13s %s\n", "#", "event", "tid", "event id end", "fields");
  std::printf("%s\n", std::string(100, '-').c_str());
  std::size_t shown = 0;
  for (const auto& upload : uploads) {
    const auto event = zevsite::collector::Collector::decodeEvent(upload);
    std::printf(
        "%4zu  %-9s %-10s %-13s %s\n", ++shown, event.get("t").c_str(), event.get("tid").c_str(),
        ("..." + event.eventId.substr(std::min<std::size_t>(event.eventId.size(), 26))).c_str(),
        details(event).c_str());
  }
  if (received > shown) std::printf("  ... %zu more\n", received - shown);
}

void progress(long done, long total) {
  int width = 40;
  int filled = total ? static_cast<int>(width * done / total) : width;
  std::printf("\r  [%s%s] %ld/%ld", std::string(filled, '#').c_str(),
              std::string(width - filled, '.').c_str(), done, total);
  std::fflush(stdout);
}

const char* encodingName() { return compressionOn ? "gzip" : "plain"; }

void printWireBytes(std::size_t bytes, std::size_t events) {
  if (events == 0) return;
  std::printf(
      "  on the wire: %zu bytes of upload bodies for %zu events, %.1f bytes per event (%s)\n",
      bytes, events, static_cast<double>(bytes) / static_cast<double>(events), encodingName());
}

// The SDK's own counters (ZEVSiteSupport::statistics), as a host would log them.
void printStatistics(const ZEVSiteStatistics& statistics) {
  std::printf(
      "  the SDK's counters: tracked %llu, refused %llu, stored %llu, delivered %llu, pending "
      "%llu, upload failures %llu;\n"
      "    dropped: %llu overflow, %llu expired, %llu over the event limit, %llu refused by "
      "the collector\n",
      static_cast<unsigned long long>(statistics.tracked),
      static_cast<unsigned long long>(statistics.refused),
      static_cast<unsigned long long>(statistics.stored),
      static_cast<unsigned long long>(statistics.delivered),
      static_cast<unsigned long long>(statistics.pending),
      static_cast<unsigned long long>(statistics.uploadFailures),
      static_cast<unsigned long long>(statistics.dropped.overflow),
      static_cast<unsigned long long>(statistics.dropped.expiry),
      static_cast<unsigned long long>(statistics.dropped.eventLimit),
      static_cast<unsigned long long>(statistics.dropped.rejected));
}

// What the load did: whether it ended as it should, and how many of its events the store's
// event limit dropped (tracked faster than delivered; oldest first, by design).
struct LoadOutcome {
  bool ok = true;
  long droppedByLimits = 0;
};

LoadOutcome runLoad(const Options& options, zevsite::collector::Collector* collector) {
  step("load: tracking events from several threads");
  auto manager = ZEVSiteManager::shareInstance();
  const std::size_t before = collector ? collector->eventCount() : 0;
  const std::size_t bytesBefore = collector ? collector->bodyBytesReceived() : 0;
  std::atomic<long> tracked{0};
  auto start = Clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < options.threads; ++t) {
    workers.emplace_back([&, t] {
      for (long i = t; i < options.load; i += options.threads) {
        manager->trackEvent("load", "tick", std::to_string(i), i);
        ++tracked;
      }
    });
  }
  while (tracked < options.load) {
    progress(tracked, options.load);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (auto& worker : workers) worker.join();
  progress(options.load, options.load);
  double trackSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("\n  tracked %ld events in %.3f s (%.0f per second on the host threads)\n",
              options.load, trackSeconds, options.load / trackSeconds);
  if (!collector) return {ZEVSiteSupport::flush(std::chrono::seconds(60)), 0};
  // Delivery ends when everything arrived or nothing new came for a second.
  std::size_t delivered = 0;
  auto lastArrival = Clock::now();
  while (delivered < static_cast<std::size_t>(options.load) &&
         Clock::now() - lastArrival < std::chrono::seconds(1)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::size_t now = collector->eventCount() - before;
    if (now != delivered) lastArrival = Clock::now();
    delivered = now;
  }
  double seconds = std::chrono::duration<double>(lastArrival - start).count();
  std::printf(
      "  delivered %zu events to the collector in %.3f s: %.0f events per second end to "
      "end\n",
      delivered, seconds, delivered / seconds);
  printWireBytes(collector->bodyBytesReceived() - bytesBefore, delivered);
  LoadOutcome outcome;
  outcome.droppedByLimits = options.load - static_cast<long>(delivered);
  std::printf("  kept and delivered %zu of %ld events", delivered, options.load);
  if (outcome.droppedByLimits > 0) {
    std::printf(
        "; the other %ld were tracked faster than the collector took them and passed the "
        "store's limit of 10000 events, which drops the oldest",
        outcome.droppedByLimits);
  }
  std::printf("\n");
  printStatistics(ZEVSiteSupport::statistics());
  return outcome;
}

void printReport(zevsite::collector::Collector& collector, const std::string& appId) {
  step("the collector's report (zevsite-collector report), last 7 days");
  std::string problem;
  const std::int64_t today = zevsite::collector::today();
  auto query =
      zevsite::collector::summaryQuery(appId, zevsite::collector::formatDay(today - 6),
                                       zevsite::collector::formatDay(today), today, problem);
  try {
    std::fputs(zevsite::collector::summaryReport(collector.store()->summary(*query)).c_str(),
               stdout);
  } catch (const zevsite::collector::StoreError& error) {
    std::printf("  no report: %s\n", error.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    usage();
    return 2;
  }
  if (options.home.empty()) {
    options.home = (std::filesystem::temp_directory_path() / "zevsite-demo-XXXXXX").string();
    if (!::mkdtemp(options.home.data())) return 1;
  } else if (std::error_code error; !std::filesystem::is_directory(options.home) &&
                                    !std::filesystem::create_directories(options.home, error)) {
    std::fprintf(stderr, "zevsite-demo: cannot create the home directory %s: %s\n",
                 options.home.c_str(), error.message().c_str());
    return 2;
  }
  std::printf("ZEVSite SDK demo: home directory %s\n", options.home.c_str());

  std::unique_ptr<zevsite::collector::Collector> collector;
  std::string collectURL = options.collectURL;
  std::string configURL;
  if (collectURL.empty()) {
    collector = std::make_unique<zevsite::collector::Collector>();
    const std::string database = "sqlite:" + options.home + "/collector.sqlite";
    collector->setStore(zevsite::collector::openAnalyticsStore(database));
    collector->setOnEvent(keepFirstEvents);
    std::printf("embedded collector stores into %s\n", database.c_str());
    collector->serveConfig(
        "<config><offlineCache><length>10000</length><queueExpirationSecs>604800"
        "</queueExpirationSecs><timeout>10</timeout></offlineCache><SDKConfig><idfa>false</idfa>"
        "</SDKConfig><companies><company id=\"demo\">Demo Ltd</company></companies></config>");
    collectURL = collector->start();
    configURL = collectURL.substr(0, collectURL.rfind('/')) + "/sdk-config.xml";
    std::printf("embedded collector at %s\n", collectURL.c_str());
  } else {
    std::printf("sending to the external collector at %s\n", collectURL.c_str());
  }

  ZEVSiteSupport::setHomeDirectory(options.home);
  ZEVSiteSupport::setCollectURL(collectURL);
  ZEVSiteNetworkStatusSimple::setProvider([] { return networkStatus.load(); });
  ZEVSiteLoger::setSink([](std::string_view line) {
    std::printf("  log: %.*s\n", static_cast<int>(line.size()), line.data());
  });
  ZEVSiteManager::setEnableLog(true);
  compressionOn = options.compression;
  ZEVSiteSupport::setCompression(options.compression);
  ZEVSiteSupport::setDispatchInterval(std::chrono::milliseconds(options.dispatchIntervalMs));
  if (!options.proxy.empty()) ZEVSiteSupport::setProxy(options.proxy);
  if (!options.caBundle.empty()) ZEVSiteSupport::setCABundle(options.caBundle);
  // A demo home left opted out by an earlier run would show nothing.
  ZEVSiteSupport::setTrackingEnabled(true);
  std::printf("uploads %s, dispatch interval %ld ms, proxy %s, CA bundle %s\n", encodingName(),
              options.dispatchIntervalMs,
              options.proxy.empty() ? "(environment)" : options.proxy.c_str(),
              options.caBundle.empty() ? "(system)" : options.caBundle.c_str());

  step(
      "the app names its version and screen; a session ends after 2 s without events here "
      "(30 minutes by default)");
  ZEVSiteSupport::setAppVersion("1.4.0", "140");
  ZEVSiteSupport::setScreenSize(1280, 800);
  ZEVSiteSupport::setSessionTimeout(std::chrono::seconds(2));

  step("launch: a deep link opens the app, then the shared manager is created");
  ZEVSiteManager::handleOpenURL("demo://open?qx_ca=spring-sale&qx_sp=banner");
  auto manager = ZEVSiteManager::sharedInstanceWithAppId(options.appId, options.channel);
  std::printf("  client id %s\n", ZEVSiteManager::getCid().c_str());

  step("the user browses: page views, classic events, a custom action, a pulse");
  manager->trackPageView("Home", {{"customDimension1", "returning"}, {"customMetrics1", 3}});
  manager->trackPageView("Product/42");
  manager->trackEvent("shop", "add-to-cart", "sku-42", 1999, {{"customDimension2", "blue"}});
  manager->trackEvent("shop", "", std::nullopt, 0);
  manager->trackSiteCustomEvent(
      {{"customActionId", "share"}, {"customActionLabel1", "twitter"}, {"customActionValue1", 1}});
  manager->trackPulse();
  std::puts("  two refused calls follow (their log lines show why):");
  manager->trackPageView("");
  manager->trackSiteCustomEvent({{"customActionId", "only-an-id"}});

  if (!configURL.empty()) {
    step("configuration refresh from the collector (background)");
    manager->configFromUrl(configURL);
  }

  step("one second after creation the start-up event goes out, carrying the campaign");
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  step("a second deep link after start-up sends its own start-up event at once");
  ZEVSiteManager::handleOpenURL("demo://open?qx_ca=winter&qx_sp=mail");
  ZEVSiteSupport::flush(std::chrono::seconds(10));

  step("the user signs in (user-1001) and buys");
  ZEVSiteSupport::setUserId("user-1001");
  manager->trackPageView("Checkout");
  manager->trackEvent("shop", "buy", "sku-42", 1999);
  step("the app goes to the background; back after the session timeout, a new session starts");
  ZEVSiteSupport::setApplicationActive(false);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  ZEVSiteSupport::setApplicationActive(true);
  step("a second user (user-1002) signs in on this installation");
  ZEVSiteSupport::setUserId("user-1002");
  manager->trackPageView("Home");
  manager->trackEvent("shop", "add-to-cart", "sku-7", 499);
  ZEVSiteSupport::flush(std::chrono::seconds(10));
  ZEVSiteSupport::setUserId(std::nullopt);

  if (options.offline) {
    step("offline: the network goes away; events are stored, not sent");
    networkStatus = ZEVSiteNetworkStatus_None;
    for (int i = 0; i < 5; ++i) manager->trackPageView("Offline/" + std::to_string(i));
    ZEVSiteSupport::flush(std::chrono::seconds(5));
    if (collector) std::printf("  collector holds %zu events\n", collector->eventCount());
    step("online again: the stored events are delivered");
    networkStatus = ZEVSiteNetworkStatus_WiFi;
    ZEVSiteSupport::flush(std::chrono::seconds(10));
    if (collector) std::printf("  collector holds %zu events\n", collector->eventCount());
  }

  bool ok = true;
  if (collector) {
    // Six tracked anonymously, two start-ups, four by the two users.
    std::size_t expected = 12 + (options.offline ? 5 : 0);
    ok = collector->waitForEventCount(expected, std::chrono::seconds(10));
    step("what the collector received");
    printTable(collector->eventCount());
    std::printf(
        "\n%zu events received, %zu duplicates dropped by event id, configuration "
        "served %zu time(s)\n",
        collector->eventCount(), collector->duplicates(), collector->configRequests());
    auto cached = options.home + "/Library/SDK_CONFIG_DATA_KEY";
    std::printf("configuration cache %s\n",
                std::filesystem::exists(cached) ? cached.c_str() : "(not written)");
    printWireBytes(collector->bodyBytesReceived(), collector->eventCount());
  }

  step("the user opts out: nothing is tracked, stored or sent, not even a log line per call");
  ZEVSiteSupport::setTrackingEnabled(false);
  manager->trackPageView("Settings/Privacy");
  manager->trackEvent("privacy", "opt-out", std::nullopt, 0);
  ZEVSiteSupport::flush(std::chrono::seconds(5));
  if (collector) std::printf("  collector holds %zu events\n", collector->eventCount());
  step("the user opts back in");
  ZEVSiteSupport::setTrackingEnabled(true);
  LoadOutcome load;
  if (options.load > 0) load = runLoad(options, collector.get());
  ok = load.ok && ok;
  step("the user asks to forget this installation");
  const std::string oldCid = ZEVSiteManager::getCid();
  const bool forgotten = ZEVSiteSupport::deleteAllData(std::chrono::seconds(5));
  std::printf("  %s; client id %s is now %s; the next launch reports a new install\n",
              forgotten ? "stored events, client id, activation and cached configuration deleted"
                        : "not everything could be deleted in time",
              oldCid.c_str(), ZEVSiteManager::getCid().c_str());
  if (collector) {
    printReport(*collector, options.appId);
    const std::string base = collectURL.substr(0, collectURL.rfind('/'));
    std::printf("\ndashboard: %s/  (run with --serve to keep it open)\n", base.c_str());
  }

  ZEVSiteSupport::shutdown(std::chrono::seconds(2));
  if (collector && options.serve) {
    std::printf("serving the dashboard until Ctrl-C\n");
    std::fflush(stdout);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    while (!stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (collector) collector->stop();
  if (options.collectURL.empty() && argc == 1) std::filesystem::remove_all(options.home);
  if (!ok) {
    std::printf("\ndemo finished with missing events\n");
  } else if (load.droppedByLimits > 0) {
    std::printf(
        "\ndemo finished: every event the store kept arrived; %ld of the load's events were "
        "dropped by the event limit\n",
        load.droppedByLimits);
  } else {
    std::printf("\ndemo finished: every event arrived\n");
  }
  return ok ? 0 : 1;
}
