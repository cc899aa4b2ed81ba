// Fuzzes the collector's upload decoder: any request body must decode without a crash, every
// line must end up either as a record or as a counted malformed line, and a record must
// carry what the stores key on (an event id, a kind of event, an app) and a valid day.
#include "ZEVSiteSummaryFormat.h"
#include "ZEVSiteUploadDecoder.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  constexpr std::size_t kMaxLines = 64;
  ZEVSiteDecodedBatch batch;
  const bool within = zevsiteDecodeUploadBody(body, 1'796'666'203'000, kMaxLines, batch);
  const std::size_t lines = zevsiteCountUploadLines(body);
  if (within != (lines <= kMaxLines)) std::abort();
  if (!within) return 0;
  if (batch.records.size() + batch.malformed.size() != lines) std::abort();
  if (batch.records.size() != batch.uploads.size()) std::abort();
  for (const auto& record : batch.records) {
    if (record.eventId.empty() || record.eventId.size() > 64 || record.event.empty() ||
        record.app.empty() || !zevsiteParseDay(record.day)) {
      std::abort();
    }
    if (record.dimensions.front() != '{' || record.dimensions.back() != '}') std::abort();
  }
  return 0;
}
