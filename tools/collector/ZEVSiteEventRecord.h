// One stored event as the collector's analytics stores keep it: the upload string's fields
// decoded into columns, plus the event's time corrected by the device's clock error, its UTC
// day and the time it was received. Built by the upload decoder on a server thread; plain
// values, no shared state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zevsite::collector {

struct EventRecord {
  std::string app;                // tid without the SDK's "dc-" prefix: the host's app id
  std::string event;              // t: pageview, event, init, pulse
  std::string eventId;            // eid
  std::string clientId;           // cid
  std::int64_t eventTime = 0;     // ts corrected by the device's clock error, ms since the epoch
  std::int64_t deviceTime = 0;    // ts as the device gave it, ms since the epoch
  std::int64_t receivedTime = 0;  // by the collector's clock, ms since the epoch
  std::string day;                // YYYY-MM-DD (UTC) of eventTime
  std::string title;              // dt
  std::string category;           // ec
  std::string action;             // ea
  std::string label;              // el
  std::int64_t value = 0;         // ev
  std::string customActionId;     // caid
  std::string actionLabels;       // calN, as a JSON object {"1":"..."}
  std::string actionValues;       // cavN, as a JSON object
  std::string campaign;           // qxc
  std::string source;             // qxs
  int firstLaunch = 0;            // inst
  std::string dimensions;         // cdN and cmN, as a JSON object {"cd1":"...","cm1":"3"}
  // Who sent it, from what, and in which session; empty (0) when the SDK did not say, or
  // said something that is not one (see decodeRecord).
  std::string userId;              // uid: the signed-in user
  std::string appVersion;          // av
  std::string appBuild;            // ab
  std::string os;                  // os: the system's name ("Debian GNU/Linux")
  std::string osVersion;           // osv
  std::string arch;                // arch: "x86_64", "aarch64"
  std::string locale;              // lc: "en-US"
  std::int64_t utcOffset = 0;      // tz: minutes east of UTC
  std::string screen;              // sr: "WIDTHxHEIGHT"
  std::string sessionId;           // sid: 16 lowercase hex digits; a session is (cid, sid)
  std::int64_t sessionNumber = 0;  // sn: the installation's sessions counted from 1
  // A custom event's own properties: every field without a column of its own, as a JSON
  // object in the order sent (the envelope, tid, t, eid, cid, ts, v and sdkv, not repeated).
  // "{}" for the SDK's own kinds of event.
  std::string properties;
  std::vector<std::pair<std::string, std::string>> propertyList;  // the same, as pairs
};

// The kinds of event the SDK sends itself; any other "t" is a custom event the host named.
bool isCustomEvent(std::string_view event);

// The host's app id for a tid or an app id given to a query ("dc-123" and "123" both: "123").
std::string appId(std::string_view tidOrApp);

// `text` with its percent-escapes undone, as valid UTF-8 (see repairUtf8).
std::string percentDecode(std::string_view text);

// `text` with each byte that is not part of a well-formed UTF-8 sequence replaced by U+FFFD,
// so that every value the collector stores and writes as JSON is valid UTF-8.
void repairUtf8(std::string& text);

// Decodes "k=v&k=v" with percent-escapes into pairs, in order.
std::vector<std::pair<std::string, std::string>> decodeFields(std::string_view upload);

// Event times the stores take: from the epoch up to 2100-01-01 (exclusive). Later times are
// not real, and ClickHouse's Date ends in 2105.
constexpr std::int64_t kEndOfEventTimes = 4'102'444'800'000;

// A time the stores take, as a decimal integer of ms since the epoch, into `millis`; false
// (and `millis` unspecified) for anything else.
bool parseEventTime(std::string_view text, std::int64_t& millis);

// `deviceTime` moved by `clockCorrection` (ms), held within the event times the stores take;
// never overflows.
std::int64_t correctedTime(std::int64_t deviceTime, std::int64_t clockCorrection);

// Why an upload string cannot be stored, or empty when `record` was filled from it.
// The context attributes never make an event unstorable: a tz or sn that is not a number in
// range is stored as 0, an sr that is not WIDTHxHEIGHT or an sid that is not 16 lowercase hex
// digits as empty text.
// `clockCorrection` is what the device's clock is behind the collector's (ms, negative when
// ahead): the record's event time is its ts plus that. An upload without ts happened when
// its request was sent: its device time is `receivedTime - clockCorrection`.
std::string decodeRecord(std::string_view upload, std::int64_t receivedTime,
                         std::int64_t clockCorrection, EventRecord& record);

// `text` as a JSON string literal, quotes included (written by the JSON library; bytes that
// are not UTF-8 become U+FFFD).
std::string jsonString(std::string_view text);

// "YYYY-MM-DD" of the UTC day holding `millis`.
std::string dayOf(std::int64_t millis);

}  // namespace zevsite::collector
