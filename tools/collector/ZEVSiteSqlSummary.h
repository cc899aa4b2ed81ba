// The summary as SQL both SQL stores run: the same statements over a table of event rows,
// so SQLite and ClickHouse give identical answers. A store hands in how it quotes a text
// literal, names its table (ClickHouse adds FINAL) and runs a statement; this assembles
// the summary. Stateless; runs on the calling thread, and on one short-lived thread per
// statement for a concurrent dialect.
#pragma once

#include "ZEVSiteAnalyticsStore.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

using ZEVSiteSqlRows = std::vector<std::vector<std::string>>;

struct ZEVSiteSqlDialect {
  std::function<std::string(std::string_view)> quote;        // a text literal, quotes included
  std::string table;                                         // what follows FROM
  std::function<ZEVSiteSqlRows(const std::string&)> select;  // every value as text
  // `select` may run on several threads at once: the summary's statements run in parallel.
  bool concurrent = false;
};

ZEVSiteSummary zevsiteSqlSummary(const ZEVSiteSqlDialect& dialect,
                                 const ZEVSiteSummaryQuery& query);
std::vector<std::string> zevsiteSqlApps(const ZEVSiteSqlDialect& dialect);

// The columns of the event table, in the order of ZEVSiteEventRecord.
extern const char* const kZEVSiteEventColumns[19];
