#include "ZEVSiteSqliteStore.h"

#include <sqlite3.h>

namespace {

constexpr int kBusyTimeoutMs = 5000;

// NORMAL: a commit in WAL mode survives a crash of the collector; only a power loss may
// take the last commits back. A full sync per batch would halve ingestion.
// The summary's GROUP BY and DISTINCT sort in memory, with a 64 MiB page cache.
const char* const kSettings =
    "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA temp_store=MEMORY;"
    "PRAGMA cache_size=-65536;";

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS events ("
    "app TEXT NOT NULL, event TEXT NOT NULL, eid TEXT NOT NULL PRIMARY KEY, cid TEXT NOT NULL,"
    "ts INTEGER NOT NULL, received INTEGER NOT NULL, day TEXT NOT NULL, title TEXT NOT NULL,"
    "category TEXT NOT NULL, action TEXT NOT NULL, label TEXT NOT NULL, value INTEGER NOT NULL,"
    "caid TEXT NOT NULL, action_labels TEXT NOT NULL, action_values TEXT NOT NULL,"
    "campaign TEXT NOT NULL, source TEXT NOT NULL, inst INTEGER NOT NULL, dims TEXT NOT NULL)"
    " WITHOUT ROWID;"
    // Two covering indexes: the summary reads only their entries for the app and the days
    // asked for, never the rows; the lists read only their kind of event.
    "CREATE INDEX IF NOT EXISTS events_days ON events (app, day, event, caid, inst, cid);"
    "CREATE INDEX IF NOT EXISTS events_lists ON events (app, event, day, caid, title, category,"
    " action, campaign, source);";

std::string quoteLiteral(std::string_view text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

}  // namespace

void ZEVSiteSqliteStore::ConnectionCloser::operator()(sqlite3* db) const { sqlite3_close(db); }
void ZEVSiteSqliteStore::StatementFinalizer::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

ZEVSiteSqliteStore::Connection ZEVSiteSqliteStore::open(const std::string& path) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  Connection db(raw);
  if (rc != SQLITE_OK) {
    throw ZEVSiteStoreError("cannot open " + path + ": " +
                            (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
  }
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  char* error = nullptr;
  if (sqlite3_exec(db.get(), kSettings, nullptr, nullptr, &error) != SQLITE_OK ||
      sqlite3_exec(db.get(), kSchema, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    throw ZEVSiteStoreError("cannot set up " + path + ": " + message);
  }
  return db;
}

ZEVSiteSqliteStore::ZEVSiteSqliteStore(const std::string& path) : path_(path), writer_(open(path)) {
  std::string sql = "INSERT OR IGNORE INTO events VALUES (?";
  for (int i = 1; i < 19; ++i) sql += ",?";
  sql += ")";
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(writer_.get(), sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    throw ZEVSiteStoreError(std::string("cannot prepare the insert: ") +
                            sqlite3_errmsg(writer_.get()));
  }
  insert_.reset(statement);
}

ZEVSiteSqliteStore::~ZEVSiteSqliteStore() = default;

void ZEVSiteSqliteStore::insert(const std::vector<ZEVSiteEventRecord>& records) {
  std::lock_guard lock(writeMutex_);
  if (sqlite3_exec(writer_.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw ZEVSiteStoreError(std::string("cannot begin: ") + sqlite3_errmsg(writer_.get()));
  }
  try {
    insertLocked(records);
  } catch (...) {
    sqlite3_exec(writer_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void ZEVSiteSqliteStore::insertLocked(const std::vector<ZEVSiteEventRecord>& records) {
  sqlite3_stmt* statement = insert_.get();
  for (const auto& r : records) {
    int column = 0;
    auto text = [&](const std::string& value) {
      sqlite3_bind_text(statement, ++column, value.data(), static_cast<int>(value.size()),
                        SQLITE_STATIC);
    };
    auto integer = [&](std::int64_t value) { sqlite3_bind_int64(statement, ++column, value); };
    text(r.app), text(r.event), text(r.eventId), text(r.clientId), integer(r.eventTime),
        integer(r.receivedTime), text(r.day), text(r.title), text(r.category), text(r.action),
        text(r.label), integer(r.value), text(r.customActionId), text(r.actionLabels),
        text(r.actionValues), text(r.campaign), text(r.source), integer(r.firstLaunch),
        text(r.dimensions);
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (rc != SQLITE_DONE) {
      throw ZEVSiteStoreError(std::string("cannot insert: ") + sqlite3_errmsg(writer_.get()));
    }
  }
  if (sqlite3_exec(writer_.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw ZEVSiteStoreError(std::string("cannot commit: ") + sqlite3_errmsg(writer_.get()));
  }
}

ZEVSiteSqlRows ZEVSiteSqliteStore::select(const std::string& sql) {
  // A connection per statement: the summary's statements read in parallel (WAL readers do
  // not wait for each other or for the writer).
  Connection reader = open(path_);
  sqlite3* db = reader.get();
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    throw ZEVSiteStoreError(std::string("cannot query: ") + sqlite3_errmsg(db));
  }
  Statement statement(raw);
  ZEVSiteSqlRows rows;
  int rc;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
    auto& row = rows.emplace_back();
    for (int i = 0, n = sqlite3_column_count(raw); i < n; ++i) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(raw, i));
      row.emplace_back(text ? std::string(text, sqlite3_column_bytes(raw, i)) : std::string());
    }
  }
  if (rc != SQLITE_DONE)
    throw ZEVSiteStoreError(std::string("query failed: ") + sqlite3_errmsg(db));
  return rows;
}

ZEVSiteSqlDialect ZEVSiteSqliteStore::dialect() {
  return {quoteLiteral, "events", [this](const std::string& sql) { return select(sql); },
          /*concurrent=*/true};
}

ZEVSiteSummary ZEVSiteSqliteStore::summary(const ZEVSiteSummaryQuery& query) {
  return zevsiteSqlSummary(dialect(), query);
}

std::vector<std::string> ZEVSiteSqliteStore::apps() { return zevsiteSqlApps(dialect()); }
