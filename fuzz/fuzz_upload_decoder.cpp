// Fuzzes the collector's upload decoder: any request body must decode without a crash, every
// line must end up either as a record or as a counted malformed line, and a record must
// carry what the stores key on (an event id, a kind of event, an app), a valid day, and
// times within what the stores take after a clock correction of years. The body is also
// read as a sent-at header.
#include "ZEVSiteSummaryFormat.h"
#include "ZEVSiteUploadDecoder.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  constexpr std::size_t kMaxLines = 64;
  constexpr std::int64_t kReceivedTime = 1'796'666'203'000;
  // The device's clock 25 years ahead: early times would go below the epoch.
  constexpr std::int64_t kClockCorrection = -788'918'400'000;
  if (auto correction = zevsite::collector::clockCorrectionOf(body, kReceivedTime)) {
    if (kReceivedTime - *correction < 0 ||
        kReceivedTime - *correction >= zevsite::collector::kEndOfEventTimes) {
      std::abort();
    }
  }
  zevsite::collector::DecodedBatch batch;
  const bool within =
      zevsite::collector::decodeUploadBody(body, kReceivedTime, kClockCorrection, kMaxLines, batch);
  const std::size_t lines = zevsite::collector::countUploadLines(body);
  if (within != (lines <= kMaxLines)) std::abort();
  if (!within) return 0;
  if (batch.records.size() + batch.malformed.size() != lines) std::abort();
  if (batch.records.size() != batch.uploads.size()) std::abort();
  for (const auto& record : batch.records) {
    if (record.eventId.empty() || record.eventId.size() > 64 || record.event.empty() ||
        record.app.empty() || !zevsite::collector::parseDay(record.day)) {
      std::abort();
    }
    if (record.dimensions.front() != '{' || record.dimensions.back() != '}') std::abort();
    for (std::int64_t time : {record.eventTime, record.deviceTime}) {
      if (time < 0 || time >= zevsite::collector::kEndOfEventTimes) std::abort();
    }
    if (record.eventTime !=
        zevsite::collector::correctedTime(record.deviceTime, kClockCorrection)) {
      std::abort();
    }
  }
  return 0;
}
