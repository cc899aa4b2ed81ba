#include "ZEVSiteSqlSummary.h"

#include "ZEVSiteSummaryFormat.h"

#include <cstdlib>
#include <future>
#include <map>

namespace {

std::int64_t number(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

// The rows of `select`, each checked to hold `columns` values.
ZEVSiteSqlRows run(const ZEVSiteSqlDialect& dialect, const std::string& select,
                   std::size_t columns) {
  ZEVSiteSqlRows rows = dialect.select(select);
  for (const auto& row : rows) {
    if (row.size() != columns) throw ZEVSiteStoreError("unexpected answer to: " + select);
  }
  return rows;
}

struct Statement {
  const std::string& sql;
  std::size_t columns;
};

// The rows of every statement, in order; all at once when the dialect allows it.
std::vector<ZEVSiteSqlRows> runAll(const ZEVSiteSqlDialect& dialect,
                                   const std::vector<Statement>& statements) {
  std::vector<ZEVSiteSqlRows> results;
  if (!dialect.concurrent) {
    for (const auto& statement : statements) {
      results.push_back(run(dialect, statement.sql, statement.columns));
    }
    return results;
  }
  std::vector<std::future<ZEVSiteSqlRows>> pending;
  for (const auto& statement : statements) {
    pending.push_back(std::async(std::launch::async, [&dialect, &statement] {
      return run(dialect, statement.sql, statement.columns);
    }));
  }
  for (auto& rows : pending) results.push_back(rows.get());
  return results;
}

// The days of the range with their counts, zeros included, and the totals over them, from
// the counts per day and kind, the distinct clients per day and those of the whole range.
void addDailyAndTotals(const ZEVSiteSqlRows& kinds, const ZEVSiteSqlRows& dayClients,
                       const ZEVSiteSqlRows& clients, ZEVSiteSummary& summary) {
  std::map<std::string, ZEVSiteSummary::Day> byDay;
  ZEVSiteSummary::Totals& totals = summary.totals;
  for (const auto& row : kinds) {
    const std::string& event = row[1];
    const bool custom = row[2] == "1", install = row[3] == "1";
    const std::int64_t count = number(row[4]);
    ZEVSiteSummary::Day& day = byDay[row[0]];
    day.events += count;
    totals.events += count;
    if (event == "pageview") {
      day.pageviews += count;
      totals.pageviews += count;
    } else if (event == "event") {
      (custom ? totals.customActions : totals.classicEvents) += count;
    } else if (event == "init") {
      totals.starts += count;
      if (install) totals.installs += count;
    } else if (event == "pulse") {
      totals.pulses += count;
    }
  }
  for (const auto& row : dayClients) byDay[row[0]].clients = number(row[1]);
  for (const auto& row : clients) totals.clients = number(row[0]);
  for (const std::string& day : zevsiteDaysOfRange(summary.query.from, summary.query.to)) {
    auto found = byDay.find(day);
    ZEVSiteSummary::Day entry = found == byDay.end() ? ZEVSiteSummary::Day{} : found->second;
    entry.day = day;
    summary.daily.push_back(entry);
  }
}

}  // namespace

std::string zevsiteSqlRange(const ZEVSiteSqlDialect& dialect, const ZEVSiteSummaryQuery& query) {
  return " WHERE app = " + dialect.quote(query.app) + " AND day >= " + dialect.quote(query.from) +
         " AND day <= " + dialect.quote(query.to);
}

std::string zevsiteSqlTopList(const std::string& table, const std::string& range,
                              const std::string& keys, const std::string& count) {
  return "SELECT " + keys + ", " + count + " AS n FROM " + table + range + " GROUP BY " + keys +
         " ORDER BY n DESC, " + keys + " LIMIT " + std::to_string(kZEVSiteSummaryListLimit);
}

ZEVSiteSummary zevsiteSqlSummary(const ZEVSiteSqlDialect& dialect, const ZEVSiteSummaryQuery& query,
                                 const ZEVSiteSummaryStatements& statements) {
  const auto results = runAll(dialect, {{statements.kinds, 5},
                                        {statements.dayClients, 2},
                                        {statements.clients, 1},
                                        {statements.pages, 2},
                                        {statements.events, 3},
                                        {statements.campaigns, 3}});
  ZEVSiteSummary summary;
  summary.query = query;
  addDailyAndTotals(results[0], results[1], results[2], summary);
  for (const auto& row : results[3]) summary.topPages.push_back({row[0], number(row[1])});
  for (const auto& row : results[4]) {
    summary.topEvents.push_back({row[0], row[1], number(row[2])});
  }
  for (const auto& row : results[5]) {
    summary.campaigns.push_back({row[0], row[1], number(row[2])});
  }
  return summary;
}

std::vector<std::string> zevsiteSqlApps(const ZEVSiteSqlDialect& dialect,
                                        const std::string& table) {
  std::vector<std::string> apps;
  for (const auto& row : run(dialect, "SELECT DISTINCT app FROM " + table + " ORDER BY app", 1)) {
    apps.push_back(row[0]);
  }
  return apps;
}
