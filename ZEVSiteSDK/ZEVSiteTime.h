// Overflow-safe arithmetic for times and durations: every sum, difference and product of
// times the SDK computes from outside input (server answers, configuration documents, the
// clock) saturates at the int64 range instead of overflowing.
#pragma once

#include <cstdint>
#include <limits>

namespace zevsite::time {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

constexpr std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? kMax : kMin;
  return sum;
}

constexpr std::int64_t saturatingSub(std::int64_t a, std::int64_t b) {
  std::int64_t difference = 0;
  if (__builtin_sub_overflow(a, b, &difference)) return b < 0 ? kMax : kMin;
  return difference;
}

constexpr std::int64_t saturatingMul(std::int64_t a, std::int64_t b) {
  std::int64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return (a < 0) != (b < 0) ? kMin : kMax;
  return product;
}

}  // namespace zevsite::time
