#include "ZEVSiteRandom.h"

#include "Platform/ZEVSiteForkSafety.h"

#include <unistd.h>

#include <random>

namespace zevsite {
namespace {

std::uint64_t freshSeed() noexcept {
  std::uint64_t seed = 0;
  try {
    std::random_device device;
    seed = (static_cast<std::uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    seed = reinterpret_cast<std::uintptr_t>(&seed);
  }
  // The process id keeps even a failing entropy source apart between parent and child.
  seed ^= static_cast<std::uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull;
  return seed ? seed : 0x9E3779B97F4A7C15ull;
}

}  // namespace

std::uint64_t randomUInt64() noexcept {
  // xorshift64* seeded per thread from std::random_device (the OS entropy source), and again
  // in a child after fork(), which would otherwise repeat the parent's sequence.
  thread_local std::uint64_t state = 0;
  thread_local std::uint64_t seededInForkGeneration = 0;
  const std::uint64_t generation = forksafety::forkGeneration();
  if (state == 0 || seededInForkGeneration != generation) {
    state = freshSeed();
    seededInForkGeneration = generation;
  }
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return state * 0x2545F4914F6CDD1Dull;
}

}  // namespace zevsite
