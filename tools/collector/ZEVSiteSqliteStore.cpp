#include "ZEVSiteSqliteStore.h"

#include "ZEVSiteJourneys.h"
#include "ZEVSiteSqliteCounts.h"
#include "ZEVSiteSummaryFormat.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <future>
#include <map>
#include <string_view>
#include <tuple>
#include <type_traits>

namespace zevsite::collector {

namespace {

constexpr int kBusyTimeoutMs = 5000;
// The checkpoint thread copies the WAL back once it holds this many pages (SQLite's own
// automatic checkpoint would do it in the commit that crossed it).
constexpr int kCheckpointPages = 1000;

// NORMAL: a commit in WAL mode survives a crash of the collector; only a power loss may
// take the last commits back. A full sync per batch would halve ingestion.
// The summary's DISTINCT sorts in memory. A 6 MiB page cache per connection bounds the
// collector's memory: the event ids the SDK makes grow with time, so inserts touch the end of
// the id index, a few pages.
const char* const kSettings =
    "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA temp_store=MEMORY;"
    "PRAGMA cache_size=-6144;";

// The events, appended in rowid order, with their ids in a unique index of their own: a
// fifth cheaper to insert than rows ordered by the id (a database made with that layout
// keeps it). ts is the event's time corrected by the device's clock error, and day its UTC
// day; device_ts is the ts the device sent (last, where a database made before it has it
// added). The per-day tables hold what the summary reads, for the events stored once each.
const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS events ("
    "app TEXT NOT NULL, event TEXT NOT NULL, eid TEXT NOT NULL UNIQUE, cid TEXT NOT NULL,"
    "ts INTEGER NOT NULL, received INTEGER NOT NULL, day TEXT NOT NULL, title TEXT NOT NULL,"
    "category TEXT NOT NULL, action TEXT NOT NULL, label TEXT NOT NULL, value INTEGER NOT NULL,"
    "caid TEXT NOT NULL, action_labels TEXT NOT NULL, action_values TEXT NOT NULL,"
    "campaign TEXT NOT NULL, source TEXT NOT NULL, inst INTEGER NOT NULL, dims TEXT NOT NULL,"
    "device_ts INTEGER NOT NULL, properties TEXT NOT NULL DEFAULT '{}');"
    "CREATE TABLE IF NOT EXISTS day_kinds (app TEXT NOT NULL, day TEXT NOT NULL,"
    " event TEXT NOT NULL, custom INTEGER NOT NULL, inst INTEGER NOT NULL, n INTEGER NOT NULL,"
    " PRIMARY KEY (app, day, event, custom, inst)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS day_pages (app TEXT NOT NULL, day TEXT NOT NULL,"
    " title TEXT NOT NULL, n INTEGER NOT NULL, PRIMARY KEY (app, day, title)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS day_events (app TEXT NOT NULL, day TEXT NOT NULL,"
    " category TEXT NOT NULL, action TEXT NOT NULL, n INTEGER NOT NULL,"
    " PRIMARY KEY (app, day, category, action)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS day_campaigns (app TEXT NOT NULL, day TEXT NOT NULL,"
    " campaign TEXT NOT NULL, source TEXT NOT NULL, n INTEGER NOT NULL,"
    " PRIMARY KEY (app, day, campaign, source)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS day_properties (app TEXT NOT NULL, day TEXT NOT NULL,"
    " name TEXT NOT NULL, key TEXT NOT NULL, value TEXT NOT NULL, n INTEGER NOT NULL,"
    " PRIMARY KEY (app, day, name, key, value)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS day_profiles (app TEXT NOT NULL, day TEXT NOT NULL,"
    " cid TEXT NOT NULL, sid TEXT NOT NULL, uid TEXT NOT NULL, os TEXT NOT NULL,"
    " os_version TEXT NOT NULL, app_version TEXT NOT NULL, locale TEXT NOT NULL,"
    " first_ts INTEGER NOT NULL, last_ts INTEGER NOT NULL, n INTEGER NOT NULL,"
    " PRIMARY KEY (app, day, cid, sid, uid, os, os_version, app_version, locale)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS registered_apps (id TEXT PRIMARY KEY, name TEXT NOT NULL);";

// The context columns of the events table, in this order after properties. Added to every
// table that lacks them when the store opens (a new table is created without them, as a
// table made before they were kept was), so every table has the same columns. Rows stored
// before they were kept have none: empty text, 0.
constexpr std::pair<const char*, const char*> kSqliteContextColumns[] = {
    {"uid", "TEXT NOT NULL DEFAULT ''"},        {"app_version", "TEXT NOT NULL DEFAULT ''"},
    {"app_build", "TEXT NOT NULL DEFAULT ''"},  {"os", "TEXT NOT NULL DEFAULT ''"},
    {"os_version", "TEXT NOT NULL DEFAULT ''"}, {"arch", "TEXT NOT NULL DEFAULT ''"},
    {"locale", "TEXT NOT NULL DEFAULT ''"},     {"tz", "INTEGER NOT NULL DEFAULT 0"},
    {"screen", "TEXT NOT NULL DEFAULT ''"},     {"sid", "TEXT NOT NULL DEFAULT ''"},
    {"sn", "INTEGER NOT NULL DEFAULT 0"}};

// A funnel reads the events of an app's time range in the order they happened: an index of
// them by time, appended to as events arrive (in about that order). Made when the store
// opens, also for a database made before it.
const char* const kTimeIndex = "CREATE INDEX IF NOT EXISTS events_times ON events (app, ts);";

// A database made before sessions and profiles were counted (user_version 1) gets their
// per-day table filled from its events. It holds each day's clients too, which a table of
// their own held before.
const char* const kFillContextTables =
    "DROP TABLE IF EXISTS day_clients; DELETE FROM day_profiles;"
    "INSERT INTO day_profiles SELECT app, day, cid, sid, uid, os, os_version, app_version, locale,"
    " min(ts), max(ts), count(*) FROM events"
    " GROUP BY app, day, cid, sid, uid, os, os_version, app_version, locale;"
    "PRAGMA user_version = 2;";

// A database made before the per-day tables (user_version 0) gets them filled from its
// events, and loses the covering indexes the summary read before.
const char* const kFillDayTables =
    "DELETE FROM day_kinds; DELETE FROM day_pages;"
    "DELETE FROM day_events; DELETE FROM day_campaigns;"
    "INSERT INTO day_kinds SELECT app, day, event, caid <> '', inst, count(*) FROM events"
    " GROUP BY app, day, event, caid <> '', inst;"
    "INSERT INTO day_pages SELECT app, day, title, count(*) FROM events"
    " WHERE event = 'pageview' GROUP BY app, day, title;"
    "INSERT INTO day_events SELECT app, day, category, action, count(*) FROM events"
    " WHERE event = 'event' AND caid = '' GROUP BY app, day, category, action;"
    "INSERT INTO day_campaigns SELECT app, day, campaign, source, count(*) FROM events"
    " WHERE event = 'init' AND campaign <> '' GROUP BY app, day, campaign, source;"
    "DROP INDEX IF EXISTS events_days; DROP INDEX IF EXISTS events_lists;"
    "PRAGMA user_version = 1;";

// A database made before device times were kept: its events were stored by the time the
// device sent, so that is their device time. The default is never seen: every row gets its
// time in the same transaction, and every insert names the column.
const char* const kAddDeviceTimes =
    "ALTER TABLE events ADD COLUMN device_ts INTEGER NOT NULL DEFAULT 0;"
    "UPDATE events SET device_ts = ts;";

// A database made before events kept their other fields: its events had none kept.
const char* const kAddProperties =
    "ALTER TABLE events ADD COLUMN properties TEXT NOT NULL DEFAULT '{}';";

// Column `column` of the row `statement` stands on, as text; valid until the next step.
std::string_view textOf(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return text ? std::string_view(text,
                                 static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
              : std::string_view();
}

std::string sqliteLiteral(std::string_view text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

void execute(sqlite3* db, const char* sql, const std::string& what) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    throw StoreError(what + ": " + message);
  }
}

bool hasColumn(sqlite3* db, const char* table, const char* column) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT 1 FROM pragma_table_info(?) WHERE name = ?", -1, &statement,
                         nullptr) != SQLITE_OK) {
    throw StoreError(std::string("cannot read the schema: ") + sqlite3_errmsg(db));
  }
  sqlite3_bind_text(statement, 1, table, -1, SQLITE_STATIC);
  sqlite3_bind_text(statement, 2, column, -1, SQLITE_STATIC);
  const int rc = sqlite3_step(statement);
  const std::string problem = sqlite3_errmsg(db);
  sqlite3_finalize(statement);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    throw StoreError("cannot read the schema: " + problem);
  }
  return rc == SQLITE_ROW;
}

int userVersion(sqlite3* db) {
  sqlite3_stmt* statement = nullptr;
  int version = -1;
  if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    version = sqlite3_column_int(statement, 0);
  }
  sqlite3_finalize(statement);
  return version;
}

// Binds `values` to `statement` from the first parameter on and runs it once.
template <class... Values>
void run(sqlite3* db, sqlite3_stmt* statement, const Values&... values) {
  int column = 0;
  auto bind = [&](const auto& value) {
    if constexpr (std::is_convertible_v<decltype(value), std::string_view>) {
      sqlite3_bind_text(statement, ++column, value.data(), static_cast<int>(value.size()),
                        SQLITE_STATIC);
    } else {
      sqlite3_bind_int64(statement, ++column, static_cast<sqlite3_int64>(value));
    }
  };
  (bind(values), ...);
  // Every parameter is bound again before the next step: no need to clear them.
  const int rc = sqlite3_step(statement);
  sqlite3_reset(statement);
  if (rc != SQLITE_DONE) {
    throw StoreError(std::string("cannot insert: ") + sqlite3_errmsg(db));
  }
}

// What one insert adds to the per-day tables: its new events, counted by key. The keys view
// the records' strings.
struct DayCounts {
  using Text = std::string_view;
  std::map<std::tuple<Text, Text, Text, int, int>, std::int64_t> kinds;
  std::map<std::tuple<Text, Text, Text>, std::int64_t> pages;
  std::map<std::tuple<Text, Text, Text, Text>, std::int64_t> events;
  std::map<std::tuple<Text, Text, Text, Text>, std::int64_t> campaigns;
  std::map<std::tuple<Text, Text, Text, Text, Text>, std::int64_t> properties;
  // (app, day, cid, sid, uid, os, os version, app version, locale) -> the first and last event
  // time and the events.
  struct Profile {
    std::int64_t first, last, events;
  };
  std::map<std::tuple<Text, Text, Text, Text, Text, Text, Text, Text, Text>, Profile> profiles;

  void add(const EventRecord& r) {
    addContext(r);
    const bool custom = !r.customActionId.empty();
    ++kinds[{r.app, r.day, r.event, custom ? 1 : 0, r.firstLaunch}];
    if (r.event == "pageview") ++pages[{r.app, r.day, r.title}];
    if (r.event == "event" && !custom) ++events[{r.app, r.day, r.category, r.action}];
    if (r.event == "init" && !r.campaign.empty()) {
      ++campaigns[{r.app, r.day, r.campaign, r.source}];
    }
    if (isCustomEvent(r.event)) {
      for (const auto& [key, value] : r.propertyList) {
        ++properties[{r.app, r.day, r.event, key, value}];
      }
    }
  }

  void addContext(const EventRecord& r) {
    auto [profile, added] = profiles.try_emplace({r.app, r.day, r.clientId, r.sessionId, r.userId,
                                                  r.os, r.osVersion, r.appVersion, r.locale},
                                                 Profile{r.eventTime, r.eventTime, 1});
    if (!added) {
      profile->second.first = std::min(profile->second.first, r.eventTime);
      profile->second.last = std::max(profile->second.last, r.eventTime);
      ++profile->second.events;
    }
  }
};

// Each events table column from kSqliteContextColumns that `db`'s table lacks, added.
void addContextColumns(sqlite3* db, const std::string& path) {
  for (const auto& [name, definition] : kSqliteContextColumns) {
    if (hasColumn(db, "events", name)) continue;
    execute(db, (std::string("ALTER TABLE events ADD COLUMN ") + name + " " + definition).c_str(),
            "cannot add the context columns to " + path);
  }
}

}  // namespace

void SqliteStore::ConnectionCloser::operator()(sqlite3* db) const { sqlite3_close(db); }
void SqliteStore::StatementFinalizer::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

SqliteStore::Connection SqliteStore::open(const std::string& path) {
  // ":memory:" and URIs name no file of ours.
  // SQLite gives the log and index files it makes beside the database the database file's
  // permissions, so the file is made (or corrected) owner-only before SQLite opens it.
  if (path != ":memory:" && path.rfind("file:", 0) != 0) {
    makeOwnerOnlyFile(path);
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
      // Left by an earlier version with looser permissions; absent is fine.
      ::chmod((path + suffix).c_str(), 0600);
    }
  }
  sqlite3* raw = nullptr;
  // No mutex of SQLite's own per connection: each is used by one thread at a time (the
  // writer's behind writeMutex_), and a query's rows no longer take a lock each.
  int rc =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  Connection db(raw);
  if (rc != SQLITE_OK) {
    throw StoreError("cannot open " + path + ": " +
                     (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
  }
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  execute(db.get(), kSettings, "cannot set up " + path);
  return db;
}

SqliteStore::Statement SqliteStore::prepare(const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(writer_.get(), sql, -1, &statement, nullptr) != SQLITE_OK) {
    throw StoreError(std::string("cannot prepare an insert: ") + sqlite3_errmsg(writer_.get()));
  }
  return Statement(statement);
}

SqliteStore::SqliteStore(const std::string& path) : path_(path), writer_(open(path)) {
  sqlite3* db = writer_.get();
  execute(db, "BEGIN IMMEDIATE", "cannot set up " + path);
  try {
    execute(db, kSchema, "cannot set up " + path);
    if (!hasColumn(db, "events", "device_ts")) {
      execute(db, kAddDeviceTimes, "cannot add device times to " + path);
    }
    if (!hasColumn(db, "events", "properties")) {
      execute(db, kAddProperties, "cannot add event properties to " + path);
    }
    addContextColumns(db, path);
    if (userVersion(db) < 1) execute(db, kFillDayTables, "cannot fill the per-day tables");
    if (userVersion(db) < 2) execute(db, kFillContextTables, "cannot fill the per-day tables");
    execute(db, kTimeIndex, "cannot index the events' times in " + path);
    execute(db, "COMMIT", "cannot set up " + path);
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  insertEvent_ = prepare(
      "INSERT OR IGNORE INTO events (app, event, eid, cid, ts, device_ts, received, day, title,"
      " category, action, label, value, caid, action_labels, action_values, campaign, source,"
      " inst, dims, properties, uid, app_version, app_build, os, os_version, arch, locale, tz,"
      " screen, sid, sn) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
  addKind_ = prepare(
      "INSERT INTO day_kinds VALUES (?,?,?,?,?,?) ON CONFLICT DO UPDATE SET n = n + excluded.n");
  addPage_ = prepare(
      "INSERT INTO day_pages VALUES (?,?,?,?) ON CONFLICT DO UPDATE SET n = n + excluded.n");
  addEvent_ = prepare(
      "INSERT INTO day_events VALUES (?,?,?,?,?) ON CONFLICT DO UPDATE SET n = n + excluded.n");
  addCampaign_ = prepare(
      "INSERT INTO day_campaigns VALUES (?,?,?,?,?) ON CONFLICT DO UPDATE SET n = n + excluded.n");
  addProperty_ = prepare(
      "INSERT INTO day_properties VALUES (?,?,?,?,?,?) ON CONFLICT DO UPDATE SET n = n + "
      "excluded.n");
  addProfile_ = prepare(
      "INSERT INTO day_profiles VALUES (?,?,?,?,?,?,?,?,?,?,?,?) ON CONFLICT DO UPDATE SET"
      " first_ts = min(first_ts, excluded.first_ts), last_ts = max(last_ts, excluded.last_ts),"
      " n = n + excluded.n");
  // Replaces the automatic checkpoint on this connection.
  sqlite3_wal_hook(db, &SqliteStore::walCommitted, this);
  checkpointer_ = std::thread([this] { checkpointLoop(); });
}

SqliteStore::~SqliteStore() {
  {
    std::lock_guard lock(checkpointMutex_);
    stopping_ = true;
  }
  checkpointWanted_.notify_all();
  checkpointer_.join();
}

int SqliteStore::walCommitted(void* store, sqlite3*, const char*, int walPages) {
  auto* self = static_cast<SqliteStore*>(store);
  {
    std::lock_guard lock(self->checkpointMutex_);
    self->walPages_ = walPages;
  }
  if (walPages >= kCheckpointPages) self->checkpointWanted_.notify_one();
  return SQLITE_OK;
}

void SqliteStore::checkpointLoop() {
  Connection db;
  try {
    db = open(path_);
  } catch (const StoreError&) {
    // Without it the WAL only grows until the store closes; inserts still work.
    return;
  }
  // A checkpoint copies pages from the log to the database: it needs next to no cache.
  sqlite3_exec(db.get(), "PRAGMA cache_size=-512", nullptr, nullptr, nullptr);
  std::unique_lock lock(checkpointMutex_);
  for (;;) {
    checkpointWanted_.wait(lock, [this] { return stopping_ || walPages_ >= kCheckpointPages; });
    if (stopping_) return;
    walPages_ = 0;
    lock.unlock();
    // PASSIVE: copies what no reader still needs, never waits for readers or the writer.
    sqlite3_wal_checkpoint_v2(db.get(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    lock.lock();
  }
}

void SqliteStore::insert(const std::vector<EventRecord>& records) {
  std::lock_guard lock(writeMutex_);
  if (sqlite3_exec(writer_.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw StoreError(std::string("cannot begin: ") + sqlite3_errmsg(writer_.get()));
  }
  try {
    insertLocked(records);
  } catch (...) {
    sqlite3_exec(writer_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void SqliteStore::insertLocked(const std::vector<EventRecord>& records) {
  sqlite3* db = writer_.get();
  DayCounts added;
  for (const auto& r : records) {
    run(db, insertEvent_.get(), r.app, r.event, r.eventId, r.clientId, r.eventTime, r.deviceTime,
        r.receivedTime, r.day, r.title, r.category, r.action, r.label, r.value, r.customActionId,
        r.actionLabels, r.actionValues, r.campaign, r.source, r.firstLaunch, r.dimensions,
        r.properties, r.userId, r.appVersion, r.appBuild, r.os, r.osVersion, r.arch, r.locale,
        r.utcOffset, r.screen, r.sessionId, r.sessionNumber);
    // Ignored (stored already): it counts once, from the first time.
    if (sqlite3_changes(db) == 1) added.add(r);
  }
  for (const auto& [key, n] : added.kinds) {
    const auto& [app, day, event, custom, inst] = key;
    run(db, addKind_.get(), app, day, event, custom, inst, n);
  }
  for (const auto& [key, n] : added.pages) {
    const auto& [app, day, title] = key;
    run(db, addPage_.get(), app, day, title, n);
  }
  for (const auto& [key, n] : added.events) {
    const auto& [app, day, category, action] = key;
    run(db, addEvent_.get(), app, day, category, action, n);
  }
  for (const auto& [key, n] : added.campaigns) {
    const auto& [app, day, campaign, source] = key;
    run(db, addCampaign_.get(), app, day, campaign, source, n);
  }
  for (const auto& [key, n] : added.properties) {
    const auto& [app, day, name, property, value] = key;
    run(db, addProperty_.get(), app, day, name, property, value, n);
  }
  for (const auto& [key, profile] : added.profiles) {
    const auto& [app, day, client, session, user, os, osVersion, appVersion, locale] = key;
    run(db, addProfile_.get(), app, day, client, session, user, os, osVersion, appVersion, locale,
        profile.first, profile.last, profile.events);
  }
  if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw StoreError(std::string("cannot commit: ") + sqlite3_errmsg(db));
  }
}

void SqliteStore::scan(const std::string& sql, const std::function<void(sqlite3_stmt*)>& row) {
  // A connection per statement: the summary's statements read in parallel (WAL readers do
  // not wait for each other or for the writer).
  Connection reader = open(path_);
  sqlite3* db = reader.get();
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    throw StoreError(std::string("cannot query: ") + sqlite3_errmsg(db));
  }
  Statement statement(raw);
  int rc;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) row(raw);
  if (rc != SQLITE_DONE) throw StoreError(std::string("query failed: ") + sqlite3_errmsg(db));
}

SqlRows SqliteStore::select(const std::string& sql) {
  SqlRows rows;
  scan(sql, [&rows](sqlite3_stmt* statement) {
    auto& row = rows.emplace_back();
    for (int i = 0, n = sqlite3_column_count(statement); i < n; ++i) {
      row.emplace_back(textOf(statement, i));
    }
  });
  return rows;
}

SqlDialect SqliteStore::dialect() {
  return {sqliteLiteral, [this](const std::string& sql) { return select(sql); },
          /*concurrent=*/true};
}

Summary SqliteStore::summary(const SummaryQuery& query) {
  const SqlDialect sql = dialect();
  const std::string range = sqlRange(sql, query);
  return sqlSummary(sql, query,
                    {"SELECT day, event, custom, inst, sum(n) FROM day_kinds" + range +
                         " GROUP BY day, event, custom, inst",
                     sqlTopList("day_pages", range, "title", "sum(n)"),
                     sqlTopList("day_events", range, "category, action", "sum(n)"),
                     sqlTopList("day_campaigns", range, "campaign, source", "sum(n)"),
                     sqlTopList("day_properties", range, "name, key, value", "sum(n)")},
                    [this, range] { return clientRows(range); });
}

SummaryRows SqliteStore::clientRows(const std::string& range) {
  SessionCounter sessions;
  ProfileCounter profiles;
  // In the table's order: a day's rows one after the other, and its clients' in order.
  scan(
      "SELECT day, cid, sid, uid, os, os_version, app_version, locale, first_ts, last_ts, n"
      " FROM day_profiles" +
          range + " ORDER BY day, cid",
      [&](sqlite3_stmt* row) {
        const std::string_view client = textOf(row, 1), session = textOf(row, 2);
        if (!session.empty()) {
          sessions.add(client, session, sqlite3_column_int64(row, 8), sqlite3_column_int64(row, 9));
        }
        profiles.add({textOf(row, 0), client, textOf(row, 3), textOf(row, 4), textOf(row, 5),
                      textOf(row, 6), textOf(row, 7)},
                     sqlite3_column_int64(row, 10));
      });
  return {profiles.days(),      profiles.clients(),     sessions.rows(),   profiles.users(),
          profiles.platforms(), profiles.appVersions(), profiles.locales()};
}

Retention SqliteStore::retention(const RetentionQuery& query) {
  RetentionCounter counter(query.period);
  // The rows come in day order: each day's number is worked out once.
  std::string day;
  std::int64_t dayNumber = 0;
  scan("SELECT day, cid FROM day_profiles" + sqlRange(dialect(), query.range),
       [&](sqlite3_stmt* row) {
         if (textOf(row, 0) != day) {
           day = textOf(row, 0);
           dayNumber = parseDay(day).value_or(0);
         }
         counter.add(textOf(row, 1), dayNumber);
       });
  return assembleRetention(query, counter.rows());
}

Funnel SqliteStore::funnel(const FunnelQuery& query) {
  const SqlDialect sql = dialect();
  const auto [first, end] = sqlTimeRange(query.range);
  // The events of any step in the order they happened, each with a bit per step it is.
  std::string bits, any;
  for (std::size_t k = 0; k < query.steps.size(); ++k) {
    const std::string condition = "(" + sqlStepCondition(sql, query.steps[k]) + ")";
    // SQLite's bit operators share one precedence: each shift in parentheses.
    bits += (k == 0 ? "(" : " | (") + condition + " << " + std::to_string(k) + ")";
    any += (k == 0 ? "" : " OR ") + condition;
  }
  FunnelCounter counter(query.steps.size());
  scan("SELECT cid, ts, " + bits + " FROM events WHERE app = " + sql.quote(query.range.app) +
           " AND ts >= " + std::to_string(first) + " AND ts < " + std::to_string(end) + " AND (" +
           any + ") ORDER BY ts",
       [&counter](sqlite3_stmt* row) {
         counter.add(textOf(row, 0), sqlite3_column_int64(row, 1),
                     static_cast<std::uint32_t>(sqlite3_column_int64(row, 2)));
       });
  return assembleFunnel(query, counter.rows());
}

std::vector<std::string> SqliteStore::apps() { return sqlApps(dialect(), "day_kinds"); }

void SqliteStore::registerApp(const std::string& id, const std::string& name) {
  std::lock_guard lock(writeMutex_);
  Statement statement = prepare(
      "INSERT INTO registered_apps (id, name) VALUES (?1, ?2)"
      " ON CONFLICT (id) DO UPDATE SET name = excluded.name");
  sqlite3_bind_text(statement.get(), 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
  sqlite3_bind_text(statement.get(), 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  if (sqlite3_step(statement.get()) != SQLITE_DONE) {
    throw StoreError("cannot register app " + id + ": " + sqlite3_errmsg(writer_.get()));
  }
}

std::vector<RegisteredApp> SqliteStore::registeredApps() {
  return sqlRegisteredApps(dialect(), "SELECT id, name FROM registered_apps ORDER BY id");
}

}  // namespace zevsite::collector
