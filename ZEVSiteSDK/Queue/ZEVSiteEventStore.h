// The event store: one SQLite database (WAL) under the home directory holding every
// accepted upload string until it has been delivered.
//
// Events are stored many to a row (up to kRowEvents, each as its difference from the one
// before, see ZEVSiteEventPack.h), so the writer commits a few rows per batch instead of one
// per event and writes a fraction of the bytes. Every event keeps an id of its own, given in
// order and never reused; leases, deliveries and the limits work on ids and rewrite the few
// rows an id range cuts through. A store of one event per row (written by earlier versions)
// is packed the first time it is opened.
//
// Owned by EventStorage, which serialises all use of one store object behind its own
// mutex; the object itself is not thread-safe. Several processes may open the same file;
// SQLite's file locks keep them consistent.
#pragma once

#include "../Platform/ZEVSiteMutex.h"
#include "ZEVSiteEventPack.h"
#include "ZEVSiteStoreClock.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// The end of a sender's lease on a batch: its events deleted (delivered or dropped) or left
// for a later batch.
namespace zevsite {
struct LeaseEnd {
  std::int64_t token = 0;
  std::int64_t firstId = 0;
  std::int64_t lastId = 0;
  bool deleteEvents = false;
};

class EventStore {
  struct PassKey {};

 public:
  EventStore(PassKey, std::string path, sqlite3* db) : path_(std::move(path)), db_(db) {}
  // Why an open failed.
  enum class OpenFailure { None, Corrupt, Unavailable };
  struct OpenResult {
    std::unique_ptr<EventStore> store;
    OpenFailure failure = OpenFailure::None;
    // Corrupt: SQLite opened the file and reported it is not a database or is damaged; the
    // owner may move it aside. Unavailable: anything else (no space, no permission, no
    // descriptors, a read-only or missing directory); the file must be kept as it is.
    std::string error;
  };
  // Opens (or creates, owner-only) the store at `path`; never moves or deletes a file.
  static OpenResult open(const std::string& path);
  ~EventStore();
  EventStore(const EventStore&) = delete;
  EventStore& operator=(const EventStore&) = delete;

  // Inserts all events in one transaction, with `clock` saved as the clock's latest reading;
  // false (and nothing inserted) on failure.
  bool insertBatch(std::span<const PendingEvent> events, const zevsite::StoreClockSample& clock);
  // Deletes the oldest events beyond `maxEvents` and those stored before the store's clock
  // read `oldestAllowedSeenMillis`, but none a lease holds at `nowMillis` (wall clock, as
  // leases are); returns how many each deleted.
  struct LimitDrops {
    std::size_t beyondCount = 0;
    std::size_t expired = 0;
  };
  LimitDrops enforceLimits(std::size_t maxEvents, std::int64_t oldestAllowedSeenMillis,
                           std::int64_t nowMillis);
  // The store's clock as last saved (by this process or an earlier one); nothing for a new
  // store.
  std::optional<zevsite::StoreClockSample> loadClock();
  // Saves `sample` as the clock's latest reading. False on failure.
  bool startClock(const zevsite::StoreClockSample& sample);
  // Most events, and most bytes of names and upload strings, packed in one row: the sender's
  // batch, so that a burst's rows are leased and deleted whole.
  static constexpr std::size_t kRowEvents = 100;
  static constexpr std::size_t kRowBytes = 256 * 1024;
  // Up to `limit` events, oldest first, with consecutive ids that no sender holds a lease
  // on at `nowMillis`, leased to `token` until `leaseUntilMillis` in the same transaction,
  // so a sender in another process gets other events. `token` is unique per batch. Nothing
  // when the transaction failed.
  std::optional<std::vector<StoredEvent>> leaseOldest(std::size_t limit, std::int64_t token,
                                                      std::int64_t nowMillis,
                                                      std::int64_t leaseUntilMillis);
  bool endLease(const LeaseEnd& end);
  // Every token that holds a lease at `nowMillis`.
  std::vector<std::int64_t> activeLeaseTokens(std::int64_t nowMillis);
  // Ends the lease of `token` (its sender is gone).
  bool releaseToken(std::int64_t token);
  // WAL checkpoints: the store never checkpoints on its own commits (that would put the
  // checkpoint's fsync on the committing thread). The owner calls checkpoint() from a thread
  // of its choice when the commit listener reports a large log; a commit that finds the WAL very
  // large checkpoints itself, so the WAL stays bounded whatever the owner does.
  //
  // The log is kept small: a checkpoint is wanted every kCheckpointFrames pages (512 KiB),
  // the owner truncates the log whenever the store goes idle, and SQLite cuts a reset log
  // back to kJournalSizeLimit. Low on disk the owner checkpoints far more often (a log that
  // filled the disk could never be checkpointed: the database could not grow to take it).
  static constexpr int kCheckpointFrames = 128;
  static constexpr int kForcedCheckpointFrames = 1024;
  static constexpr int kJournalSizeLimit = 64 * 1024;
  // A commit that finds the log at least this long checkpoints it at once (default
  // kForcedCheckpointFrames); the owner lowers it when the disk is nearly full. Any thread.
  void setForcedCheckpointFrames(int frames) { forcedCheckpointFrames_.store(frames); }
  // Pages in the log since it was last emptied.
  int walFrames() const { return walFrames_.load(); }
  // Copies the WAL back into the database through a connection of its own (safe alongside
  // a transaction on the main connection in another thread); `truncate` also empties the
  // log file when no reader is in the way. Thread-safe with itself.
  void checkpoint(bool truncate = false);
  // Called on the committing thread after every commit, with the log's size in pages.
  void setCommitListener(std::function<void(int walFrames)> listener) {
    commitListener_ = std::move(listener);
  }
  // The primary SQLite result code of the last insertBatch failure.
  int lastErrorCode() const;
  // Whether `code` says the file itself is damaged or not a database.
  static bool isCorruption(int code);
  static bool isDiskFull(int code);
  // Forgets the connections without closing them. For a child process after fork(): the
  // connections belong to the parent, and closing them here could disturb its locks.
  void abandonConnections();

  // Deletes every event in one transaction, their freed pages overwritten; false (nothing
  // deleted) on failure. Leases stay; they end as usual.
  bool deleteAll();

  // Every stored event, oldest first (diagnostics and tests).
  std::vector<StoredEvent> readAll();
  // The number of stored events; nullopt when the store cannot be read just now.
  std::optional<std::size_t> count();
  // How many bytes the store's files may grow by once `rowBytes` more of upload strings are
  // committed and checkpointed: the log past its file's end (a log that was emptied starts
  // over inside its file) and the database past its file's end (free pages inside it are
  // used first; pages already in the log but beyond the file's end count too). On a full
  // disk only growth fails: a write inside a file always succeeds. An estimate on the safe
  // side; the whole of it when the files cannot be measured.
  std::uint64_t diskGrowthFor(std::size_t rowBytes);

 private:
  // A stored row: its id range, its count and, when read, its packed events.
  struct Row {
    std::int64_t firstId = 0;
    std::int64_t lastId = 0;
    std::size_t events = 0;
    std::string packed;
  };
  // Which events of a row go when it is cut: given each event (in order), true to delete.
  using EventFilter = std::function<bool(const StoredEvent&)>;
  // The id ranges that senders hold leases on, first and last id of each.
  using LeaseRanges = std::vector<std::pair<std::int64_t, std::int64_t>>;

  bool prepare();
  bool execute(const char* sql);
  bool applyLeaseEnd(const LeaseEnd& end);
  bool bindAndSaveClock(const zevsite::StoreClockSample& sample);
  // The id the next stored event gets (inside a write transaction).
  std::optional<std::int64_t> nextEventId();
  bool saveNextEventId(std::int64_t nextId);
  // Packs `events` (ids given) into rows of at most kRowEvents and kRowBytes and inserts them.
  bool insertRows(std::span<const StoredEvent> events);
  bool insertPending(std::span<const PendingEvent> events, std::int64_t firstId);
  bool insertPacked(const EventPackWriter& pack);
  // Deletes the events of `row` that `drop` selects, rewriting what is left; adds how many it
  // deleted to `deleted`. A row that does not unpack is deleted whole (and counted whole).
  bool cutRow(Row row, const EventFilter& drop, std::size_t& deleted);
  bool deleteRow(std::int64_t firstId);
  // The id range and count of the row a statement is on: its first three columns.
  static Row rowHeader(sqlite3_stmt* statement);
  bool unpackRow(const Row& row, std::vector<StoredEvent>& out);
  // The rows holding any event with an id in [firstId, lastId], with their packed events.
  std::optional<std::vector<Row>> rowsOverlapping(std::int64_t firstId, std::int64_t lastId);
  LeaseRanges activeLeaseRanges(std::int64_t nowMillis);
  // Delete the expired events, and the oldest beyond `maxEvents`, but those in `leased`;
  // return how many went.
  std::size_t deleteExpired(std::int64_t oldestAllowedSeenMillis, const LeaseRanges& leased);
  std::size_t deleteBeyondCount(std::size_t maxEvents, const LeaseRanges& leased);
  // Packs the events of a store of one event per row, once, and drops its table.
  bool migrateOneEventPerRow();
  bool migrateLocked();
  bool hasOneEventPerRowTable();
  // Up to `limit` events of the one-event-per-row table with ids above `afterId`, oldest
  // first, with their ids.
  bool readOneEventPerRow(std::int64_t afterId, std::size_t limit,
                          std::vector<StoredEvent>& events);
  std::uint64_t pragmaValue(const char* sql);
  // The size of the database file (or of its log), as the open connection sees it.
  std::optional<std::uint64_t> fileBytes(bool log);

  static int onWalCommit(void* context, sqlite3* db, const char* name, int frames);

  const std::string path_;
  sqlite3* db_ = nullptr;
  std::atomic<int> walFrames_{0};
  std::atomic<int> forcedCheckpointFrames_{kForcedCheckpointFrames};
  int insertFailure_ = 0;  // extended result code of the last failed insertBatch (0: none)
  std::function<void(int)> commitListener_;  // set before the store is shared
  zevsite::Mutex checkpointMutex_;           // guards checkpointDb_
  sqlite3* checkpointDb_ ZEVSITE_GUARDED_BY(checkpointMutex_) = nullptr;
  // Prepared once; used on whichever thread holds the owner's store lock.
  sqlite3_stmt* insertRow_ = nullptr;
  sqlite3_stmt* deleteRow_ = nullptr;
  sqlite3_stmt* nextId_ = nullptr;
  sqlite3_stmt* saveNextId_ = nullptr;
  sqlite3_stmt* rowsInOrder_ = nullptr;
  sqlite3_stmt* rowsOverlapping_ = nullptr;
  sqlite3_stmt* saveClock_ = nullptr;
  sqlite3_stmt* deleteLease_ = nullptr;
  sqlite3_stmt* insertLease_ = nullptr;
  sqlite3_stmt* activeLeases_ = nullptr;
  // Reused by whoever writes rows: the row being packed.
  EventPackWriter pack_;
};
}  // namespace zevsite
