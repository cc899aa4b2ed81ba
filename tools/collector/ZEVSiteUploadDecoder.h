// Decodes the body of one upload request (upload strings joined by newlines) into event
// records for the analytics store, within the collector's bounds, and reads the device's
// clock error from the request's headers. Pure functions, called on the collector's server
// threads and by the fuzzer.
#pragma once

#include "ZEVSiteEventRecord.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zevsite::collector {

struct UploadLimits {
  std::size_t maxBodyBytes = 8u << 20;           // as received (compressed or not)
  std::size_t maxDecompressedBytes = 16u << 20;  // after gzip
  std::size_t maxLines = 1000;
};

// The header of an upload request with the device's wall clock when it sent the request:
// milliseconds since the epoch, a decimal integer. Devices without a real-time clock may be
// years off; the collector moves the request's event times by the difference to its own
// clock.
inline constexpr char kSentAtHeader[] = "X-ZEVSite-Sent-At";

// How far the device's clock is behind the collector's (ms; negative when it is ahead): the
// collector's clock when the request arrived minus the sent-at header's value. Nothing when
// that value is not a time the stores take (empty, not a decimal integer, negative, from 2100
// on): the request's events keep their times.
std::optional<std::int64_t> clockCorrectionOf(std::string_view sentAt, std::int64_t receivedTime);

struct DecodedBatch {
  std::int64_t clockCorrection = 0;  // added to each ts of the request (ms)
  std::vector<EventRecord> records;
  std::vector<std::string> uploads;  // the upload string of each record, in order
  // Lines that are not upload strings of an event: skipped, counted, one reason each.
  std::vector<std::string> malformed;
};

// Splits `body` into lines (a trailing newline ends the last line, it does not start an
// empty one) and decodes each with `clockCorrection` (decodeRecord); false when the
// body holds more than `maxLines` lines.
bool decodeUploadBody(std::string_view body, std::int64_t receivedTime,
                      std::int64_t clockCorrection, std::size_t maxLines, DecodedBatch& batch);

// Number of lines `decodeUploadBody` sees in `body`.
std::size_t countUploadLines(std::string_view body);

}  // namespace zevsite::collector
