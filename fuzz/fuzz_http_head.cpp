// Fuzzes the collector's request-head parser: any bytes must parse without a crash into
// "incomplete", a refusal with a 4xx/5xx status, or a head whose fields are within bounds,
// free of control characters and no longer than the bytes given; and the body framing of a
// parsed head must be a length or a refusal, never both.
#include "ZEVSiteHttpHead.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zevsite::collector;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  HeadLimits limits;
  limits.maxHeadBytes = 512;
  limits.maxHeaderFields = 8;
  RequestHead head;
  int status = 0;
  switch (parseRequestHead(bytes, limits, head, status)) {
    case HeadParse::Incomplete:
      if (bytes.size() > limits.maxHeadBytes) std::abort();
      return 0;
    case HeadParse::Refused:
      if (status < 400 || status > 505) std::abort();
      return 0;
    case HeadParse::Complete:
      break;
  }
  if (head.length > bytes.size() || head.length > limits.maxHeadBytes) std::abort();
  if (head.headers.size() > limits.maxHeaderFields) std::abort();
  if (head.version != "HTTP/1.1" && head.version != "HTTP/1.0") std::abort();
  for (const auto& [name, value] : head.headers) {
    if (name.empty()) std::abort();
    for (char c : name + value) {
      if (c == '\r' || c == '\n' || c == '\0') std::abort();
    }
  }
  const BodyFraming framing = bodyFramingOf(head);
  if (framing.refusal != 0 && framing.length != 0) std::abort();
  return 0;
}
