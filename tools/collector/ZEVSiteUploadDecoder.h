// Decodes the body of one upload request (upload strings joined by newlines) into event
// records for the analytics store, within the collector's bounds. Pure functions, called
// on the collector's server threads and by the fuzzer.
#pragma once

#include "ZEVSiteEventRecord.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ZEVSiteUploadLimits {
  std::size_t maxBodyBytes = 8u << 20;           // as received (compressed or not)
  std::size_t maxDecompressedBytes = 16u << 20;  // after gzip
  std::size_t maxLines = 1000;
};

struct ZEVSiteDecodedBatch {
  std::vector<ZEVSiteEventRecord> records;
  std::vector<std::string> uploads;  // the upload string of each record, in order
  // Lines that are not upload strings of an event: skipped, counted, one reason each.
  std::vector<std::string> malformed;
};

// Splits `body` into lines (a trailing newline ends the last line, it does not start an
// empty one) and decodes each; false when the body holds more than `maxLines` lines.
bool zevsiteDecodeUploadBody(std::string_view body, std::int64_t receivedTime, std::size_t maxLines,
                             ZEVSiteDecodedBatch& batch);

// Number of lines `zevsiteDecodeUploadBody` sees in `body`.
std::size_t zevsiteCountUploadLines(std::string_view body);
