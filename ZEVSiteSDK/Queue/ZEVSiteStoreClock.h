// The event store's clock: milliseconds of time the SDK has seen pass, kept with the store so
// that it goes on counting from one process to the next. Stored events are aged on it, not
// on the wall clock, so that setting the wall clock (a board without a real-time clock that
// gets the time from the network, a clock put forward by hand) never makes an event look
// expired; and the time an event really happened can be told again from its age when the
// wall clock was wrong while it was made.
//
// Pure functions; the store persists samples and the storage advances the clock.
#pragma once

#include "../Platform/ZEVSitePlatform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zevsite {

// One reading of the store's clock with the wall and boot clocks beside it.
struct StoreClockSample {
  std::int64_t seenMillis = 0;
  std::int64_t wallMillis = 0;
  std::optional<BootClock> boot;
};

// A wall clock before this (2026-01-01) has not been set: a board without a real-time clock
// starts at some fixed date until it gets the time.
constexpr std::int64_t kEarliestSetWallMillis = 1'767'225'600'000;

// Time that passed between `earlier` (taken by this process or an earlier one) and `now`.
// Within one boot, the boot clock tells exactly. Across boots, or without a boot clock, the
// wall clock's difference is the only witness: taken when it went forward and the clock was
// set at both readings, else nothing is counted (events then live longer, never shorter).
std::int64_t elapsedBetween(const StoreClockSample& earlier, const StoreClockSample& now);

// When an event made `ageMillis` ago on the store's clock happened by the wall clock at
// `nowWallMillis`; nullopt when its recorded time `recordedMillis` agrees within
// kEventTimeTolerance (the usual case: nothing to correct).
constexpr std::int64_t kEventTimeToleranceMillis = 60'000;
std::optional<std::int64_t> correctedEventTime(std::int64_t recordedMillis, std::int64_t ageMillis,
                                               std::int64_t nowWallMillis);

// `upload` with its "ts" system attribute set to `millis` (as the serialiser writes it: the
// one unescaped "ts=" key); unchanged when it has none.
std::string withEventTime(std::string_view upload, std::int64_t millis);

}  // namespace zevsite
