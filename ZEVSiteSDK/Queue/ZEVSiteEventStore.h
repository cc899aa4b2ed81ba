// The event store: one SQLite database (WAL) under the home directory holding every
// accepted upload string until it has been delivered.
//
// Owned by ZEVSiteEventStorage, which serialises all use of one store object behind its own
// mutex; the object itself is not thread-safe. Several processes may open the same file;
// SQLite's file locks keep them consistent.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

struct ZEVSitePendingEvent {
  std::string name;
  std::string body;
  std::int64_t createdMillis = 0;
};

// The end of a sender's lease on a batch: its events deleted (delivered or dropped) or left
// for a later batch.
struct ZEVSiteLeaseEnd {
  std::int64_t token = 0;
  std::int64_t firstId = 0;
  std::int64_t lastId = 0;
  bool deleteEvents = false;
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
  ZEVSiteEventStore(PassKey, std::string path, sqlite3* db) : path_(std::move(path)), db_(db) {}
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
  // Up to `limit` events, oldest first, with consecutive ids that no sender holds a lease
  // on at `nowMillis`, leased to `token` until `leaseUntilMillis` in the same transaction,
  // so a sender in another process gets other events. `token` is unique per batch. Nothing
  // when the transaction failed.
  std::optional<std::vector<ZEVSiteStoredEvent>> leaseOldest(std::size_t limit, std::int64_t token,
                                                             std::int64_t nowMillis,
                                                             std::int64_t leaseUntilMillis);
  bool endLease(const ZEVSiteLeaseEnd& end);
  // Every token that holds a lease at `nowMillis`.
  std::vector<std::int64_t> activeLeaseTokens(std::int64_t nowMillis);
  // Ends the lease of `token` (its sender is gone).
  bool releaseToken(std::int64_t token);
  // WAL checkpoints: the store never checkpoints on its own commits (that would put the
  // checkpoint's fsync on the committing thread). The owner calls checkpoint() from a thread
  // of its choice when walNeedsCheckpoint() says so; a commit that finds the WAL very large
  // checkpoints itself, so the WAL stays bounded whatever the owner does.
  static constexpr int kCheckpointFrames = 1000;
  static constexpr int kForcedCheckpointFrames = 8000;
  bool walNeedsCheckpoint() const { return walFrames_.load() >= kCheckpointFrames; }
  // Copies the WAL back into the database through a connection of its own (safe alongside
  // a transaction on the main connection in another thread). Thread-safe with itself.
  void checkpoint();
  // Called (on the committing thread) when the WAL has grown past kCheckpointFrames.
  void setCheckpointListener(std::function<void()> listener) {
    checkpointListener_ = std::move(listener);
  }

  // Every stored event, oldest first (diagnostics and tests).
  std::vector<ZEVSiteStoredEvent> readAll();
  std::size_t count();

 private:
  bool prepare();
  bool execute(const char* sql);
  bool applyLeaseEnd(const ZEVSiteLeaseEnd& end);

  static int onWalCommit(void* context, sqlite3* db, const char* name, int frames);

  const std::string path_;
  sqlite3* db_ = nullptr;
  std::atomic<int> walFrames_{0};
  std::function<void()> checkpointListener_;  // set before the store is shared
  std::mutex checkpointMutex_;                // guards checkpointDb_
  sqlite3* checkpointDb_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* deleteRange_ = nullptr;
  sqlite3_stmt* deleteLease_ = nullptr;
  sqlite3_stmt* insertLease_ = nullptr;
  sqlite3_stmt* activeLeases_ = nullptr;
  sqlite3_stmt* nextId_ = nullptr;
  sqlite3_stmt* selectRange_ = nullptr;
};
