#include "ZEVSiteSqlSummary.h"

#include "ZEVSiteSummaryFormat.h"

#include <cstdlib>
#include <future>
#include <map>

const char* const kZEVSiteEventColumns[19] = {
    "app",           "event",    "eid",    "cid",   "ts",    "received", "day",
    "title",         "category", "action", "label", "value", "caid",     "action_labels",
    "action_values", "campaign", "source", "inst",  "dims"};

namespace {

// At most this many entries in each list of the summary.
constexpr int kListLimit = 20;

std::int64_t number(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

std::string whereClause(const ZEVSiteSqlDialect& dialect, const ZEVSiteSummaryQuery& query) {
  return " FROM " + dialect.table + " WHERE app = " + dialect.quote(query.app) +
         " AND day >= " + dialect.quote(query.from) + " AND day <= " + dialect.quote(query.to);
}

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
  std::string sql;
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

// Rows of `keys` and a count, for the filter `condition`, largest count first.
Statement topList(const std::string& where, const std::string& keys, std::size_t keyCount,
                  const std::string& condition) {
  return {"SELECT " + keys + ", count(*) AS n" + where + " AND " + condition + " GROUP BY " + keys +
              " ORDER BY n DESC, " + keys + " LIMIT " + std::to_string(kListLimit),
          keyCount + 1};
}

// The days of the range with their counts, zeros included, and the totals over them, from
// the counts per day and kind and the distinct clients of the whole range.
void addDailyAndTotals(const ZEVSiteSqlRows& perDay, const ZEVSiteSqlRows& clients,
                       ZEVSiteSummary& summary) {
  std::map<std::string, ZEVSiteSummary::Day> byDay;
  ZEVSiteSummary::Totals& totals = summary.totals;
  for (const auto& row : perDay) {
    byDay[row[0]] = {row[0], number(row[2]), number(row[1]), number(row[8])};
    totals.events += number(row[1]);
    totals.pageviews += number(row[2]);
    totals.classicEvents += number(row[3]);
    totals.customActions += number(row[4]);
    totals.starts += number(row[5]);
    totals.installs += number(row[6]);
    totals.pulses += number(row[7]);
  }
  for (const auto& row : clients) totals.clients = number(row[0]);
  for (const std::string& day : zevsiteDaysOfRange(summary.query.from, summary.query.to)) {
    auto found = byDay.find(day);
    summary.daily.push_back(found == byDay.end() ? ZEVSiteSummary::Day{day, 0, 0, 0}
                                                 : found->second);
  }
}

}  // namespace

ZEVSiteSummary zevsiteSqlSummary(const ZEVSiteSqlDialect& dialect,
                                 const ZEVSiteSummaryQuery& query) {
  const std::string where = whereClause(dialect, query);
  const auto results =
      runAll(dialect,
             {{"SELECT day, count(*), sum(event = 'pageview'), sum(event = 'event' AND caid = ''), "
               "sum(event = 'event' AND caid <> ''), sum(event = 'init'), "
               "sum(event = 'init' AND inst = 1), sum(event = 'pulse'), count(DISTINCT cid)" +
                   where + " GROUP BY day",
               9},
              {"SELECT count(DISTINCT cid)" + where, 1},
              topList(where, "title", 1, "event = 'pageview'"),
              topList(where, "category, action", 2, "event = 'event' AND caid = ''"),
              topList(where, "campaign, source", 2, "event = 'init' AND campaign <> ''")});
  ZEVSiteSummary summary;
  summary.query = query;
  addDailyAndTotals(results[0], results[1], summary);
  for (const auto& row : results[2]) summary.topPages.push_back({row[0], number(row[1])});
  for (const auto& row : results[3]) {
    summary.topEvents.push_back({row[0], row[1], number(row[2])});
  }
  for (const auto& row : results[4]) {
    summary.campaigns.push_back({row[0], row[1], number(row[2])});
  }
  return summary;
}

std::vector<std::string> zevsiteSqlApps(const ZEVSiteSqlDialect& dialect) {
  std::vector<std::string> apps;
  for (const auto& row :
       run(dialect, "SELECT DISTINCT app FROM " + dialect.table + " ORDER BY app", 1)) {
    apps.push_back(row[0]);
  }
  return apps;
}
