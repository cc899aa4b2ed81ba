// Delivery end to end (tracking call to collector, over loopback) and the memory the SDK
// holds while the collector is down.
#include "bench_support.h"

#include <ZEVSiteSDK/ZEVSiteSDK.h>

#include "Queue/ZEVSiteEventStorage.h"
#include "ZEVSiteCollector.h"

#include <fstream>
#include <thread>

namespace {

double residentMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

void BM_deliveryEndToEnd(benchmark::State& state) {
  const std::string home = benchHome() + "/delivery";
  ZEVSiteSupport::setHomeDirectory(home);
  zevsite::collector::Collector collector;
  collector.countOnly(1'000'000);
  ZEVSiteSupport::setCollectURL(collector.start());
  ZEVSiteNetworkStatusSimple::setProvider([] { return ZEVSiteNetworkStatus_WiFi; });
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("123", "bench");
  // Room for a whole burst: this measures delivery, not the drop-oldest limit.
  zevsite::EventStorage::forHome(home)->setLimits(1'000'000, 604800);
  const int burst = static_cast<int>(state.range(0));
  std::size_t expected = 0;
  for (auto _ : state) {
    for (int i = 0; i < burst; ++i) manager->trackPageView("Home");
    expected += static_cast<std::size_t>(burst);
    if (!collector.waitForEventCount(expected, std::chrono::seconds(60))) {
      state.SkipWithError("not every event arrived");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * burst);
  state.counters["requests"] = static_cast<double>(collector.uploadRequests());
  state.counters["duplicates"] = static_cast<double>(collector.duplicates());
  ZEVSiteSupport::setCollectURL(std::nullopt);
  collector.stop();
  ZEVSiteSupport::setHomeDirectory(benchHome());
}
BENCHMARK(BM_deliveryEndToEnd)
    ->Arg(50'000)
    ->Iterations(4)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_memoryWhileCollectorDown(benchmark::State& state) {
  const std::string home = benchHome() + "/down";
  ZEVSiteSupport::setHomeDirectory(home);
  // Port 9 (discard) on loopback: nothing listens, every upload fails and is retried.
  ZEVSiteSupport::setCollectURL("http://127.0.0.1:9/collect");
  ZEVSiteNetworkStatusSimple::setProvider([] { return ZEVSiteNetworkStatus_WiFi; });
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("123", "bench");
  manager->trackPulse();
  ZEVSiteSupport::flush(std::chrono::seconds(5));
  const double before = residentMiB();
  double peak = before;
  for (auto _ : state) {
    const long perThread = state.range(0) / 2;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&] {
        for (long i = 0; i < perThread; ++i) {
          manager->trackEvent("shop", "buy", "sku", i, {{"customDimension1", "blue"}});
          if (i % 50'000 == 0) peak = std::max(peak, residentMiB());
        }
      });
    }
    for (auto& thread : threads) thread.join();
    ZEVSiteSupport::flush(std::chrono::seconds(10));
    peak = std::max(peak, residentMiB());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["rss_growth_MiB"] = peak - before;
  ZEVSiteSupport::setCollectURL(std::nullopt);
  ZEVSiteSupport::setHomeDirectory(benchHome());
}
BENCHMARK(BM_memoryWhileCollectorDown)
    ->Arg(1'000'000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
