// How the sender reacts to the answer to one upload batch. A pure function of the answer,
// the failures so far, the batch size and the time, so that every kind of answer is tested
// with a table and no network; the sender only carries out what it decides.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zevsite {
enum class UploadAction {
  Delete,  // delivered: delete the batch
  Wait,    // keep the batch and try again after `delay`
  Split,   // too large: keep the batch and send it in halves
  Drop,    // refused for good: delete the batch with a log line
};

struct UploadReaction {
  UploadAction action = UploadAction::Wait;
  std::chrono::milliseconds delay{0};  // Wait only
};

// The longest wait a collector can ask for with Retry-After; a longer value (or a date
// further ahead) waits this long, so that a wrong header never stops delivery for good.
inline constexpr std::chrono::seconds kLongestRetryAfter{3600};

// Reads a Retry-After value, delta-seconds or an HTTP date, as a wait from `nowSeconds`,
// at most kLongestRetryAfter. Nothing for an empty, signed or malformed value; a date in the
// past is no wait.
std::optional<std::chrono::seconds> parseRetryAfter(std::string_view value,
                                                    std::int64_t nowSeconds);

// The reaction to `status` (0: no HTTP answer) with its Retry-After value, after
// `failuresSoFar` failed attempts in a row, for a batch of `batchSize` events. `random`
// places the backoff within its jitter. 2xx deletes; 413 splits (or drops a single event);
// 408, 429, 5xx, 1xx, 3xx and network errors wait with exponential backoff, at least as
// long as a Retry-After asks (capped); any other 4xx drops.
UploadReaction reactToUpload(long status, std::string_view retryAfter, int failuresSoFar,
                             std::size_t batchSize, std::int64_t nowSeconds, std::uint64_t random);

}  // namespace zevsite
