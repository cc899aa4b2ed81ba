// Host-thread cost of hostile input: a call with 60,000 custom dimensions, a 10 MB page
// title, a 1 MB deep-link URL; and the per-batch cost of reading the limits of a 1 MB
// cached configuration document of 34,000 companies.
#include "bench_support.h"

#include <ZEVSiteSDK/ZEVSiteSDK.h>

#include "Config/ZEVSiteConfigCache.h"

#include <filesystem>
#include <fstream>

namespace {

std::shared_ptr<ZEVSiteManager> startedManager() {
  static std::shared_ptr<ZEVSiteManager> manager = [] {
    benchHome();
    return ZEVSiteManager::sharedInstanceWithAppId("123", "bench");
  }();
  return manager;
}

void BM_trackPageView60000Dimensions(benchmark::State& state) {
  auto manager = startedManager();
  ZEVSiteDictionary dimensions;
  for (int i = 0; i < 60'000; ++i) dimensions.setValue(i, "customDimension" + std::to_string(i));
  const ZEVSiteValue value(std::move(dimensions));
  for (auto _ : state) manager->trackPageView("Home", value);
}
BENCHMARK(BM_trackPageView60000Dimensions)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_trackPageView10MBTitle(benchmark::State& state) {
  auto manager = startedManager();
  const std::string title(10 << 20, 'x');
  // The title is copied for each call as a host passing a std::string by value would.
  for (auto _ : state) manager->trackPageView(title);
}
BENCHMARK(BM_trackPageView10MBTitle)->Unit(benchmark::kMillisecond);

void BM_handleOpenURL1MB(benchmark::State& state) {
  std::string url = "app://open?qx_ca=A&qx_sp=B";
  while (url.size() < (1 << 20)) url += "&k=v";
  for (auto _ : state) ZEVSiteManager::handleOpenURL(url);
}
BENCHMARK(BM_handleOpenURL1MB)->Unit(benchmark::kMillisecond);

// What the sender reads before each upload batch: the HTTP timeout from the cached document.
void BM_limitsOfA1MBCachedDocument(benchmark::State& state) {
  const std::string library = benchHome() + "/Library";
  std::filesystem::create_directories(library);
  {
    std::ofstream out(library + "/SDK_CONFIG_DATA_KEY");
    out << "<config><offlineCache><timeout>20</timeout></offlineCache><companies>";
    for (int i = 0; i < 34'000; ++i) out << "<company id=\"c" << i << "\">company text</company>";
    out << "</companies></config>";
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(zevsite::config::requestTimeout(ZEVSiteSupport::requestTimeout()));
  std::filesystem::remove(library + "/SDK_CONFIG_DATA_KEY");
}
BENCHMARK(BM_limitsOfA1MBCachedDocument)->Unit(benchmark::kMicrosecond);

}  // namespace
