// The summary as SQL both SQL stores answer: each store reads it from tables of its own (SQLite
// from per-day tables kept at insert time, ClickHouse from the event rows) but every store
// answers with twelve sets of rows of the same shape (SQLite counts those of clients, sessions
// and profiles itself from rows it reads), and this assembles them, so SQLite and ClickHouse
// give identical answers.
// Stateless; runs on the calling thread, and on one short-lived thread per statement for a
// concurrent dialect.
#pragma once

#include "ZEVSiteAnalyticsStore.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zevsite::collector {

using SqlRows = std::vector<std::vector<std::string>>;

struct SqlDialect {
  std::function<std::string(std::string_view)> quote;  // a text literal, quotes included
  std::function<SqlRows(const std::string&)> select;   // every value as text
  // `select` may run on several threads at once: the summary's statements run in parallel.
  bool concurrent = false;
};

// What a store runs for one summary; each event counted once, whatever was stored twice.
struct SummaryStatements {
  std::string kinds;       // day, event, custom action (0/1), inst (0/1), events: per day and kind
  std::string pages;       // title, views
  std::string events;      // category, action, count: the events without a custom action
  std::string campaigns;   // campaign, source, starts: the starts with a campaign
  std::string properties;  // name, key, value, count: the custom events' properties
};

// The rows of a summary, in this order: kinds; the clients of each day (day, distinct
// clients); the clients of the whole range (one row); pages, events, campaigns and
// properties; and those of the context:
//   sessions: one row, the sessions and the sum over them of last minus first event time (ms)
//   users: one row, the distinct users (see Summary::Totals)
//   platforms: os, os version, clients, events (a profile list)
//   app versions: version, clients, events (a profile list)
//   locales: locale, clients (a profile list)
using SummaryRows = std::vector<SqlRows>;

// At most this many entries in each list of the summary.
constexpr int kSummaryListLimit = 20;

// An integer a statement answered, as text (0 for empty text: a sum over no rows).
std::int64_t sqlInteger(const std::string& text);
// " WHERE app = ... AND day >= ... AND day <= ...", for a table with app and day columns.
std::string sqlRange(const SqlDialect& dialect, const SummaryQuery& query);
// A list statement: `keys` and `count` AS n from `table` `range`, largest first, then by key.
std::string sqlTopList(const std::string& table, const std::string& range, const std::string& keys,
                       const std::string& count);

// A profile list statement: `keys`, `clients` and (unless empty) `events` from `table` `range`
// (a WHERE clause), for the rows whose first key is not empty, ordered as Summary's lists.
std::string sqlProfileList(const std::string& table, const std::string& range,
                           const std::string& keys, const std::string& clients,
                           const std::string& events);

// The summary from `statements` and the rows that `clientRows` makes on a thread of its own
// while the statements run: the clients of each day, of the range, and the context's rows.
Summary sqlSummary(const SqlDialect& dialect, const SummaryQuery& query,
                   const SummaryStatements& statements,
                   const std::function<SummaryRows()>& clientRows);
// The summary from rows a store made itself, shaped as the statements' and the context's.
Summary assembleSummary(const SummaryQuery& query, const SummaryRows& rows);
// The rows of each (statement, columns), in order, in parallel for a concurrent dialect; each
// row checked to hold its statement's number of columns (0: the caller checks).
SummaryRows sqlRunAll(const SqlDialect& dialect,
                      const std::vector<std::pair<std::string, std::size_t>>& statements);
// A list's rows from counts by key: at most kSummaryListLimit, ordered as
// sqlTopList orders them (count descending, then keys by their bytes).
SqlRows topRows(const std::map<std::vector<std::string>, std::int64_t>& counts);
// The app ids of `table`'s app column, sorted.
std::vector<std::string> sqlApps(const SqlDialect& dialect, const std::string& table);
// The rows (id, name) of `statement`, as registered apps.
std::vector<RegisteredApp> sqlRegisteredApps(const SqlDialect& dialect,
                                             const std::string& statement);

}  // namespace zevsite::collector
