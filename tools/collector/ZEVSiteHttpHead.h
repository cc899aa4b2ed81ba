// The head of an HTTP/1.1 request (its request line and header fields) as the collector's
// server reads it: parsed strictly, within bounds, and refused with the status to answer
// when it is malformed or ambiguous. Pure functions, run on the server's event thread and
// by the fuzzer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zevsite::collector {

struct HeadLimits {
  std::size_t maxHeadBytes = 16 * 1024;  // request line and header fields: 431 beyond
  std::size_t maxHeaderFields = 100;     // more than any client sends: 431 beyond
};

struct RequestHead {
  std::string method, target, version;
  std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
  std::size_t length = 0;  // bytes of the head, its blank line included
};

enum class HeadParse { Incomplete, Complete, Refused };

// Parses the request head at the start of `bytes`. Refused sets `status`: 400 malformed
// (folded or space-separated field names, control characters), 414 a request line longer
// than the head's bound, 431 too many or too large header fields, 505 an HTTP version other
// than 1.0 and 1.1.
HeadParse parseRequestHead(std::string_view bytes, const HeadLimits& limits, RequestHead& head,
                           int& status);

// The body length of a request with these headers, or a refusal: 400 for conflicting or
// malformed Content-Length, or Content-Length with Transfer-Encoding (the shapes of request
// smuggling); 411 for a Transfer-Encoding alone (bodies must say their length).
struct BodyFraming {
  std::size_t length = 0;
  int refusal = 0;  // 0: none
};
BodyFraming bodyFramingOf(const RequestHead& head);

bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace zevsite::collector
