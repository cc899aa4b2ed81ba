#include "ZEVSiteRandom.h"

#include <random>

namespace zevsite {

std::uint64_t randomUInt64() noexcept {
  // xorshift64* seeded once per thread from std::random_device (the OS entropy source).
  thread_local std::uint64_t state = [] {
    std::uint64_t seed = 0;
    try {
      std::random_device device;
      seed = (static_cast<std::uint64_t>(device()) << 32) ^ device();
    } catch (...) {
      seed = reinterpret_cast<std::uintptr_t>(&seed);
    }
    return seed ? seed : 0x9E3779B97F4A7C15ull;
  }();
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return state * 0x2545F4914F6CDD1Dull;
}

}  // namespace zevsite
