#include "ZEVSiteClickHouseStore.h"

#include "ZEVSiteJourneys.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <regex>
#include <set>

namespace zevsite::collector {

namespace {

constexpr long kRequestTimeoutSeconds = 30;

std::string clickHouseLiteral(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

// One value of ClickHouse's TabSeparated output, unescaped.
std::string unescapeTsv(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    switch (char c = text[++i]) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case '0':
        out += '\0';
        break;
      default:
        out += c;
    }
  }
  return out;
}

SqlRows parseTsv(std::string_view text) {
  SqlRows rows;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    auto& row = rows.emplace_back();
    for (;;) {
      std::size_t tab = line.find('\t');
      row.push_back(unescapeTsv(line.substr(0, tab)));
      if (tab == std::string_view::npos) break;
      line.remove_prefix(tab + 1);
    }
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return rows;
}

// The columns of the event table, in the order appendRow writes them.
const char* const kColumns =
    "app, event, eid, cid, ts, device_ts, received, day, title, category, action, label, value,"
    " caid, action_labels, action_values, campaign, source, inst, dims, properties, uid,"
    " app_version, app_build, os, os_version, arch, locale, tz, screen, sid, sn";

// The device's own time of an event; rows written without it (by a collector from before
// it was kept) take their ts.
const char* const kDeviceTimeColumn = "device_ts Int64 DEFAULT ts";
// The event's other fields as JSON; rows written by a collector from before it kept them
// had none kept.
const char* const kPropertiesColumn = "properties String DEFAULT '{}'";
// The context columns, in this order after properties: added to every table that lacks them
// (a new table is made without them, as a table made before they were kept was), so every
// table has the same columns. Rows written before they were kept have none: '' and 0.
constexpr std::pair<const char*, const char*> kClickHouseContextColumns[] = {
    {"uid", "String"},        {"app_version", "String"}, {"app_build", "String"}, {"os", "String"},
    {"os_version", "String"}, {"arch", "String"},        {"locale", "String"},    {"tz", "Int32"},
    {"screen", "String"},     {"sid", "String"},         {"sn", "Int64"}};

// `text` as one value of ClickHouse's TabSeparated input.
void appendTsv(std::string& body, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\\':
        body += "\\\\";
        break;
      case '\t':
        body += "\\t";
        break;
      case '\n':
        body += "\\n";
        break;
      case '\r':
        body += "\\r";
        break;
      case '\0':
        body += "\\0";
        break;
      default:
        body += c;
    }
  }
}

// One row of the insert, TabSeparated: cheaper to write and for the server to parse than
// JSON.
void appendRow(std::string& body, const EventRecord& r) {
  auto text = [&](const std::string& value) {
    appendTsv(body, value);
    body += '\t';
  };
  auto integer = [&](std::int64_t value) {
    body += std::to_string(value);
    body += '\t';
  };
  text(r.app), text(r.event), text(r.eventId), text(r.clientId), integer(r.eventTime),
      integer(r.deviceTime), integer(r.receivedTime), text(r.day), text(r.title), text(r.category),
      text(r.action), text(r.label), integer(r.value), text(r.customActionId), text(r.actionLabels),
      text(r.actionValues), text(r.campaign), text(r.source), integer(r.firstLaunch),
      text(r.dimensions), text(r.properties), text(r.userId), text(r.appVersion), text(r.appBuild),
      text(r.os), text(r.osVersion), text(r.arch), text(r.locale), integer(r.utcOffset),
      text(r.screen), text(r.sessionId);
  body += std::to_string(r.sessionNumber);
  body += '\n';
}

// The rows of the properties table for a custom event: one per property.
void appendPropertyRows(std::string& body, const EventRecord& r) {
  if (!isCustomEvent(r.event)) return;
  for (const auto& [key, value] : r.propertyList) {
    for (const std::string* text : {&r.app, &r.day, &r.eventId, &r.event, &key}) {
      appendTsv(body, *text);
      body += '\t';
    }
    appendTsv(body, value);
    body += '\n';
  }
}

}  // namespace

class ClickHouseStore::Connection {
 public:
  explicit Connection(std::string serverURL) : serverURL_(std::move(serverURL)) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    handle_.reset(curl_easy_init());
    if (!handle_) throw StoreError("libcurl cannot make a handle");
    // Without it libcurl asks for "100 Continue" before each larger body: a round trip more.
    headers_.reset(curl_slist_append(nullptr, "Expect:"));
    if (!headers_) throw StoreError("libcurl cannot make a header list");
  }

  // POSTs `body` to the server with `query` as the URL's query parameter (empty: the body
  // is the statement); returns the answer, or throws when it is not 200.
  std::string post(const std::string& query, const std::string& body) {
    std::string url = serverURL_;
    if (!query.empty()) {
      char* escaped =
          curl_easy_escape(handle_.get(), query.c_str(), static_cast<int>(query.size()));
      url += "?query=" + std::string(escaped);
      curl_free(escaped);
    }
    std::string answer;
    CURL* curl = handle_.get();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers_.get());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Connection::collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    const CURLcode rc = curl_easy_perform(curl);
    if (rc != CURLE_OK) {
      throw StoreError("ClickHouse at " + serverURL_ + ": " + curl_easy_strerror(rc));
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
      throw StoreError("ClickHouse answered " + std::to_string(status) + ": " +
                       answer.substr(0, 500));
    }
    return answer;
  }

 private:
  static std::size_t collect(char* data, std::size_t size, std::size_t count, void* answer) {
    static_cast<std::string*>(answer)->append(data, size * count);
    return size * count;
  }
  struct HandleCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
  };
  struct HeadersCleanup {
    void operator()(curl_slist* headers) const { curl_slist_free_all(headers); }
  };

  std::string serverURL_;
  std::unique_ptr<CURL, HandleCleanup> handle_;
  std::unique_ptr<curl_slist, HeadersCleanup> headers_;
};

ClickHouseStore::ClickHouseStore(const std::string& url) {
  static const std::regex form(R"((https?://[^/]+/)([A-Za-z_][A-Za-z0-9_]*)/?)");
  std::smatch match;
  if (!std::regex_match(url, match, form)) {
    throw StoreError("not a ClickHouse URL (http://HOST:PORT/DATABASE): " + url);
  }
  serverURL_ = match[1];
  database_ = match[2];
  table_ = database_ + ".events";
  writer_ = std::make_unique<Connection>(serverURL_);
}

ClickHouseStore::~ClickHouseStore() = default;

void ClickHouseStore::ensureTable() {
  std::lock_guard lock(tableMutex_);
  if (tableReady_) return;
  Connection connection(serverURL_);
  connection.post("", "CREATE DATABASE IF NOT EXISTS " + database_);
  // ORDER BY is the replacing key: rows with one event id (of one app, and of one day unless
  // it was stored twice with clock corrections either side of midnight) are merged into one
  // in the background; queries count distinct event ids for the rows not merged yet. ts is
  // the event's time corrected by the device's clock error, day its UTC day, device_ts the
  // ts the device sent.
  connection.post("", "CREATE TABLE IF NOT EXISTS " + table_ +
                          " (app String, event String, eid String, cid String, ts Int64," +
                          kDeviceTimeColumn +
                          ", received Int64, day Date, title String, category String,"
                          " action String, label String, value Int64, caid String,"
                          " action_labels String, action_values String, campaign String,"
                          " source String, inst UInt8, dims String, " +
                          kPropertiesColumn +
                          ") ENGINE = ReplacingMergeTree()"
                          " PARTITION BY toYYYYMM(day) ORDER BY (app, day, eid)");
  // A table made before device times were kept gets the column: its rows were stored by the
  // time the device sent, which they read as their device time (the default, computed for
  // rows written without it; nothing is rewritten). ClickHouse 18 has no ADD COLUMN IF NOT
  // EXISTS: when the ALTER fails, another collector may have added it just now.
  // The table's columns are read once, and again only when an ALTER fails.
  auto readColumns = [&] {
    std::set<std::string> names;
    for (auto& row :
         parseTsv(connection.post("",
                                  "SELECT name FROM system.columns WHERE"
                                  " database = " +
                                      clickHouseLiteral(database_) + " AND table = 'events'"))) {
      names.insert(std::move(row.front()));
    }
    return names;
  };
  std::set<std::string> columns = readColumns();
  auto ensureColumn = [&](const char* name, const std::string& definition) {
    if (columns.count(name) != 0) return;
    try {
      connection.post("", "ALTER TABLE " + table_ + " ADD COLUMN " + definition);
    } catch (const StoreError&) {
      columns = readColumns();
      if (columns.count(name) == 0) throw;
    }
  };
  ensureColumn("device_ts", kDeviceTimeColumn + std::string(" AFTER ts"));
  // After dims, where a table made before kept its last column.
  ensureColumn("properties", kPropertiesColumn + std::string(" AFTER dims"));
  std::string previous = "properties";
  for (const auto& [name, type] : kClickHouseContextColumns) {
    ensureColumn(name, std::string(name) + " " + type + " AFTER " + previous);
    previous = name;
  }
  // A custom event's properties, a row each, for the summary's lists (ClickHouse 18 cannot
  // take JSON apart); an event stored twice is counted once by its id.
  connection.post("", "CREATE TABLE IF NOT EXISTS " + database_ +
                          ".event_properties (app String, day Date, eid String, name String,"
                          " key String, value String) ENGINE = ReplacingMergeTree()"
                          " PARTITION BY toYYYYMM(day) ORDER BY (app, day, name, key, value, eid)");
  // Registered apps: the latest registration of an id wins (its time in ms is the version).
  connection.post("", "CREATE TABLE IF NOT EXISTS " + database_ +
                          ".registered_apps (id String, name String, added UInt64)"
                          " ENGINE = ReplacingMergeTree(added) ORDER BY id");
  tableReady_ = true;
}

void ClickHouseStore::insert(const std::vector<EventRecord>& records) {
  if (records.empty()) return;
  std::string body;
  body.reserve(records.size() * 512);
  std::string properties;
  for (const auto& record : records) {
    appendRow(body, record);
    appendPropertyRows(properties, record);
  }
  std::lock_guard lock(writeMutex_);
  ensureTable();
  // The properties first: should the events' insert fail, the batch is sent again and both
  // are stored again, each counted once by event id.
  if (!properties.empty()) {
    writer_->post("INSERT INTO " + database_ +
                      ".event_properties (app, day, eid, name, key, value) FORMAT TabSeparated",
                  properties);
  }
  writer_->post("INSERT INTO " + table_ + " (" + kColumns + ") FORMAT TabSeparated", body);
}

SqlDialect ClickHouseStore::dialect() {
  // Each statement on a connection of its own, so the summary's statements run in parallel
  // on the server.
  return {clickHouseLiteral,
          [this](const std::string& sql) {
            return parseTsv(Connection(serverURL_).post("", sql + " FORMAT TabSeparated"));
          },
          /*concurrent=*/true};
}

Summary ClickHouseStore::summary(const SummaryQuery& query) {
  ensureTable();
  // Rows not merged yet may hold an event twice: counting distinct event ids counts it once,
  // on all the server's cores, where FINAL would merge on one. Counting them is most of the
  // work, so one statement counts them once for the kinds and the three lists at a time
  // (keys a list does not use left empty); distinct clients need no such care.
  const SqlDialect sql = dialect();
  const std::string range = sqlRange(sql, query);
  const std::string classic = "event = 'event' AND caid = ''";
  const std::string otherKeys =
      "event, caid <> '', inst, if(event = 'pageview', title, ''), if(" + classic +
      ", category, ''), if(" + classic +
      ", action, ''), if(event = 'init', campaign, ''), if(event = 'init', source, '')";
  // ClickHouse 18 writes the first day, 1970-01-01 (where the earliest times are held), as
  // 0000-00-00: the days are formatted, once per group.
  const std::string dayText = "formatDateTime(day, '%F')";
  const SummaryRows rows = sqlRunAll(
      sql,
      {{"SELECT " + dayText + ", " + otherKeys + ", uniqExact(eid) FROM " + table_ + range +
            " GROUP BY day, " + otherKeys,
        10},
       {"SELECT " + dayText + ", uniqExact(cid) FROM " + table_ + range +
            " GROUP BY day WITH TOTALS",
        0},
       {sqlTopList(database_ + ".event_properties", range, "name, key, value", "uniqExact(eid)"),
        4},
       // A session id is 16 hex digits: as the 8 bytes they stand for it groups faster.
       {"SELECT count(), sum(span) FROM (SELECT max(ts) - min(ts) AS span FROM " + table_ + range +
            " AND sid <> '' GROUP BY cid, reinterpretAsUInt64(unhex(sid)))",
        2},
       {"SELECT uniqExact(uid, if(uid = '', cid, '')) FROM " + table_ + range, 1},
       {sqlProfileList(table_, range, "os, os_version", "uniqExact(cid)", "uniqExact(eid)"), 4},
       {sqlProfileList(table_, range, "app_version", "uniqExact(cid)", "uniqExact(eid)"), 3},
       {sqlProfileList(table_, range, "locale", "uniqExact(cid)", ""), 2}});
  SummaryRows results(12);
  std::map<std::vector<std::string>, std::int64_t> pages, events, campaigns;
  std::map<std::vector<std::string>, std::int64_t> kinds;
  for (const auto& row : rows[0]) {
    const std::int64_t n = std::strtoll(row[9].c_str(), nullptr, 10);
    kinds[{row[0], row[1], row[2], row[3]}] += n;
    if (row[1] == "pageview") pages[{row[4]}] += n;
    if (row[1] == "event" && row[2] == "0") events[{row[5], row[6]}] += n;
    if (row[1] == "init" && !row[7].empty()) campaigns[{row[7], row[8]}] += n;
  }
  for (const auto& [key, n] : kinds) {
    results[0].push_back(key);
    results[0].back().push_back(std::to_string(n));
  }
  // Days, a blank line, then the totals: the distinct clients of the whole range.
  for (std::size_t i = 0; i < rows[1].size(); ++i) {
    const auto& row = rows[1][i];
    if (row.size() == 1 && row[0].empty() && i + 1 < rows[1].size() && rows[1][i + 1].size() == 2) {
      results[2].push_back({rows[1][i + 1][1]});
      break;
    }
    if (row.size() != 2) throw StoreError("unexpected answer to the clients' statement");
    results[1].push_back(row);
  }
  results[3] = topRows(pages);
  results[4] = topRows(events);
  results[5] = topRows(campaigns);
  for (std::size_t i = 2; i < rows.size(); ++i) results[i + 4] = rows[i];
  return assembleSummary(query, results);
}

Retention ClickHouseStore::retention(const RetentionQuery& query) {
  ensureTable();
  const SqlDialect sql = dialect();
  // Days numbered from 1970-01-01, weeks as periodOfDay does; each client's periods once.
  const std::string period =
      query.period == RetentionPeriod::Day ? "toUInt32(day)" : "intDiv(toUInt32(day) + 3, 7)";
  return assembleRetention(
      query, sql.select("SELECT cohort, period, count() FROM (SELECT groupUniqArray(" + period +
                        ") AS periods, min(" + period + ") AS cohort FROM " + table_ +
                        sqlRange(sql, query.range) +
                        " GROUP BY cid) ARRAY JOIN periods AS period GROUP BY cohort, period"));
}

Funnel ClickHouseStore::funnel(const FunnelQuery& query) {
  ensureTable();
  const SqlDialect sql = dialect();
  // Each client's times of the events that are any step, with a bit per step they are; then,
  // step by step, the client's first time of step k at or after its time of step k - 1
  // (kEndOfEventTimes: never). ClickHouse 18 has no window functions nor CTEs: arrays do it.
  const std::string never = std::to_string(kEndOfEventTimes);
  std::string bits, any, times, counts;
  for (std::size_t k = 0; k < query.steps.size(); ++k) {
    const std::string condition = "(" + sqlStepCondition(sql, query.steps[k]) + ")";
    const std::string step = std::to_string(k), bit = std::to_string(1 << k);
    bits += (k == 0 ? "" : " + ") + condition + " * " + bit;
    any += (k == 0 ? "" : " OR ") + condition;
    times += ", arrayReduce('min', arrayConcat([toInt64(" + never +
             ")], arrayFilter((t, b) -> bitAnd(b, " + bit + ") != 0" +
             (k == 0 ? std::string() : " AND t >= step_time_" + std::to_string(k - 1)) +
             ", times, steps))) AS step_time_" + step;
    counts += (k == 0 ? "" : ", ") + std::string("countIf(step_time_") + step + " < " + never + ")";
  }
  return assembleFunnel(
      query, sql.select("SELECT " + counts + " FROM (SELECT cid" + times +
                        " FROM (SELECT cid, groupArray(ts) AS times, groupArray(step_bits) AS"
                        " steps FROM (SELECT cid, ts, " +
                        bits + " AS step_bits FROM " + table_ + sqlRange(sql, query.range) +
                        " AND (" + any + ")) GROUP BY cid))"));
}

void ClickHouseStore::registerApp(const std::string& id, const std::string& name) {
  ensureTable();
  // The registration's version: its time, after every earlier one of this process, so that
  // two registrations within a millisecond keep their order.
  const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  std::int64_t last = lastRegistration_.load();
  std::int64_t added;
  do {
    added = std::max(now, last + 1);
  } while (!lastRegistration_.compare_exchange_weak(last, added));
  std::string row;
  appendTsv(row, id);
  row += '\t';
  appendTsv(row, name);
  row += '\t' + std::to_string(added) + '\n';
  Connection(serverURL_)
      .post("INSERT INTO " + database_ + ".registered_apps (id, name, added) FORMAT TabSeparated",
            row);
}

std::vector<RegisteredApp> ClickHouseStore::registeredApps() {
  ensureTable();
  return sqlRegisteredApps(dialect(), "SELECT id, argMax(name, added) FROM " + database_ +
                                          ".registered_apps GROUP BY id ORDER BY id");
}

std::vector<std::string> ClickHouseStore::apps() {
  ensureTable();
  return sqlApps(dialect(), table_);
}

}  // namespace zevsite::collector
