// The event store: one SQLite database (WAL) under the home directory holding every
// accepted upload string until it has been delivered.
//
// Owned by ZEVSiteEventStorage, which serialises all use of one store object behind its own
// mutex; the object itself is not thread-safe. Several processes may open the same file;
// SQLite's file locks keep them consistent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

struct ZEVSitePendingEvent {
  std::string name;
  std::string body;
  std::int64_t createdMillis = 0;
};

struct ZEVSiteStoredEvent {
  std::int64_t rowId = 0;
  std::string name;
  std::string body;
  std::int64_t createdMillis = 0;
};

class ZEVSiteEventStore {
  struct PassKey {};

 public:
  ZEVSiteEventStore(PassKey, sqlite3* db) : db_(db) {}
  // Opens (or creates) the store at `path`. A file that is not a usable database is moved
  // aside to "<path>.corrupt-<ms>" with a log line and a fresh store is created. Nothing
  // when even that fails.
  static std::unique_ptr<ZEVSiteEventStore> open(const std::string& path);
  ~ZEVSiteEventStore();
  ZEVSiteEventStore(const ZEVSiteEventStore&) = delete;
  ZEVSiteEventStore& operator=(const ZEVSiteEventStore&) = delete;

  // Inserts all events in one transaction; false (and nothing inserted) on failure.
  bool insertBatch(std::span<const ZEVSitePendingEvent> events);
  // Deletes the oldest events beyond `maxEvents` and those made before
  // `oldestAllowedMillis`; returns how many were deleted.
  std::size_t enforceLimits(std::size_t maxEvents, std::int64_t oldestAllowedMillis);
  // Up to `limit` events, oldest first, that no sender holds a lease on at `nowMillis`,
  // leased to `token` until `leaseUntilMillis` in one statement, so a sender in another
  // process reading at the same time gets other events. `token` is unique per batch.
  std::vector<ZEVSiteStoredEvent> leaseOldest(std::size_t limit, std::int64_t token,
                                              std::int64_t nowMillis,
                                              std::int64_t leaseUntilMillis);
  // Deletes, or returns to the pool, the events leased to `token` with ids in
  // [firstId, lastId].
  bool deleteLeased(std::int64_t token, std::int64_t firstId, std::int64_t lastId);
  bool releaseLeased(std::int64_t token, std::int64_t firstId, std::int64_t lastId);
  // Every token that holds a lease at `nowMillis`.
  std::vector<std::int64_t> activeLeaseTokens(std::int64_t nowMillis);
  // Ends every lease of `token` (its sender is gone).
  bool releaseToken(std::int64_t token);
  // Every stored event, oldest first (diagnostics and tests).
  std::vector<ZEVSiteStoredEvent> readAll();
  std::size_t count();

 private:
  bool prepare();
  bool execute(const char* sql);
  bool runRange(sqlite3_stmt* statement, std::int64_t token, std::int64_t firstId,
                std::int64_t lastId);

  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* deleteLeased_ = nullptr;
  sqlite3_stmt* releaseLeased_ = nullptr;
  sqlite3_stmt* lease_ = nullptr;
};
