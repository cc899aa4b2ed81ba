// How fast events reach SQLite: the store's batched insert alone, and the whole path from
// accept (the host's side) to committed rows through the writer thread.
#include "bench_support.h"

#include "Queue/ZEVSiteEventStorage.h"
#include "Queue/ZEVSiteEventStore.h"

#include <cstdio>
#include <filesystem>

namespace {

// A page view as the serialiser writes it, with a full context: about 270 bytes, of which
// the event id and time differ from one event to the next.
std::string sampleBody(int i) {
  char eventId[17];
  std::snprintf(eventId, sizeof eventId, "%016llx",
                static_cast<unsigned long long>(i) * 0x9e3779b97f4a7c15ULL);
  return "dt=Home&ni=0&tid=dc-123&t=pageview&cd1=blue&cd2=" + std::to_string(i % 10) +
         "&v=1&cid=4242424242424242&eid=" + eventId + "&ts=" + std::to_string(1733500000000 + i) +
         "&sdkv=0.1.0&uid=user-4711&av=2.4.1&ab=1093&os=Debian%20GNU%2FLinux&osv=12&arch=x86_64"
         "&lc=en-US&tz=60&sr=1920x1080&sid=9f86d081884c7d65&sn=3";
}

void BM_storeInsertBatch(benchmark::State& state) {
  std::string path = benchHome() + "/insert-bench.sqlite";
  std::filesystem::remove(path);
  auto store = zevsite::EventStore::open(path).store;
  if (!store) return;
  std::vector<std::string> bodies;
  for (int i = 0; i < state.range(0); ++i) bodies.push_back(sampleBody(i));
  std::vector<zevsite::PendingEvent> batch;
  for (const auto& body : bodies) batch.push_back({"pageview", body, 0});
  for (auto _ : state) store->insertBatch(batch, zevsite::StoreClockSample{});
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_storeInsertBatch)->Arg(100)->Arg(500)->Arg(2000)->UseRealTime();

void BM_acceptToCommitted(benchmark::State& state) {
  auto storage = zevsite::EventStorage::forHome(benchHome());
  storage->setLimits(100'000'000, 604800);
  std::vector<std::string> bodies;
  for (int i = 0; i < 10000; ++i) bodies.push_back(sampleBody(i));
  for (auto _ : state) {
    for (const auto& body : bodies) storage->accept("pageview", body, 0);
    storage->flush(std::chrono::steady_clock::now() + std::chrono::seconds(30));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(bodies.size()));
  storage->setLimits(zevsite::EventStorage::kDefaultMaxEvents,
                     zevsite::EventStorage::kDefaultExpirationSecs);
}
BENCHMARK(BM_acceptToCommitted)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
