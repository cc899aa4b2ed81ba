#include "ZEVSiteParameter.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>
#include <ZEVSiteSDK/ZEVSiteSupport.h>

#include "Platform/ZEVSitePlatform.h"
#include "Save/ZEVSiteSaveParameter.h"
#include "ZEVSiteEventContext.h"
#include "ZEVSiteRandom.h"

#include <array>
#include <charconv>
#include <cstdint>

namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr char kHexLower[] = "0123456789abcdef";

constexpr std::array<bool, 256> makeUnreservedTable() {
  std::array<bool, 256> table{};
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = true;
  for (int c = '0'; c <= '9'; ++c) table[c] = true;
  table['-'] = table['.'] = table['_'] = table['~'] = true;
  return table;
}
constexpr std::array<bool, 256> kUnreserved = makeUnreservedTable();

void appendInteger(std::string& out, std::int64_t value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void appendDouble(std::string& out, double value) {
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += "\\u00";
      out += kHexLower[c >> 4];
      out += kHexLower[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

// Compact JSON of `value`, stopping (false) as soon as `out` grows past `limit`. Recurses
// once per nesting level: callers refuse values nested deeper than kMaxNesting first.
bool appendJson(std::string& out, const ZEVSiteValue& value, std::size_t limit) {
  switch (value.kind()) {
    case ZEVSiteValue::Kind::Absent:
    case ZEVSiteValue::Kind::Null:
      out += "null";
      break;
    case ZEVSiteValue::Kind::Bool:
      out += *value.boolean() ? "true" : "false";
      break;
    case ZEVSiteValue::Kind::Integer:
      appendInteger(out, *value.integer());
      break;
    case ZEVSiteValue::Kind::Double:
      appendDouble(out, *value.number());
      break;
    case ZEVSiteValue::Kind::String:
      if (out.size() + value.string()->size() > limit) return false;
      appendJsonString(out, *value.string());
      break;
    case ZEVSiteValue::Kind::Dictionary: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : *value.dictionary()) {
        if (!first) out += ',';
        first = false;
        if (out.size() + key.size() > limit) return false;
        appendJsonString(out, key);
        out += ':';
        if (!appendJson(out, item, limit)) return false;
      }
      out += '}';
      break;
    }
  }
  return out.size() <= limit;
}

// The plain text of a value, before percent-encoding; false once it is longer than `limit`.
bool appendValueText(std::string& out, const ZEVSiteValue& value, std::size_t limit) {
  switch (value.kind()) {
    case ZEVSiteValue::Kind::Absent:
    case ZEVSiteValue::Kind::Null:
      break;
    case ZEVSiteValue::Kind::Bool:
      out += *value.boolean() ? '1' : '0';
      break;
    case ZEVSiteValue::Kind::Integer:
      appendInteger(out, *value.integer());
      break;
    case ZEVSiteValue::Kind::Double:
      appendDouble(out, *value.number());
      break;
    case ZEVSiteValue::Kind::String:
      if (out.size() + value.string()->size() > limit) return false;
      out += *value.string();
      break;
    case ZEVSiteValue::Kind::Dictionary:
      return appendJson(out, value, limit);
  }
  return out.size() <= limit;
}

// The system attributes: always the SDK's own values, never an event's.
bool isSystemAttribute(std::string_view key) {
  using zevsite::EventContext;
  if (key.size() > 4) return false;  // every system key is short
  switch (EventContext::packedKey(key)) {
    case EventContext::packedKey("v"):
    case EventContext::packedKey("cid"):
    case EventContext::packedKey("eid"):
    case EventContext::packedKey("ts"):
    case EventContext::packedKey("sdkv"):
      return true;
    default:
      return EventContext::isContextKey(key);
  }
}

void appendPair(std::string& out, std::string_view key, std::string_view encodedValue) {
  if (!out.empty()) out += '&';
  ZEVSiteParameter::appendPercentEncoded(out, key);
  out += '=';
  out += encodedValue;
}

}  // namespace

void ZEVSiteParameter::appendPercentEncoded(std::string& out, std::string_view text) {
  for (unsigned char c : text) {
    if (kUnreserved[c]) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHexUpper[c >> 4];
      out += kHexUpper[c & 15];
    }
  }
}

namespace {

// A version-7 UUID for `unixMillis` as 36 lowercase characters, without a heap string.
std::array<char, 36> eventIdCharacters(std::int64_t unixMillis) {
  std::uint64_t high = (static_cast<std::uint64_t>(unixMillis) & 0xFFFFFFFFFFFFull) << 16;
  std::uint64_t random = zevsite::randomUInt64();
  high |= 0x7000u | (random & 0x0FFFu);  // version 7, 12 random bits
  std::uint64_t low = (zevsite::randomUInt64() & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;
  std::array<char, 36> id;
  id.fill('-');
  std::size_t position = 0;
  for (std::uint64_t word : {high, low}) {
    for (int nibble = 15; nibble >= 0; --nibble) {
      if (position == 8 || position == 13 || position == 18 || position == 23) ++position;
      id[position++] = kHexLower[(word >> (4 * nibble)) & 15];
    }
  }
  return id;
}

// `value` in decimal, in `buffer`.
std::string_view decimal(std::int64_t value, std::array<char, 24>& buffer) {
  auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return std::string_view(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
}

}  // namespace

std::string ZEVSiteParameter::makeEventId(std::int64_t unixMillis) {
  const std::array<char, 36> id = eventIdCharacters(unixMillis);
  return std::string(id.data(), id.size());
}

std::string ZEVSiteParameter::systemUploadAttributes(const ZEVSiteDictionary& event) {
  std::string out;
  out.reserve(256);
  writeUploadAttributes(event, out);
  return out;
}

bool ZEVSiteParameter::writeUploadAttributes(const ZEVSiteDictionary& event, std::string& out) {
  constexpr std::size_t kLimit = kMaxUploadBytes;
  out.clear();
  // Refusing an event leaves `out` empty.
  auto refuse = [&out] {
    out.clear();
    return false;
  };
  std::string scratch;
  std::string leftOut;  // system attribute names the event carried
  for (const auto& [key, value] : event) {
    if (value.isAbsent()) continue;
    if (isSystemAttribute(key)) {
      leftOut += leftOut.empty() ? key : ", " + key;
      continue;
    }
    // Percent-encoding never shrinks text, so an event is known to be too large as soon as
    // its plain text is: stop there rather than encode megabytes for nothing.
    if (out.size() + key.size() + 1 > kLimit) return refuse();
    if (const ZEVSiteDictionary* nested = value.dictionary();
        nested && nested->nestedDeeperThan(ZEVSiteDictionary::kMaxNesting)) {
      return refuse();
    }
    if (!out.empty()) out += '&';
    appendPercentEncoded(out, key);
    out += '=';
    if (const std::string* text = value.string()) {
      if (out.size() + text->size() > kLimit) return refuse();
      appendPercentEncoded(out, *text);
    } else {
      scratch.clear();
      if (!appendValueText(scratch, value, kLimit - out.size())) return refuse();
      appendPercentEncoded(out, scratch);
    }
    if (out.size() > kLimit) return refuse();
  }
  if (!leftOut.empty()) {
    ZEVSiteLoger::adLog("[Site] event value under %@ left out: the SDK sets that key itself",
                        leftOut);
  }
  // Made before the client id is asked for: the id's load reads the context's state with it.
  zevsite::EventContext& context = zevsite::EventContext::instance();
  const std::int64_t nowMillis = ZEVSitePlatform::current().currentTimeMillis();
  appendPair(out, "v", "1");
  std::array<char, 24> digits;
  appendPair(out, "cid", decimal(ZEVSiteSaveParameter::shareInstance().cidForEvent(), digits));
  const std::array<char, 36> eventId = eventIdCharacters(nowMillis);
  appendPair(out, "eid", std::string_view(eventId.data(), eventId.size()));
  appendPair(out, "ts", decimal(nowMillis, digits));
  appendPair(out, "sdkv", ZEVSiteSupport::sdkVersion());
  context.appendAttributes(out, nowMillis);
  if (out.size() > kLimit) return refuse();
  return true;
}
