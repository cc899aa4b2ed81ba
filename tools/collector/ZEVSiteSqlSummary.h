// The summary as SQL both SQL stores answer: each store reads it from tables of its own (SQLite
// from per-day tables kept at insert time, ClickHouse from the event rows) but every store
// answers the same six statements with rows of the same shape, and this assembles them, so
// SQLite and ClickHouse give identical answers. Stateless; runs on the calling thread, and on
// one short-lived thread per statement for a concurrent dialect.
#pragma once

#include "ZEVSiteAnalyticsStore.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using ZEVSiteSqlRows = std::vector<std::vector<std::string>>;

struct ZEVSiteSqlDialect {
  std::function<std::string(std::string_view)> quote;        // a text literal, quotes included
  std::function<ZEVSiteSqlRows(const std::string&)> select;  // every value as text
  // `select` may run on several threads at once: the summary's statements run in parallel.
  bool concurrent = false;
};

// What a store runs for one summary; each event counted once, whatever was stored twice.
struct ZEVSiteSummaryStatements {
  std::string kinds;       // day, event, custom action (0/1), inst (0/1), events: per day and kind
  std::string dayClients;  // day, distinct clients
  std::string clients;     // distinct clients of the whole range
  std::string pages;       // title, views
  std::string events;      // category, action, count: the events without a custom action
  std::string campaigns;   // campaign, source, starts: the starts with a campaign
};

// The rows of those six statements, in that order.
using ZEVSiteSummaryRows = std::vector<ZEVSiteSqlRows>;

// At most this many entries in each list of the summary.
constexpr int kZEVSiteSummaryListLimit = 20;

// " WHERE app = ... AND day >= ... AND day <= ...", for a table with app and day columns.
std::string zevsiteSqlRange(const ZEVSiteSqlDialect& dialect, const ZEVSiteSummaryQuery& query);
// A list statement: `keys` and `count` AS n from `table` `range`, largest first, then by key.
std::string zevsiteSqlTopList(const std::string& table, const std::string& range,
                              const std::string& keys, const std::string& count);

ZEVSiteSummary zevsiteSqlSummary(const ZEVSiteSqlDialect& dialect, const ZEVSiteSummaryQuery& query,
                                 const ZEVSiteSummaryStatements& statements);
// The summary from rows a store made itself, shaped as the six statements' answers.
ZEVSiteSummary zevsiteAssembleSummary(const ZEVSiteSummaryQuery& query,
                                      const ZEVSiteSummaryRows& rows);
// The rows of each (statement, columns), in order, in parallel for a concurrent dialect; each
// row checked to hold its statement's number of columns (0: the caller checks).
ZEVSiteSummaryRows zevsiteSqlRunAll(
    const ZEVSiteSqlDialect& dialect,
    const std::vector<std::pair<std::string, std::size_t>>& statements);
// A list's rows from counts by key: at most kZEVSiteSummaryListLimit, ordered as
// zevsiteSqlTopList orders them (count descending, then keys by their bytes).
ZEVSiteSqlRows zevsiteTopRows(const std::map<std::vector<std::string>, std::int64_t>& counts);
// The app ids of `table`'s app column, sorted.
std::vector<std::string> zevsiteSqlApps(const ZEVSiteSqlDialect& dialect, const std::string& table);
