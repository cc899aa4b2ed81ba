// Days and the summary's outward forms: the JSON of GET /api/summary and /api/apps (written
// with nlohmann-json), and the terminal tables of `zevsite-collector report`. Pure functions, any
// thread.
#pragma once

#include "ZEVSiteAnalyticsStore.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zevsite::collector {

// Days from the epoch of a strict "YYYY-MM-DD" (a real calendar day), or nothing.
std::optional<std::int64_t> parseDay(std::string_view text);
// "YYYY-MM-DD" of a day number.
std::string formatDay(std::int64_t day);
// Every day from `from` to `to`, inclusive (both valid, from <= to).
std::vector<std::string> daysOfRange(const std::string& from, const std::string& to);

// Whether `text` is valid UTF-8 of at most `maxBytes` bytes without control characters: what a
// query's text arguments (an app id, a funnel step) must be, so that a bad query stays cheap
// and its text can go into a statement and an answer as it is.
bool isQueryText(std::string_view text, std::size_t maxBytes);

// A summary query from the API's or the report's arguments: an empty `from`/`to` means the
// last 30 days up to `today` (UTC). Nothing, with `problem` set, when they are not valid.
std::optional<SummaryQuery> summaryQuery(const std::string& app, const std::string& from,
                                         const std::string& to, std::int64_t today,
                                         std::string& problem);
// Today's day number (UTC).
std::int64_t today();

std::string summaryJson(const Summary& summary);
// {"apps":[ID,...],"names":{ID:NAME,...}}: the apps seen, and the names of registered apps.
std::string appsJson(const std::vector<std::string>& apps,
                     const std::vector<RegisteredApp>& registered);
std::string summaryReport(const Summary& summary);
// One table of the summary as CSV (RFC 4180, a header row, CRLF line ends): "daily",
// "pages", "events", "campaigns", "custom" (custom events), "properties" (their
// properties), "platforms", "versions" (app versions) or "locales"; nothing for another name. A
// text cell that a spreadsheet would run as a formula (it starts with = + - @, a tab or a CR) gets
// a leading apostrophe.
std::optional<std::string> summaryCsv(const Summary& summary, std::string_view table);

}  // namespace zevsite::collector
