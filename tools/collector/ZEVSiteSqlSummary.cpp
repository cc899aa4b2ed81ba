#include "ZEVSiteSqlSummary.h"

#include "ZEVSiteEventRecord.h"
#include "ZEVSiteSummaryFormat.h"

#include <algorithm>
#include <cstdlib>
#include <future>
#include <map>

namespace zevsite::collector {

namespace {

// The rows of `select`, each checked to hold `columns` values (0: checked by the caller).
SqlRows run(const SqlDialect& dialect, const std::string& select, std::size_t columns) {
  SqlRows rows = dialect.select(select);
  for (const auto& row : rows) {
    if (columns != 0 && row.size() != columns) throw StoreError("unexpected answer to: " + select);
  }
  return rows;
}

// The days of the range with their counts, zeros included, and the totals over them, from
// the counts per day and kind, the distinct clients per day and those of the whole range.
void addDailyAndTotals(const SqlRows& kinds, const SqlRows& dayClients, const SqlRows& clients,
                       Summary& summary) {
  std::map<std::string, Summary::Day> byDay;
  Summary::Totals& totals = summary.totals;
  for (const auto& row : kinds) {
    const std::string& event = row[1];
    const bool custom = row[2] == "1", install = row[3] == "1";
    const std::int64_t count = sqlInteger(row[4]);
    Summary::Day& day = byDay[row[0]];
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
    } else {
      totals.customEvents += count;
    }
  }
  for (const auto& row : dayClients) byDay[row[0]].clients = sqlInteger(row[1]);
  for (const auto& row : clients) totals.clients = sqlInteger(row[0]);
  for (const std::string& day : daysOfRange(summary.query.from, summary.query.to)) {
    auto found = byDay.find(day);
    Summary::Day entry = found == byDay.end() ? Summary::Day{} : found->second;
    entry.day = day;
    summary.daily.push_back(entry);
  }
}

// The totals of the sessions and the users, from their statements' single rows.
void addSessionsAndUsers(const SqlRows& sessions, const SqlRows& users, Summary::Totals& totals) {
  for (const auto& row : sessions) {
    totals.sessions = sqlInteger(row[0]);
    if (totals.sessions > 0) {
      totals.avgSessionSeconds =
          static_cast<double>(sqlInteger(row[1])) / static_cast<double>(totals.sessions) / 1000.0;
    }
  }
  for (const auto& row : users) totals.users = sqlInteger(row[0]);
}

void addProfileLists(const SqlRows& platforms, const SqlRows& versions, const SqlRows& locales,
                     Summary& summary) {
  for (const auto& row : platforms) {
    summary.platforms.push_back({row[0], row[1], sqlInteger(row[2]), sqlInteger(row[3])});
  }
  for (const auto& row : versions) {
    summary.appVersions.push_back({row[0], sqlInteger(row[1]), sqlInteger(row[2])});
  }
  for (const auto& row : locales) summary.locales.push_back({row[0], sqlInteger(row[1])});
}

}  // namespace

std::int64_t sqlInteger(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

std::string sqlRange(const SqlDialect& dialect, const SummaryQuery& query) {
  return " WHERE app = " + dialect.quote(query.app) + " AND day >= " + dialect.quote(query.from) +
         " AND day <= " + dialect.quote(query.to);
}

std::string sqlTopList(const std::string& table, const std::string& range, const std::string& keys,
                       const std::string& count) {
  return "SELECT " + keys + ", " + count + " AS n FROM " + table + range + " GROUP BY " + keys +
         " ORDER BY n DESC, " + keys + " LIMIT " + std::to_string(kSummaryListLimit);
}

std::string sqlProfileList(const std::string& table, const std::string& range,
                           const std::string& keys, const std::string& clients,
                           const std::string& events) {
  const std::string firstKey = keys.substr(0, keys.find(','));
  const std::string counts =
      clients + " AS clients_n" + (events.empty() ? "" : ", " + events + " AS events_n");
  const std::string order =
      "clients_n DESC" + (events.empty() ? "" : std::string(", events_n DESC"));
  return "SELECT " + keys + ", " + counts + " FROM " + table + range + " AND " + firstKey +
         " <> '' GROUP BY " + keys + " ORDER BY " + order + ", " + keys + " LIMIT " +
         std::to_string(kSummaryListLimit);
}

SummaryRows sqlRunAll(const SqlDialect& dialect,
                      const std::vector<std::pair<std::string, std::size_t>>& statements) {
  SummaryRows results;
  if (!dialect.concurrent) {
    for (const auto& [sql, columns] : statements) results.push_back(run(dialect, sql, columns));
    return results;
  }
  std::vector<std::future<SqlRows>> pending;
  for (const auto& statement : statements) {
    pending.push_back(std::async(std::launch::async, [&dialect, &statement] {
      return run(dialect, statement.first, statement.second);
    }));
  }
  for (auto& rows : pending) results.push_back(rows.get());
  return results;
}

SqlRows topRows(const std::map<std::vector<std::string>, std::int64_t>& counts) {
  std::vector<std::pair<const std::vector<std::string>*, std::int64_t>> entries;
  for (const auto& [keys, n] : counts) entries.emplace_back(&keys, n);
  // The map holds the keys in ascending order already: a stable sort by count keeps it.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  if (entries.size() > kSummaryListLimit) entries.resize(kSummaryListLimit);
  SqlRows rows;
  for (const auto& [keys, n] : entries) {
    rows.push_back(*keys);
    rows.back().push_back(std::to_string(n));
  }
  return rows;
}

Summary sqlSummary(const SqlDialect& dialect, const SummaryQuery& query,
                   const SummaryStatements& statements,
                   const std::function<SummaryRows()>& clientRows) {
  auto clients = std::async(std::launch::async, clientRows);
  SummaryRows rows = sqlRunAll(dialect, {{statements.kinds, 5},
                                         {statements.pages, 2},
                                         {statements.events, 3},
                                         {statements.campaigns, 3},
                                         {statements.properties, 4}});
  SummaryRows more = clients.get();
  if (more.size() != 7) throw StoreError("the summary's client rows are incomplete");
  rows.insert(rows.begin() + 1, more.begin(), more.begin() + 2);
  rows.insert(rows.end(), more.begin() + 2, more.end());
  return assembleSummary(query, rows);
}

Summary assembleSummary(const SummaryQuery& query, const SummaryRows& results) {
  if (results.size() != 12) throw StoreError("the summary's rows are incomplete");
  Summary summary;
  summary.query = query;
  addDailyAndTotals(results[0], results[1], results[2], summary);
  for (const auto& row : results[3]) summary.topPages.push_back({row[0], sqlInteger(row[1])});
  for (const auto& row : results[4]) {
    summary.topEvents.push_back({row[0], row[1], sqlInteger(row[2])});
  }
  // A campaign and its source arrive as the deep link carried them, percent-encoded
  // ("spring%20sale"); they are shown decoded, and spellings that decode alike count as one.
  std::map<std::pair<std::string, std::string>, std::int64_t> campaigns;
  for (const auto& row : results[5]) {
    campaigns[{percentDecode(row[0]), percentDecode(row[1])}] += sqlInteger(row[2]);
  }
  for (const auto& [names, starts] : campaigns) {
    summary.campaigns.push_back({names.first, names.second, starts});
  }
  std::stable_sort(summary.campaigns.begin(), summary.campaigns.end(),
                   [](const auto& a, const auto& b) { return a.starts > b.starts; });
  // Custom events by name, from the counts by kind.
  std::map<std::vector<std::string>, std::int64_t> customEvents;
  for (const auto& row : results[0]) {
    if (isCustomEvent(row[1])) customEvents[{row[1]}] += sqlInteger(row[4]);
  }
  for (const auto& row : topRows(customEvents)) {
    summary.customEvents.push_back({row[0], sqlInteger(row[1])});
  }
  for (const auto& row : results[6]) {
    summary.customEventProperties.push_back({row[0], row[1], row[2], sqlInteger(row[3])});
  }
  addSessionsAndUsers(results[7], results[8], summary.totals);
  addProfileLists(results[9], results[10], results[11], summary);
  return summary;
}

std::vector<std::string> sqlApps(const SqlDialect& dialect, const std::string& table) {
  std::vector<std::string> apps;
  for (const auto& row : run(dialect, "SELECT DISTINCT app FROM " + table + " ORDER BY app", 1)) {
    apps.push_back(row[0]);
  }
  return apps;
}

std::vector<RegisteredApp> sqlRegisteredApps(const SqlDialect& dialect,
                                             const std::string& statement) {
  std::vector<RegisteredApp> apps;
  for (auto& row : dialect.select(statement)) {
    if (row.size() == 2) apps.push_back({std::move(row[0]), std::move(row[1])});
  }
  return apps;
}

}  // namespace zevsite::collector
