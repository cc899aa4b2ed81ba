// One stored event as the collector's analytics stores keep it: the upload string's fields
// decoded into columns, plus the UTC day of the event and the time it was received. Built
// by the upload decoder on a server thread; plain values, no shared state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct ZEVSiteEventRecord {
  std::string app;                // tid without the SDK's "dc-" prefix: the host's app id
  std::string event;              // t: pageview, event, init, pulse
  std::string eventId;            // eid
  std::string clientId;           // cid
  std::int64_t eventTime = 0;     // ts, ms since the epoch
  std::int64_t receivedTime = 0;  // ms since the epoch
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
};

// The host's app id for a tid or an app id given to a query ("dc-123" and "123" both: "123").
std::string zevsiteAppId(std::string_view tidOrApp);

// Decodes "k=v&k=v" with percent-escapes into pairs, in order.
std::vector<std::pair<std::string, std::string>> zevsiteDecodeFields(std::string_view upload);

// Why an upload string cannot be stored, or empty when `record` was filled from it.
std::string zevsiteDecodeRecord(std::string_view upload, std::int64_t receivedTime,
                                ZEVSiteEventRecord& record);

// `text` as a JSON string literal, quotes included.
std::string zevsiteJsonString(std::string_view text);

// "YYYY-MM-DD" of the UTC day holding `millis`.
std::string zevsiteDayOf(std::int64_t millis);
