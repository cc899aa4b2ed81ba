// Helpers shared by the benchmarks: a throwaway home directory and per-call latency
// percentiles reported as counters.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

// A fresh temporary home directory for this benchmark process, set as the SDK's home.
const std::string& benchHome();

// Times each call of `call` separately and reports p50/p99 in nanoseconds (averaged over
// the benchmark's threads), so one slow call in a hundred shows up.
template <class Call>
void timeEachCall(benchmark::State& state, Call&& call) {
  std::vector<std::int64_t> samples;
  samples.reserve(1 << 20);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    call();
    auto elapsed = std::chrono::steady_clock::now() - start;
    if (samples.size() < samples.capacity()) {
      samples.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
    }
  }
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  auto percentile = [&](double p) {
    return static_cast<double>(samples[static_cast<std::size_t>(p * (samples.size() - 1))]);
  };
  state.counters["p50_ns"] = benchmark::Counter(percentile(0.50), benchmark::Counter::kAvgThreads);
  state.counters["p99_ns"] = benchmark::Counter(percentile(0.99), benchmark::Counter::kAvgThreads);
}
