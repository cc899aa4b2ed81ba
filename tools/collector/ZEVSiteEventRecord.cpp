#include "ZEVSiteEventRecord.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <limits>

#include <nlohmann/json.hpp>

namespace zevsite::collector {

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the well-formed UTF-8 sequence at text[i], 0 when there is none (overlong forms,
// surrogates and code points past U+10FFFF are not well-formed).
std::size_t utf8SequenceAt(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

// `out` becomes `text` with its percent-escapes undone, as valid UTF-8.
void percentDecodeInto(std::string_view text, std::string& out) {
  if (text.find('%') == std::string_view::npos) {
    out.assign(text);
    repairUtf8(out);
    return;
  }
  out.clear();
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
        hexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  repairUtf8(out);
}

// Calls `pair` with each "key=value" of an upload string, neither decoded yet.
template <class PairFn>
void forEachPair(std::string_view upload, PairFn&& pair) {
  while (!upload.empty()) {
    const std::size_t end = upload.find('&');
    const std::string_view item = upload.substr(0, end);
    const std::size_t equals = item.find('=');
    pair(item.substr(0, equals),
         equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1));
    if (end == std::string_view::npos) break;
    upload.remove_prefix(end + 1);
  }
}

bool parseInteger(std::string_view text, std::int64_t& value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// `text` as a JSON string literal appended to `out`. Text of printable ASCII without quotes
// or backslashes is its own literal; anything else is escaped by nlohmann-json (bytes that
// are not UTF-8 become U+FFFD). The shortcut keeps the per-event columns as cheap to write
// as the rest of decoding: most values are plain.
void appendJsonString(std::string& out, std::string_view text) {
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\';
  });
  if (plain) {
    out += '"';
    out += text;
    out += '"';
    return;
  }
  out += nlohmann::json(std::string(text))
             .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A JSON object of string members in the order added, as the device sent them.
class JsonObject {
 public:
  void add(std::string_view key, std::string_view value) {
    text_ += text_.empty() ? '{' : ',';
    appendJsonString(text_, key);
    text_ += ':';
    appendJsonString(text_, value);
  }
  std::string close() const { return text_.empty() ? "{}" : text_ + "}"; }

 private:
  std::string text_;
};

// The fields of every upload string that the stores keep in columns of their own or need
// nowhere (the SDK's version and the upload format's).
bool isEnvelopeKey(std::string_view key) {
  return key == "tid" || key == "t" || key == "eid" || key == "cid" || key == "ts" || key == "v" ||
         key == "sdkv";
}

// a + b, or the int64 limit it passes.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
  if (b > 0 && a > std::numeric_limits<std::int64_t>::max() - b) {
    return std::numeric_limits<std::int64_t>::max();
  }
  if (b < 0 && a < std::numeric_limits<std::int64_t>::min() - b) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return a + b;
}

// a - b, or the int64 limit it passes.
std::int64_t saturatingSubtract(std::int64_t a, std::int64_t b) {
  if (b < 0 && a > std::numeric_limits<std::int64_t>::max() + b) {
    return std::numeric_limits<std::int64_t>::max();
  }
  if (b > 0 && a < std::numeric_limits<std::int64_t>::min() + b) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return a - b;
}

// The longest event id the stores accept; the SDK's are 36 characters.
constexpr std::size_t kMaxEventIdLength = 64;

// The context attributes kept as text. Each is a key of the SQLite store's per-day tables,
// so a longer value than any system, version or user id needs is dropped.
constexpr std::pair<std::string_view, std::string EventRecord::*> kContextTexts[] = {
    {"uid", &EventRecord::userId},    {"av", &EventRecord::appVersion},
    {"ab", &EventRecord::appBuild},   {"os", &EventRecord::os},
    {"osv", &EventRecord::osVersion}, {"arch", &EventRecord::arch},
    {"lc", &EventRecord::locale},     {"sr", &EventRecord::screen},
    {"sid", &EventRecord::sessionId}};
constexpr std::size_t kMaxContextText = 256;
// The widest UTC offset a clock can be set to, in minutes (18 hours either side).
constexpr std::int64_t kMaxUtcOffset = 18 * 60;

bool isSessionId(std::string_view text) {
  return text.size() == 16 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// "WIDTHxHEIGHT", each 1 to 6 digits without a leading zero.
bool isScreenSize(std::string_view text) {
  const std::size_t x = text.find('x');
  if (x == std::string_view::npos) return false;
  auto dimension = [](std::string_view digits) {
    return !digits.empty() && digits.size() <= 6 && digits.front() != '0' &&
           std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  return dimension(text.substr(0, x)) && dimension(text.substr(x + 1));
}

// Fills `record`'s context column for `key` from `rawValue` (still percent-encoded); false
// when `key` is not a context attribute. Anything that is not a valid value is stored as
// empty text or 0, so the stores never hold a value that is not one.
bool decodeContextField(std::string_view key, std::string_view rawValue, EventRecord& record) {
  for (const auto& [name, column] : kContextTexts) {
    if (key != name) continue;
    std::string& text = record.*column;
    percentDecodeInto(rawValue, text);
    if (text.size() > kMaxContextText || (key == "sid" && !isSessionId(text)) ||
        (key == "sr" && !isScreenSize(text))) {
      text.clear();
    }
    return true;
  }
  std::int64_t number = 0;
  if (key == "tz") {
    const bool valid = parseInteger(percentDecode(rawValue), number) && number >= -kMaxUtcOffset &&
                       number <= kMaxUtcOffset;
    record.utcOffset = valid ? number : 0;
    return true;
  }
  if (key == "sn") {
    record.sessionNumber = parseInteger(percentDecode(rawValue), number) && number > 0 ? number : 0;
    return true;
  }
  return false;
}

}  // namespace

std::string percentDecode(std::string_view text) {
  std::string out;
  percentDecodeInto(text, out);
  return out;
}

void repairUtf8(std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  if (i == text.size()) return;  // ASCII, the usual case
  std::string repaired(text, 0, i);
  while (i < text.size()) {
    const std::size_t length = utf8SequenceAt(text, i);
    if (length == 0) {
      repaired += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
    } else {
      repaired.append(text, i, length);
      i += length;
    }
  }
  text = std::move(repaired);
}

std::string appId(std::string_view tidOrApp) {
  return std::string(startsWith(tidOrApp, "dc-") ? tidOrApp.substr(3) : tidOrApp);
}

std::vector<std::pair<std::string, std::string>> decodeFields(std::string_view upload) {
  std::vector<std::pair<std::string, std::string>> fields;
  forEachPair(upload, [&](std::string_view key, std::string_view value) {
    fields.emplace_back(percentDecode(key), percentDecode(value));
  });
  return fields;
}

bool parseEventTime(std::string_view text, std::int64_t& millis) {
  return parseInteger(text, millis) && millis >= 0 && millis < kEndOfEventTimes;
}

std::int64_t correctedTime(std::int64_t deviceTime, std::int64_t clockCorrection) {
  return std::clamp(saturatingAdd(deviceTime, clockCorrection), std::int64_t{0},
                    kEndOfEventTimes - 1);
}

std::string decodeRecord(std::string_view upload, std::int64_t receivedTime,
                         std::int64_t clockCorrection, EventRecord& record) {
  record = EventRecord{};
  record.receivedTime = receivedTime;
  bool hasTime = false;
  // Each value is decoded straight into its column; keys are short and rarely escaped.
  JsonObject labels, values, dimensions;
  // Views into `upload` of the fields without a column; reused by the thread's next record.
  thread_local std::vector<std::pair<std::string_view, std::string_view>> otherFields;
  otherFields.clear();
  std::string problem, decodedKey, value;
  forEachPair(upload, [&](std::string_view rawKey, std::string_view rawValue) {
    std::string_view key = rawKey;
    if (key.find('%') != std::string_view::npos) {
      percentDecodeInto(rawKey, decodedKey);
      key = decodedKey;
    }
    auto into = [&](std::string& column) { percentDecodeInto(rawValue, column); };
    if (key == "tid") {
      into(value);
      record.app = appId(value);
    } else if (key == "t") {
      into(record.event);
    } else if (key == "eid") {
      into(record.eventId);
    } else if (key == "cid") {
      into(record.clientId);
    } else if (key == "ts") {
      into(value);
      hasTime = true;
      if (!parseEventTime(value, record.deviceTime)) problem = "bad ts";
    } else if (key == "dt") {
      into(record.title);
    } else if (key == "ec") {
      into(record.category);
    } else if (key == "ea") {
      into(record.action);
    } else if (key == "el") {
      into(record.label);
    } else if (key == "ev") {
      into(value);
      if (!parseInteger(value, record.value)) record.value = 0;
    } else if (key == "caid") {
      into(record.customActionId);
    } else if (key == "qxc") {
      into(record.campaign);
    } else if (key == "qxs") {
      into(record.source);
    } else if (key == "inst") {
      into(value);
      record.firstLaunch = value == "1" ? 1 : 0;
    } else if (startsWith(key, "cal")) {
      into(value);
      labels.add(key.substr(3), value);
    } else if (startsWith(key, "cav")) {
      into(value);
      values.add(key.substr(3), value);
    } else if (startsWith(key, "cd") || startsWith(key, "cm")) {
      into(value);
      dimensions.add(key, value);
    } else if (decodeContextField(key, rawValue, record)) {
      // A column of its own, as the envelope's fields: never one of the properties.
    } else if (!isEnvelopeKey(key)) {
      // Decoded at the end, and only for a custom event ("t" may come later).
      otherFields.emplace_back(rawKey, rawValue);
    }
  });
  if (!problem.empty()) return problem;
  if (record.eventId.empty()) return "no eid";
  if (record.eventId.size() > kMaxEventIdLength) return "eid too long";
  if (record.event.empty()) return "no t";
  if (record.app.empty()) return "no tid";
  record.actionLabels = labels.close();
  record.actionValues = values.close();
  record.dimensions = dimensions.close();
  // The SDK's own events carry only fields the design gives them (ni, sc, dpl, ...): the
  // properties are those of the events a host named itself.
  if (isCustomEvent(record.event)) {
    for (const auto& [rawKey, rawValue] : otherFields) {
      std::string name = percentDecode(rawKey);
      // A key sent twice keeps its last value, once.
      auto& list = record.propertyList;
      auto same = std::find_if(list.begin(), list.end(),
                               [&](const auto& property) { return property.first == name; });
      if (same != list.end()) {
        same->second = percentDecode(rawValue);
      } else {
        list.emplace_back(std::move(name), percentDecode(rawValue));
      }
    }
  }
  JsonObject properties;
  for (const auto& [name, propertyValue] : record.propertyList) properties.add(name, propertyValue);
  record.properties = properties.close();
  if (!hasTime) {
    // Sent with its request: the device's clock then, as far as the collector can tell.
    record.deviceTime = correctedTime(saturatingSubtract(receivedTime, clockCorrection), 0);
  }
  record.eventTime = correctedTime(record.deviceTime, clockCorrection);
  record.day = dayOf(record.eventTime);
  return {};
}

std::string jsonString(std::string_view text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

bool isCustomEvent(std::string_view event) {
  return event != "pageview" && event != "event" && event != "init" && event != "pulse";
}

std::string dayOf(std::int64_t millis) {
  using namespace std::chrono;
  const sys_days day = floor<days>(sys_time<milliseconds>(milliseconds(millis)));
  const year_month_day date(day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  return text;
}

}  // namespace zevsite::collector
