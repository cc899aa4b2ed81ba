// Fast random numbers for ids: a per-thread generator seeded from the operating system.
#pragma once

#include <cstdint>

namespace zevsite {
// 64 random bits; any thread, no lock.
std::uint64_t randomUInt64() noexcept;
}  // namespace zevsite
