#include "ZEVSiteUploadDecoder.h"

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

std::size_t zevsiteCountUploadLines(std::string_view body) {
  std::size_t lines = 0;
  forEachLine(body, [&](std::string_view) { ++lines; });
  return lines;
}

bool zevsiteDecodeUploadBody(std::string_view body, std::int64_t receivedTime, std::size_t maxLines,
                             ZEVSiteDecodedBatch& batch) {
  if (zevsiteCountUploadLines(body) > maxLines) return false;
  forEachLine(body, [&](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ZEVSiteEventRecord record;
    std::string problem = zevsiteDecodeRecord(line, receivedTime, record);
    if (!problem.empty()) {
      batch.malformed.push_back(std::move(problem));
      return;
    }
    batch.records.push_back(std::move(record));
    batch.uploads.emplace_back(line);
  });
  return true;
}
