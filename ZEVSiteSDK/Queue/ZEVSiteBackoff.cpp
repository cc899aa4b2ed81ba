#include "ZEVSiteBackoff.h"

#include "../ZEVSiteTime.h"

#include <algorithm>

namespace zevsite {

std::chrono::milliseconds backoffDelay(int failures, std::uint64_t random,
                                       std::optional<std::chrono::seconds> retryAfter) {
  constexpr std::int64_t kFirstMillis = 1000;
  constexpr std::int64_t kMostMillis = 300'000;
  int doublings = std::clamp(failures - 1, 0, 20);
  std::int64_t full = std::min(kMostMillis, kFirstMillis << doublings);
  std::int64_t half = full / 2;
  std::int64_t delay =
      half + static_cast<std::int64_t>(random % static_cast<std::uint64_t>(half + 1));
  if (retryAfter) {
    delay = std::max(delay, time::saturatingMul(retryAfter->count(), 1000));
  }
  return std::chrono::milliseconds(delay);
}

std::chrono::milliseconds storeRetryDelay(int failures) {
  constexpr std::chrono::milliseconds kFirst{200};
  constexpr std::chrono::milliseconds kLongest{10'000};
  return std::min(kLongest, kFirst * (std::int64_t{1} << std::clamp(failures - 1, 0, 10)));
}

}  // namespace zevsite
