#include "ZEVSiteHttpHead.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

namespace zevsite::collector {

namespace {

bool isTokenChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (std::isalnum(u)) return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

bool isToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// Field values: visible characters, spaces, tabs and bytes from 0x80 (obs-text); no controls.
bool isFieldValue(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7F;
  });
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

HeadParse refused(int& status, int value) {
  status = value;
  return HeadParse::Refused;
}

bool parseRequestLine(std::string_view line, RequestHead& head, int& status) {
  const std::size_t firstSpace = line.find(' ');
  const std::size_t lastSpace = line.rfind(' ');
  if (firstSpace == std::string_view::npos || firstSpace == lastSpace) {
    status = 400;
    return false;
  }
  const std::string_view method = line.substr(0, firstSpace);
  const std::string_view target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
  const std::string_view version = line.substr(lastSpace + 1);
  if (!isToken(method) || target.empty() || target.find(' ') != std::string_view::npos ||
      !isFieldValue(target)) {
    status = 400;
    return false;
  }
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    status = version.substr(0, 5) == "HTTP/" ? 505 : 400;
    return false;
  }
  head.method = method;
  head.target = target;
  head.version = version;
  return true;
}

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

HeadParse parseRequestHead(std::string_view bytes, const HeadLimits& limits, RequestHead& head,
                           int& status) {
  // Empty lines before a request are ignored (some clients end a body with one).
  std::size_t start = 0;
  while (bytes.substr(start, 2) == "\r\n") start += 2;
  const std::size_t end = bytes.find("\r\n\r\n", start);
  const std::size_t lineEnd = bytes.find("\r\n", start);
  if (end == std::string_view::npos) {
    if (bytes.size() <= limits.maxHeadBytes) return HeadParse::Incomplete;
    return refused(status, lineEnd == std::string_view::npos ? 414 : 431);
  }
  if (end + 4 > limits.maxHeadBytes)
    return refused(status, lineEnd >= limits.maxHeadBytes ? 414 : 431);
  head = RequestHead{};
  if (!parseRequestLine(bytes.substr(start, lineEnd - start), head, status)) {
    return HeadParse::Refused;
  }
  for (std::size_t at = lineEnd + 2; at < end + 2;) {
    const std::size_t next = bytes.find("\r\n", at);
    const std::string_view line = bytes.substr(at, next - at);
    at = next + 2;
    const std::size_t colon = line.find(':');
    // No folded lines, no space before the colon: ambiguities proxies have been fooled by.
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
      return refused(status, 400);
    }
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (!isFieldValue(value)) return refused(status, 400);
    if (head.headers.size() == limits.maxHeaderFields) return refused(status, 431);
    head.headers.emplace_back(line.substr(0, colon), value);
  }
  head.length = end + 4;
  return HeadParse::Complete;
}

BodyFraming bodyFramingOf(const RequestHead& head) {
  BodyFraming framing;
  std::string_view length;
  bool transferEncoding = false, hasLength = false;
  for (const auto& [name, value] : head.headers) {
    if (equalsIgnoringCase(name, "Transfer-Encoding")) transferEncoding = true;
    if (!equalsIgnoringCase(name, "Content-Length")) continue;
    if (hasLength && value != length) return {0, 400};
    hasLength = true;
    length = value;
  }
  if (transferEncoding) return {0, hasLength ? 400 : 411};
  if (!hasLength) return framing;
  if (length.empty() || length.size() > 18 ||
      !std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return {0, 400};
  }
  framing.length = std::stoull(std::string(length));
  return framing;
}

}  // namespace zevsite::collector
