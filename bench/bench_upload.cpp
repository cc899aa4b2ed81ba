// The sender's cost of building one upload request of a full batch (100 page views as the
// serialiser makes them, with a full context), plain and gzip, with the bytes each event
// takes on the wire.
#include "bench_support.h"

#include <ZEVSiteSDK/ZEVSiteSDK.h>

#include "Network/ZEVSiteHTTPClient.h"
#include "ZEVSiteParameter.h"

namespace {

std::vector<std::string> fullBatch() {
  benchHome();
  // Every event carries the context a typical host sets (and the system's, and its session).
  ZEVSiteSupport::setAppVersion("2.4.1", "1093");
  ZEVSiteSupport::setUserId("user-4711");
  ZEVSiteSupport::setScreenSize(1920, 1080);
  std::vector<std::string> uploads;
  for (int i = 0; i < 100; ++i) {
    ZEVSiteDictionary event{{"dt", "Product/" + std::to_string(i)},
                            {"ni", 0},
                            {"cd2", i % 2 ? "blue" : "green"},
                            {"tid", "dc-123"},
                            {"t", "pageview"}};
    uploads.push_back(ZEVSiteParameter::systemUploadAttributes(event));
  }
  return uploads;
}

void BM_buildUploadRequestOfFullBatch(benchmark::State& state) {
  const bool compress = state.range(0) != 0;
  const std::vector<std::string> uploads = fullBatch();
  std::size_t bodyBytes = 0;
  for (auto _ : state) {
    zevsite::HttpRequest request =
        zevsite::buildUploadRequest("http://127.0.0.1/collect", uploads, compress);
    bodyBytes = request.body.size();
    benchmark::DoNotOptimize(request);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(uploads.size()));
  state.counters["body_bytes_per_event"] =
      static_cast<double>(bodyBytes) / static_cast<double>(uploads.size());
  state.SetLabel(compress ? "gzip" : "plain");
}
BENCHMARK(BM_buildUploadRequestOfFullBatch)->Arg(0)->Arg(1);

}  // namespace
