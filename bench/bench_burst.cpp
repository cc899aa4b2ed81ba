// A burst as a busy host makes one: N page views with two custom dimensions tracked in a
// tight loop from 1 or 2 threads while the writer (and, with --deliver, the sender) run.
// One scenario per process, so peak resident memory is the scenario's own.
//
//   zevsite_bench_burst [--events N] [--threads T] [--deliver] [--max-events M] [--drop-oldest]
//
// --max-events raises the store's event limit (the SDK's default, 10,000, without it), so
// that only the staging area's byte bound limits a burst. --drop-oldest sets that overflow
// policy (tracking calls never wait; the oldest staged events go) instead of the default,
// Block (a call waits for the writer when the staging area is full).
//
// Prints how many of the events were kept (staging drops the oldest beyond its bounds); the
// per-call median, p99, p99.9 and max; events on disk per second (until flush returns) or,
// with --deliver, events delivered per second to a loopback collector (until the store is
// empty); peak resident memory, and the peak of its private part (RssAnon, sampled every
// millisecond: resident memory without the pages of shared libraries); heap allocations
// (operator new) per tracking call on the host's threads; and CPU time per event summed over
// all threads.
#include <ZEVSiteSDK/ZEVSiteSDK.h>

#include "Queue/ZEVSiteEventStorage.h"
#include "ZEVSiteCollector.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Counts operator new calls made by the tracking threads while they track.
thread_local bool countAllocations = false;
std::atomic<long> hostAllocations{0};

struct Options {
  long events = 100'000;
  int threads = 1;
  bool deliver = false;
  std::size_t maxEvents = 0;  // 0: the SDK's default
  bool dropOldest = false;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--events") && i + 1 < argc) {
      options.events = std::atol(argv[++i]);
    } else if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) {
      options.threads = std::max(1, std::atoi(argv[++i]));
    } else if (!std::strcmp(argv[i], "--deliver")) {
      options.deliver = true;
    } else if (!std::strcmp(argv[i], "--max-events") && i + 1 < argc) {
      options.maxEvents = static_cast<std::size_t>(std::atol(argv[++i]));
    } else if (!std::strcmp(argv[i], "--drop-oldest")) {
      options.dropOldest = true;
    } else {
      std::fprintf(stderr,
                   "usage: %s [--events N] [--threads T] [--deliver] [--max-events M] "
                   "[--drop-oldest]\n",
                   argv[0]);
      std::exit(2);
    }
  }
  return options;
}

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double peakResidentMiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
}

// The process's private resident memory now (RssAnon), in KiB.
long residentAnonymousKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("RssAnon:", 0) == 0) return std::atol(line.c_str() + 8);
  }
  return 0;
}

// Call times in buckets 1/128 of a power of two wide (exact below 128 ns, under 1 % apart
// above): percentiles to that precision in 64 KiB per thread, so that the benchmark's own
// memory stays out of the peak it reports (a sample per call took 8 MB for a million calls).
class LatencyHistogram {
 public:
  void add(std::uint64_t nanos) {
    ++counts_[bucket(nanos)];
    ++total_;
    max_ = std::max(max_, nanos);
  }
  void merge(const LatencyHistogram& other) {
    for (std::size_t i = 0; i < counts_.size(); ++i) counts_[i] += other.counts_[i];
    total_ += other.total_;
    max_ = std::max(max_, other.max_);
  }
  // The lower edge of the bucket holding the call at fraction `p` of the calls, sorted.
  double percentileMicros(double p) const {
    const auto rank = static_cast<std::uint64_t>(p * static_cast<double>(total_ - 1));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < counts_.size(); ++i) {
      seen += counts_[i];
      if (seen > rank) return static_cast<double>(lowerEdge(i)) / 1000.0;
    }
    return static_cast<double>(max_) / 1000.0;
  }
  double maxMicros() const { return static_cast<double>(max_) / 1000.0; }

 private:
  static constexpr int kSubBits = 7;
  static std::size_t bucket(std::uint64_t nanos) {
    if (nanos < (1u << kSubBits)) return static_cast<std::size_t>(nanos);
    const int exponent = std::bit_width(nanos) - 1 - kSubBits;
    return (static_cast<std::size_t>(exponent + 1) << kSubBits) +
           static_cast<std::size_t>((nanos >> exponent) - (1u << kSubBits));
  }
  static std::uint64_t lowerEdge(std::size_t index) {
    if (index < (1u << kSubBits)) return index;
    const std::size_t exponent = (index >> kSubBits) - 1;
    return (std::uint64_t{(index & ((1u << kSubBits) - 1)) + (1u << kSubBits)}) << exponent;
  }
  std::vector<std::uint64_t> counts_ = std::vector<std::uint64_t>(std::size_t{64} << kSubBits);
  std::uint64_t total_ = 0;
  std::uint64_t max_ = 0;
};

std::string makeHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zevsite-burst-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) std::abort();
  return pattern;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  const std::string home = makeHome();
  ZEVSiteSupport::setHomeDirectory(home);
  ZEVSiteNetworkStatusSimple::setProvider([] { return ZEVSiteNetworkStatus_WiFi; });
  zevsite::collector::Collector collector;
  if (options.deliver) {
    collector.countOnly(static_cast<std::size_t>(options.events) + 16);
    ZEVSiteSupport::setCollectURL(collector.start());
  }
  if (options.dropOldest) ZEVSiteSupport::setOverflowPolicy(ZEVSiteOverflowPolicy::DropOldest);
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("123", "burst");
  if (options.maxEvents > 0) {
    zevsite::EventStorage::forHome(home)->setLimits(options.maxEvents, 604800);
  }
  // The start-up event (a second after creation) is stored, and the store open, before the
  // clock runs: the burst's events are then what the store gains.
  while (ZEVSiteSupport::statistics().tracked == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ZEVSiteSupport::flush(std::chrono::seconds(10));
  auto storage = zevsite::EventStorage::forHome(home);
  std::size_t before = 0;
  if (options.deliver) {
    before = collector.eventCount();
  } else {
    storage->withStore([&](zevsite::EventStore& store) { before = store.count().value_or(0); });
  }

  const long perThread = options.events / options.threads;
  std::vector<LatencyHistogram> samples(options.threads);
  std::atomic<bool> sampling{true};
  std::atomic<long> peakAnonymousKiB{residentAnonymousKiB()};
  const long idleAnonymousKiB = peakAnonymousKiB.load();
  std::thread sampler([&] {
    while (sampling) {
      peakAnonymousKiB = std::max(peakAnonymousKiB.load(), residentAnonymousKiB());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const double cpuBefore = cpuSeconds();
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < options.threads; ++t) {
    threads.emplace_back([&, t] {
      // Made once, as a host would keep a value it sends with every event: the conversion
      // from a dictionary is the host's cost, not the SDK's.
      const ZEVSiteValue dimensions =
          ZEVSiteDictionary{{"customDimension1", "blue"}, {"customMetrics2", 3}};
      for (long i = 0; i < perThread; ++i) {
        const auto callStart = Clock::now();
        countAllocations = true;
        manager->trackPageView("Home", dimensions);
        countAllocations = false;
        samples[t].add(static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - callStart)
                .count()));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto tracked = Clock::now();
  const long total = perThread * options.threads;
  // Done once everything kept is on disk and, with --deliver, the store is empty again.
  // Without a collector there is no collect URL, and flush answers false once on disk.
  bool complete = options.deliver
                      ? ZEVSiteSupport::flush(std::chrono::minutes(2))
                      : storage->flush(std::chrono::steady_clock::now() + std::chrono::minutes(2));
  for (const auto deadline = Clock::now() + std::chrono::minutes(2); complete && options.deliver;) {
    std::size_t stored = 1;
    storage->withStore([&](zevsite::EventStore& store) { stored = store.count().value_or(1); });
    if (stored == 0) break;
    complete = Clock::now() < deadline;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const auto done = Clock::now();
  const double cpu = cpuSeconds() - cpuBefore;
  sampling = false;
  sampler.join();
  // Events that arrived (or were stored): fewer than tracked when staging dropped some.
  std::size_t arrived = 0;
  if (options.deliver) {
    arrived = collector.eventCount() - before;
  } else {
    storage->withStore([&](zevsite::EventStore& store) { arrived = store.count().value_or(0); });
    arrived -= std::min(arrived, before);
  }

  LatencyHistogram all;
  for (const auto& perThreadSamples : samples) all.merge(perThreadSamples);
  auto seconds = [](Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
  };
  std::printf("%ld page views, %d thread(s), %zu %s\n", total, options.threads, arrived,
              options.deliver ? "delivered to a loopback collector" : "stored");
  std::printf("per call: median %.2f us, p99 %.2f us, p99.9 %.2f us, max %.2f us\n",
              all.percentileMicros(0.5), all.percentileMicros(0.99), all.percentileMicros(0.999),
              all.maxMicros());
  std::printf("tracking took %.3f s; %s per second: %.0f%s\n", seconds(tracked - start),
              options.deliver ? "delivered" : "on disk", arrived / seconds(done - start),
              complete ? "" : " (INCOMPLETE: timed out)");
  std::printf(
      "peak resident memory: %.1f MiB, of it private: %.1f MiB (%.1f MiB before the burst)\n",
      peakResidentMiB(), peakAnonymousKiB.load() / 1024.0, idleAnonymousKiB / 1024.0);
  std::printf("heap allocations per tracking call: %.2f; CPU per event (all threads): %.2f us\n",
              static_cast<double>(hostAllocations.load()) / static_cast<double>(total),
              cpu * 1e6 / static_cast<double>(total));

  // What the SDK says became of the burst: every event tracked is stored or dropped, by reason.
  const ZEVSiteStatistics counters = ZEVSiteSupport::statistics();
  std::printf(
      "SDK counters: tracked %llu, stored %llu, delivered %llu; dropped %llu overflow, %llu "
      "over the event limit, %llu expired\n",
      static_cast<unsigned long long>(counters.tracked),
      static_cast<unsigned long long>(counters.stored),
      static_cast<unsigned long long>(counters.delivered),
      static_cast<unsigned long long>(counters.dropped.overflow),
      static_cast<unsigned long long>(counters.dropped.eventLimit),
      static_cast<unsigned long long>(counters.dropped.expiry));
  // Calls that found the staging area full and waited for the writer (Block): none when the
  // writer keeps up with the host.
  std::printf("tracking calls that waited for the writer: %llu\n",
              static_cast<unsigned long long>(storage->counts().waitedForRoom));

  ZEVSiteSupport::setCollectURL(std::nullopt);
  ZEVSiteSupport::shutdown(std::chrono::seconds(5));
  if (options.deliver) collector.stop();
  std::filesystem::remove_all(home);
  return complete ? 0 : 1;
}

// Every allocation of the process goes through here; those of a tracking call are counted.
void* operator new(std::size_t size) {
  if (countAllocations) hostAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* memory = std::malloc(size ? size : 1)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
