#include "ZEVSiteUploadReaction.h"

#include "../ZEVSiteTime.h"
#include "ZEVSiteBackoff.h"

#include <curl/curl.h>

#include <algorithm>
#include <string>

namespace zevsite {
namespace {

bool isDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whole seconds of a delta-seconds value, saturated instead of overflowing.
std::int64_t deltaSeconds(std::string_view digits) {
  std::int64_t seconds = 0;
  for (char c : digits) {
    seconds = zevsite::time::saturatingAdd(zevsite::time::saturatingMul(seconds, 10), c - '0');
  }
  return seconds;
}

}  // namespace

std::optional<std::chrono::seconds> parseRetryAfter(std::string_view value,
                                                    std::int64_t nowSeconds) {
  if (value.empty()) return std::nullopt;
  std::int64_t seconds = 0;
  if (isDigits(value)) {
    seconds = deltaSeconds(value);
  } else {
    if (value.front() == '-' || value.front() == '+') return std::nullopt;
    const std::string text(value);  // curl_getdate wants a terminated string
    const time_t date = curl_getdate(text.c_str(), nullptr);
    if (date < 0) return std::nullopt;
    seconds = std::max<std::int64_t>(
        0, zevsite::time::saturatingSub(static_cast<std::int64_t>(date), nowSeconds));
  }
  return std::chrono::seconds(std::min<std::int64_t>(seconds, kLongestRetryAfter.count()));
}

UploadReaction reactToUpload(long status, std::string_view retryAfter, int failuresSoFar,
                             std::size_t batchSize, std::int64_t nowSeconds, std::uint64_t random) {
  if (status >= 200 && status < 300) return {UploadAction::Delete};
  if (status == 413) {
    return {batchSize > 1 ? UploadAction::Split : UploadAction::Drop};
  }
  // 408 (the collector timed the request out) and 429 are worth retrying, like 5xx.
  const bool clientError = status >= 400 && status < 500 && status != 408 && status != 429;
  if (clientError) return {UploadAction::Drop};
  const int failures = failuresSoFar < 1000 ? failuresSoFar + 1 : 1000;
  return {UploadAction::Wait,
          zevsite::backoffDelay(failures, random, parseRetryAfter(retryAfter, nowSeconds))};
}

}  // namespace zevsite
