// One SDK sender for the collector benchmark, in a process of its own: the SDK has one
// sender per process, so several of these play several hosts sending to one collector.
//
//   zevsite_bench_sender HOME EVENTS
//
// Stores EVENTS page views (with a custom dimension) in the SDK's store under HOME while no
// collect URL is set, prints "ready N" (N: events stored, start-up events included), reads
// the collect URL from standard input and sets it; at the next line (the collector has every
// event) prints "done S" (S: CPU seconds the process spent delivering) and exits.
#include <ZEVSiteSDK/ZEVSiteSDK.h>

#include "Queue/ZEVSiteEventStorage.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s HOME EVENTS\n", argv[0]);
    return 2;
  }
  const std::string home = argv[1];
  const long events = std::atol(argv[2]);
  ZEVSiteSupport::setHomeDirectory(home);
  ZEVSiteNetworkStatusSimple::setProvider([] { return ZEVSiteNetworkStatus_WiFi; });
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("123", "bench");
  auto storage = zevsite::EventStorage::forHome(home);
  storage->setLimits(10'000'000, 604800);
  // In slices the writer keeps up with: the staging area drops the oldest beyond its bound.
  constexpr long kSlice = 5'000;
  for (long done = 0; done < events; done += kSlice) {
    for (long i = done; i < std::min(events, done + kSlice); ++i) {
      manager->trackPageView("Page/" + std::to_string(i % 50), {{"customDimension1", "blue"}});
    }
    ZEVSiteSupport::flush(std::chrono::seconds(30));
  }
  std::size_t stored = 0;
  storage->withStore([&](zevsite::EventStore& store) { stored = store.count().value_or(0); });
  std::printf("ready %zu\n", stored);
  std::fflush(stdout);

  std::string url;
  if (!std::getline(std::cin, url)) return 1;
  const double cpuBefore = cpuSeconds();
  ZEVSiteSupport::setCollectURL(url);
  // The collector tells when it has every event: counting the store here would cost more
  // than sending.
  std::string stop;
  std::getline(std::cin, stop);
  // The process's CPU time spent delivering, all threads.
  std::printf("done %.6f\n", cpuSeconds() - cpuBefore);
  std::fflush(stdout);
  ZEVSiteSupport::shutdown(std::chrono::seconds(5));
  return 0;
}
