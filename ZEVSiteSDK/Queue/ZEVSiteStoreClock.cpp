#include "ZEVSiteStoreClock.h"

#include "../ZEVSiteTime.h"

#include <algorithm>

namespace zevsite {

std::int64_t elapsedBetween(const StoreClockSample& earlier, const StoreClockSample& now) {
  if (earlier.boot && now.boot && earlier.boot->bootId == now.boot->bootId) {
    return std::max<std::int64_t>(0, now.boot->uptimeMillis - earlier.boot->uptimeMillis);
  }
  if (earlier.wallMillis < kEarliestSetWallMillis || now.wallMillis < kEarliestSetWallMillis) {
    return 0;
  }
  return std::max<std::int64_t>(0, time::saturatingSub(now.wallMillis, earlier.wallMillis));
}

std::optional<std::int64_t> correctedEventTime(std::int64_t recordedMillis, std::int64_t ageMillis,
                                               std::int64_t nowWallMillis) {
  const std::int64_t happened =
      time::saturatingSub(nowWallMillis, std::max<std::int64_t>(0, ageMillis));
  const std::int64_t difference = time::saturatingSub(happened, recordedMillis);
  if (difference <= kEventTimeToleranceMillis && difference >= -kEventTimeToleranceMillis) {
    return std::nullopt;
  }
  return happened;
}

std::string withEventTime(std::string_view upload, std::int64_t millis) {
  // Keys and values are percent-encoded, so "&ts=" (or "ts=" at the start) is the key itself.
  std::size_t start = upload.rfind("&ts=");
  if (start != std::string_view::npos) {
    start += 4;
  } else if (upload.substr(0, 3) == "ts=") {
    start = 3;
  } else {
    return std::string(upload);
  }
  std::size_t end = upload.find('&', start);
  if (end == std::string_view::npos) end = upload.size();
  std::string result;
  result.reserve(upload.size() + 8);
  result.append(upload.substr(0, start));
  result.append(std::to_string(millis));
  result.append(upload.substr(end));
  return result;
}

}  // namespace zevsite
