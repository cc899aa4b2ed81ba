// Retry delays: the sender's after failed uploads, 1 s doubling up to 5 minutes with jitter
// so that many devices that failed together do not retry together; and the local one after
// failures to use the event store, which concern this device alone.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace zevsite {

// Delay before the next attempt after `failures` consecutive failures (1 = the first),
// between half and all of min(1 s * 2^(failures-1), 5 min), placed by `random`. At least
// `retryAfter` when the collector asked for that.
std::chrono::milliseconds backoffDelay(int failures, std::uint64_t random,
                                       std::optional<std::chrono::seconds> retryAfter = {});

// Delay before the next use of the event store after `failures` consecutive failures to use
// it (1 = the first): 200 ms doubling up to 10 s.
std::chrono::milliseconds storeRetryDelay(int failures);

}  // namespace zevsite
