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
  // Up to `limit` events, oldest first, that no process holds a lease on at `nowMillis`;
  // they are leased to `owner` until `leaseUntilMillis` in the same transaction, so another
  // process reading at the same time gets other events.
  std::vector<ZEVSiteStoredEvent> leaseOldest(std::size_t limit, std::int64_t owner,
                                              std::int64_t nowMillis,
                                              std::int64_t leaseUntilMillis);
  // Ends `owner`'s lease on the given events without deleting them.
  bool releaseLease(std::span<const std::int64_t> rowIds);
  bool deleteEvents(std::span<const std::int64_t> rowIds);
  // Every stored event, oldest first (diagnostics and tests).
  std::vector<ZEVSiteStoredEvent> readAll();
  std::size_t count();

 private:
  bool prepare();
  bool execute(const char* sql);
  bool runForEachRowId(sqlite3_stmt* statement, std::span<const std::int64_t> rowIds);

  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* delete_ = nullptr;
  sqlite3_stmt* release_ = nullptr;
  sqlite3_stmt* selectFree_ = nullptr;
  sqlite3_stmt* lease_ = nullptr;
};
