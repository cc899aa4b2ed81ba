// Host-thread cost of the tracking calls on a started manager, and of the serialiser.
#include "bench_support.h"

#include <ZEVSiteSDK/ZEVSiteSDK.h>

#include "ZEVSiteParameter.h"

namespace {

std::shared_ptr<ZEVSiteManager> startedManager() {
  static std::shared_ptr<ZEVSiteManager> manager = [] {
    benchHome();
    return ZEVSiteManager::sharedInstanceWithAppId("123", "bench");
  }();
  return manager;
}

void BM_trackPulse(benchmark::State& state) {
  auto manager = startedManager();
  timeEachCall(state, [&] { manager->trackPulse(); });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_trackPulse)->Threads(1)->Threads(2)->UseRealTime();

void BM_trackPageViewTwoDimensions(benchmark::State& state) {
  auto manager = startedManager();
  timeEachCall(state, [&] {
    manager->trackPageView("Home", {{"customDimension2", "blue"}, {"customMetrics1", 3}});
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_trackPageViewTwoDimensions)->Threads(1)->Threads(2)->UseRealTime();

void BM_trackSiteCustomEventThreeKeys(benchmark::State& state) {
  auto manager = startedManager();
  timeEachCall(state, [&] {
    manager->trackSiteCustomEvent(
        {{"customActionId", "a"}, {"customActionLabel1", "x"}, {"customActionValue2", 5}});
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_trackSiteCustomEventThreeKeys)->Threads(1)->Threads(2)->UseRealTime();

void BM_serialisePageView(benchmark::State& state) {
  benchHome();
  ZEVSiteDictionary event{{"dt", "Home page"}, {"ni", 0},         {"cd2", "blue"},
                          {"cm1", 3},          {"tid", "dc-123"}, {"t", "pageview"}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(ZEVSiteParameter::systemUploadAttributes(event));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_serialisePageView);

}  // namespace
