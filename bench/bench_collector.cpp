// The collector as a backend: events per second from the SDK's own sender into each store,
// and the summary query over 1,000,000 stored events. ClickHouse runs when
// ZEVSITE_BENCH_CLICKHOUSE_URL (http://HOST:PORT) names a server; its database is dropped
// afterwards.
#include "bench_support.h"

#include <ZEVSiteSDK/ZEVSiteSDK.h>

#include "Queue/ZEVSiteEventStorage.h"
#include "ZEVSiteCollector.h"
#include "ZEVSiteSummaryFormat.h"

#include <httplib.h>

#include <cstdlib>
#include <random>

namespace {

// The store URL for `kind` ("sqlite", "clickhouse") and a fresh database, or empty when
// the benchmark cannot run here.
std::string storeURL(const std::string& kind, const std::string& name) {
  if (kind == "sqlite") return "sqlite:" + benchHome() + "/" + name + ".sqlite";
  const char* server = std::getenv("ZEVSITE_BENCH_CLICKHOUSE_URL");
  if (!server || !*server) return {};
  return "clickhouse:" + std::string(server) + "/zevsite_bench_" + name;
}

void dropClickHouseDatabase(const std::string& url) {
  const std::string prefix = "clickhouse:http://";
  if (url.rfind(prefix, 0) != 0) return;
  const std::size_t slash = url.rfind('/');
  const std::string hostPort = url.substr(prefix.size(), slash - prefix.size());
  const std::size_t colon = hostPort.rfind(':');
  httplib::Client client(hostPort.substr(0, colon), std::stoi(hostPort.substr(colon + 1)));
  auto answer = client.Post("/", "DROP DATABASE IF EXISTS " + url.substr(slash + 1), "text/plain");
  if (!answer || answer->status != 200) std::fprintf(stderr, "could not drop %s\n", url.c_str());
}

void BM_ingestFromSdk(benchmark::State& state, const std::string& kind) {
  const std::string url = storeURL(kind, "ingest");
  if (url.empty()) {
    state.SkipWithError("ZEVSITE_BENCH_CLICKHOUSE_URL is not set");
    return;
  }
  const std::string home = benchHome() + "/ingest-" + kind;
  ZEVSiteSupport::setHomeDirectory(home);
  ZEVSiteCollector collector;
  collector.setStore(openAnalyticsStore(url));
  collector.setLog([](const std::string&) {});
  collector.countOnly(1'000'000);
  ZEVSiteSupport::setCollectURL(collector.start());
  ZEVSiteNetworkStatusSimple::setProvider([] { return ZEVSiteNetworkStatus_WiFi; });
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("123", "bench");
  ZEVSiteEventStorage::forHome(home)->setLimits(1'000'000, 604800);
  const int burst = static_cast<int>(state.range(0));
  std::size_t expected = 0;
  for (auto _ : state) {
    for (int i = 0; i < burst; ++i) {
      manager->trackPageView("Page/" + std::to_string(i % 50), {{"customDimension1", "blue"}});
    }
    expected += static_cast<std::size_t>(burst);
    if (!collector.waitForEventCount(expected, std::chrono::seconds(120))) {
      state.SkipWithError("not every event was stored");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * burst);
  state.counters["requests"] = static_cast<double>(collector.requests().size());
  ZEVSiteSupport::setCollectURL(std::nullopt);
  collector.stop();
  ZEVSiteSupport::setHomeDirectory(benchHome());
  dropClickHouseDatabase(url);
}
BENCHMARK_CAPTURE(BM_ingestFromSdk, sqlite, std::string("sqlite"))
    ->Arg(100'000)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ingestFromSdk, clickhouse, std::string("clickhouse"))
    ->Arg(100'000)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// 1,000,000 events of app "1" over 30 days: page views, classic events, custom actions,
// starts with campaigns and pulses from 20,000 clients, stored in batches of 10,000.
void fill(ZEVSiteAnalyticsStore& store, std::int64_t firstDay) {
  std::mt19937_64 random(7);
  const char* const kinds[] = {"pageview", "pageview", "pageview", "event",
                               "event",    "init",     "pulse"};
  std::vector<ZEVSiteEventRecord> batch;
  for (int i = 0; i < 1'000'000; ++i) {
    ZEVSiteEventRecord& r = batch.emplace_back();
    r.app = "1";
    r.event = kinds[random() % 7];
    r.eventId = "bench-" + std::to_string(i);
    r.clientId = "client-" + std::to_string(random() % 20'000);
    r.eventTime = (firstDay + static_cast<std::int64_t>(random() % 30)) * 86'400'000 +
                  static_cast<std::int64_t>(random() % 86'400'000);
    r.receivedTime = r.eventTime;
    r.day = zevsiteDayOf(r.eventTime);
    if (r.event == "pageview") r.title = "Page/" + std::to_string(random() % 200);
    if (r.event == "event") {
      r.category = "cat" + std::to_string(random() % 10);
      r.action = "act" + std::to_string(random() % 10);
      if (random() % 4 == 0) r.customActionId = "share";
    }
    if (r.event == "init") {
      r.firstLaunch = random() % 5 == 0;
      if (random() % 2) r.campaign = "camp" + std::to_string(random() % 30), r.source = "banner";
    }
    r.actionLabels = r.actionValues = "{}";
    r.dimensions = R"({"cd1":"blue","cm1":"3"})";
    if (batch.size() == 10'000) {
      store.insert(batch);
      batch.clear();
    }
  }
}

void BM_summaryOverOneMillionEvents(benchmark::State& state, const std::string& kind) {
  const std::string url = storeURL(kind, "summary");
  if (url.empty()) {
    state.SkipWithError("ZEVSITE_BENCH_CLICKHOUSE_URL is not set");
    return;
  }
  auto store = openAnalyticsStore(url);
  const std::int64_t firstDay = zevsiteToday() - 29;
  fill(*store, firstDay);
  const ZEVSiteSummaryQuery query{"1", zevsiteFormatDay(firstDay), zevsiteFormatDay(firstDay + 29)};
  std::int64_t events = 0;
  for (auto _ : state) events = store->summary(query).totals.events;
  state.counters["events"] = static_cast<double>(events);
  store.reset();
  dropClickHouseDatabase(url);
}
BENCHMARK_CAPTURE(BM_summaryOverOneMillionEvents, sqlite, std::string("sqlite"))
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_summaryOverOneMillionEvents, clickhouse, std::string("clickhouse"))
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
