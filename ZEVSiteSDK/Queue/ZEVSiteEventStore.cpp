#include "ZEVSiteEventStore.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS events ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " name TEXT NOT NULL,"
    " body TEXT NOT NULL,"
    " created_ms INTEGER NOT NULL,"
    " lease_owner INTEGER NOT NULL DEFAULT 0,"
    " lease_until INTEGER NOT NULL DEFAULT 0)";

// Statement reset and bindings cleared when the scope ends, whatever path it takes.
struct StatementScope {
  sqlite3_stmt* statement;
  ~StatementScope() {
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
};

sqlite3* openConnection(const std::string& path) {
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

std::int64_t wallMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::unique_ptr<ZEVSiteEventStore> ZEVSiteEventStore::open(const std::string& path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (sqlite3* db = openConnection(path)) {
      auto store = std::make_unique<ZEVSiteEventStore>(PassKey{}, db);
      if (store->prepare()) return store;
    }
    if (attempt == 0) {
      // Not a usable database: keep it for inspection and start over with an empty one.
      std::string aside = path + ".corrupt-" + std::to_string(wallMillis());
      std::rename(path.c_str(), aside.c_str());
      std::remove((path + "-wal").c_str());
      std::remove((path + "-shm").c_str());
      ZEVSiteLoger::adLog("[Site] event store %@ was unreadable; moved to %@ and recreated", path,
                          aside);
    }
  }
  ZEVSiteLoger::adLog("[Site] event store %@ cannot be opened", path);
  return nullptr;
}

ZEVSiteEventStore::~ZEVSiteEventStore() {
  for (sqlite3_stmt* statement : {insert_, deleteLeased_, releaseLeased_, lease_}) {
    sqlite3_finalize(statement);
  }
  sqlite3_close(db_);
}

bool ZEVSiteEventStore::execute(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool ZEVSiteEventStore::prepare() {
  sqlite3_busy_timeout(db_, 5000);
  // WAL with synchronous NORMAL: a committed batch survives a crash or kill of the process;
  // the page cache is capped at 2 MiB to keep the SDK's memory small.
  if (!execute("PRAGMA journal_mode=WAL") || !execute("PRAGMA synchronous=NORMAL") ||
      !execute("PRAGMA cache_size=-2048") || !execute(kSchema)) {
    return false;
  }
  auto prepareOne = [this](const char* sql, sqlite3_stmt** statement) {
    return sqlite3_prepare_v2(db_, sql, -1, statement, nullptr) == SQLITE_OK;
  };
  return prepareOne("INSERT INTO events(name, body, created_ms) VALUES(?1, ?2, ?3)", &insert_) &&
         prepareOne("DELETE FROM events WHERE id BETWEEN ?2 AND ?3 AND lease_owner = ?1",
                    &deleteLeased_) &&
         prepareOne(
             "UPDATE events SET lease_owner = 0, lease_until = 0 "
             "WHERE id BETWEEN ?2 AND ?3 AND lease_owner = ?1",
             &releaseLeased_) &&
         prepareOne(
             "UPDATE events SET lease_owner = ?1, lease_until = ?2 WHERE id IN "
             "(SELECT id FROM events WHERE lease_until <= ?3 ORDER BY id LIMIT ?4) "
             "RETURNING id, name, body, created_ms",
             &lease_) &&
         execute("SELECT count(*) FROM events");  // reads the file: fails on a corrupt one
}

bool ZEVSiteEventStore::insertBatch(std::span<const ZEVSitePendingEvent> events) {
  if (!execute("BEGIN IMMEDIATE")) return false;
  bool ok = true;
  for (const auto& event : events) {
    StatementScope scope{insert_};
    sqlite3_bind_text(insert_, 1, event.name.data(), static_cast<int>(event.name.size()),
                      SQLITE_STATIC);
    sqlite3_bind_text(insert_, 2, event.body.data(), static_cast<int>(event.body.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int64(insert_, 3, event.createdMillis);
    if (sqlite3_step(insert_) != SQLITE_DONE) {
      ok = false;
      break;
    }
  }
  if (ok && execute("COMMIT")) return true;
  execute("ROLLBACK");
  return false;
}

std::size_t ZEVSiteEventStore::enforceLimits(std::size_t maxEvents,
                                             std::int64_t oldestAllowedMillis) {
  std::size_t dropped = 0;
  std::string byCount =
      "DELETE FROM events WHERE id <= (SELECT id FROM events ORDER BY id DESC "
      "LIMIT 1 OFFSET " +
      std::to_string(maxEvents) + ")";
  if (execute(byCount.c_str())) dropped += static_cast<std::size_t>(sqlite3_changes(db_));
  std::string byAge =
      "DELETE FROM events WHERE created_ms < " + std::to_string(oldestAllowedMillis);
  if (execute(byAge.c_str())) dropped += static_cast<std::size_t>(sqlite3_changes(db_));
  return dropped;
}

std::vector<ZEVSiteStoredEvent> ZEVSiteEventStore::leaseOldest(std::size_t limit,
                                                               std::int64_t token,
                                                               std::int64_t nowMillis,
                                                               std::int64_t leaseUntilMillis) {
  std::vector<ZEVSiteStoredEvent> events;
  StatementScope scope{lease_};
  sqlite3_bind_int64(lease_, 1, token);
  sqlite3_bind_int64(lease_, 2, leaseUntilMillis);
  sqlite3_bind_int64(lease_, 3, nowMillis);
  sqlite3_bind_int64(lease_, 4, static_cast<std::int64_t>(limit));
  int step;
  while ((step = sqlite3_step(lease_)) == SQLITE_ROW) {
    ZEVSiteStoredEvent event;
    event.rowId = sqlite3_column_int64(lease_, 0);
    event.name = reinterpret_cast<const char*>(sqlite3_column_text(lease_, 1));
    event.body.assign(reinterpret_cast<const char*>(sqlite3_column_text(lease_, 2)),
                      static_cast<std::size_t>(sqlite3_column_bytes(lease_, 2)));
    event.createdMillis = sqlite3_column_int64(lease_, 3);
    events.push_back(std::move(event));
  }
  if (step != SQLITE_DONE) return {};  // the statement rolled back: nothing was leased
  std::sort(events.begin(), events.end(),
            [](const auto& a, const auto& b) { return a.rowId < b.rowId; });
  return events;
}

bool ZEVSiteEventStore::runRange(sqlite3_stmt* statement, std::int64_t token, std::int64_t firstId,
                                 std::int64_t lastId) {
  StatementScope scope{statement};
  sqlite3_bind_int64(statement, 1, token);
  sqlite3_bind_int64(statement, 2, firstId);
  sqlite3_bind_int64(statement, 3, lastId);
  return sqlite3_step(statement) == SQLITE_DONE;
}

bool ZEVSiteEventStore::deleteLeased(std::int64_t token, std::int64_t firstId,
                                     std::int64_t lastId) {
  return runRange(deleteLeased_, token, firstId, lastId);
}

bool ZEVSiteEventStore::releaseLeased(std::int64_t token, std::int64_t firstId,
                                      std::int64_t lastId) {
  return runRange(releaseLeased_, token, firstId, lastId);
}

std::vector<std::int64_t> ZEVSiteEventStore::activeLeaseTokens(std::int64_t nowMillis) {
  std::vector<std::int64_t> tokens;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT DISTINCT lease_owner FROM events WHERE lease_until > ?1", -1,
                         &statement, nullptr) != SQLITE_OK) {
    return tokens;
  }
  sqlite3_bind_int64(statement, 1, nowMillis);
  while (sqlite3_step(statement) == SQLITE_ROW)
    tokens.push_back(sqlite3_column_int64(statement, 0));
  sqlite3_finalize(statement);
  return tokens;
}

bool ZEVSiteEventStore::releaseToken(std::int64_t token) {
  std::string sql = "UPDATE events SET lease_owner = 0, lease_until = 0 WHERE lease_owner = " +
                    std::to_string(token);
  return execute(sql.c_str());
}

std::vector<ZEVSiteStoredEvent> ZEVSiteEventStore::readAll() {
  std::vector<ZEVSiteStoredEvent> events;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT id, name, body, created_ms FROM events ORDER BY id", -1,
                         &statement, nullptr) != SQLITE_OK) {
    return events;
  }
  while (sqlite3_step(statement) == SQLITE_ROW) {
    ZEVSiteStoredEvent event;
    event.rowId = sqlite3_column_int64(statement, 0);
    event.name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    event.body = reinterpret_cast<const char*>(sqlite3_column_text(statement, 2));
    event.createdMillis = sqlite3_column_int64(statement, 3);
    events.push_back(std::move(event));
  }
  sqlite3_finalize(statement);
  return events;
}

std::size_t ZEVSiteEventStore::count() {
  sqlite3_stmt* statement = nullptr;
  std::size_t rows = 0;
  if (sqlite3_prepare_v2(db_, "SELECT count(*) FROM events", -1, &statement, nullptr) ==
          SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    rows = static_cast<std::size_t>(sqlite3_column_int64(statement, 0));
  }
  sqlite3_finalize(statement);
  return rows;
}
