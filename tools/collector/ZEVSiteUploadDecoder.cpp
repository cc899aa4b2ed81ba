#include "ZEVSiteUploadDecoder.h"

namespace zevsite::collector {

namespace {

// Calls `line` for each line of `body`; a final newline does not start another line.
template <class LineFn>
void forEachLine(std::string_view body, LineFn&& line) {
  while (!body.empty()) {
    std::size_t end = body.find('\n');
    line(body.substr(0, end));
    body.remove_prefix(end == std::string_view::npos ? body.size() : end + 1);
  }
}

}  // namespace

std::size_t countUploadLines(std::string_view body) {
  std::size_t lines = 0;
  forEachLine(body, [&](std::string_view) { ++lines; });
  return lines;
}

std::optional<std::int64_t> clockCorrectionOf(std::string_view sentAt, std::int64_t receivedTime) {
  std::int64_t deviceNow = 0;
  if (!parseEventTime(sentAt, deviceNow)) return std::nullopt;
  // Both within the event times the stores take: the difference cannot overflow.
  return correctedTime(receivedTime, 0) - deviceNow;
}

bool decodeUploadBody(std::string_view body, std::int64_t receivedTime,
                      std::int64_t clockCorrection, std::size_t maxLines, DecodedBatch& batch) {
  if (countUploadLines(body) > maxLines) return false;
  batch.clockCorrection = clockCorrection;
  forEachLine(body, [&](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    EventRecord record;
    std::string problem = decodeRecord(line, receivedTime, clockCorrection, record);
    if (!problem.empty()) {
      batch.malformed.push_back(std::move(problem));
      return;
    }
    batch.records.push_back(std::move(record));
    batch.uploads.emplace_back(line);
  });
  return true;
}

}  // namespace zevsite::collector
