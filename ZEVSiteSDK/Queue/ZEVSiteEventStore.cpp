#include "ZEVSiteEventStore.h"

#include "../Platform/ZEVSitePlatform.h"
#include "ZEVSiteStoreVFS.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <optional>

namespace {

// Events, and the leases senders hold on runs of them: one small row per batch in flight,
// so leasing and releasing never rewrite the events themselves. seen_ms is the store's
// clock when the event was stored (NULL for rows an older version stored: a newer version
// that opens the store ages them by their recorded time, all it knows of them); store_clock
// holds the clock's latest sample.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS events ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " name TEXT NOT NULL,"
    " body TEXT NOT NULL,"
    " created_ms INTEGER NOT NULL,"
    " seen_ms INTEGER);"
    "CREATE TABLE IF NOT EXISTS leases ("
    " token INTEGER PRIMARY KEY,"
    " first_id INTEGER NOT NULL,"
    " last_id INTEGER NOT NULL,"
    " until_ms INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS store_clock ("
    " id INTEGER PRIMARY KEY CHECK (id = 0),"
    " seen_ms INTEGER NOT NULL,"
    " wall_ms INTEGER NOT NULL,"
    " boot_id TEXT,"
    " uptime_ms INTEGER)";

// Statement reset and bindings cleared when the scope ends, whatever path it takes.
struct StatementScope {
  sqlite3_stmt* statement;
  ~StatementScope() {
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
};

sqlite3* openConnection(const std::string& path, std::string* error = nullptr) {
  zevsite::store::registerStoreVFS();
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, zevsite::store::kStoreVFSName) != SQLITE_OK) {
    if (error) *error = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

// The store's files are the owner's alone, whatever the umask: the database is created
// 0600 before SQLite opens it (its -wal and -shm files take the database's mode), and files
// of older versions are narrowed to 0600.
void restrictPermissions(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::fchmod(fd, 0600);
    ::close(fd);
  }
  for (const char* suffix : {"-wal", "-shm"}) ::chmod((path + suffix).c_str(), 0600);
}

}  // namespace

bool zevsite::EventStore::isCorruption(int code) {
  code &= 0xff;
  return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

bool zevsite::EventStore::isDiskFull(int code) { return (code & 0xff) == SQLITE_FULL; }

int zevsite::EventStore::lastErrorCode() const { return insertFailure_ & 0xff; }

zevsite::EventStore::OpenResult zevsite::EventStore::open(const std::string& path) {
  OpenResult result;
  if (int error = ZEVSitePlatform::current().storeFileFault(zevsite::StoreFileOp::Open, path, 0)) {
    result.failure = OpenFailure::Unavailable;
    result.error = std::strerror(error);
    return result;
  }
  restrictPermissions(path);
  sqlite3* db = openConnection(path, &result.error);
  if (!db) {
    result.failure = OpenFailure::Unavailable;
    return result;
  }
  auto store = std::make_unique<zevsite::EventStore>(PassKey{}, path, db);
  if (!store->prepare()) {
    result.failure =
        isCorruption(sqlite3_errcode(db)) ? OpenFailure::Corrupt : OpenFailure::Unavailable;
    result.error = sqlite3_errmsg(db);
    return result;
  }
  restrictPermissions(path);
  result.store = std::move(store);
  return result;
}

zevsite::EventStore::~EventStore() {
  for (sqlite3_stmt* statement : {insert_, saveClock_, ageUnaged_, deleteRange_, deleteLease_,
                                  insertLease_, activeLeases_, nextId_, selectRange_}) {
    sqlite3_finalize(statement);
  }
  sqlite3_close(db_);
  sqlite3_close(checkpointDb_);
}

// Unchecked: it runs in a child after fork(), which has one thread.
void zevsite::EventStore::abandonConnections() ZEVSITE_NO_THREAD_SAFETY_ANALYSIS {
  insert_ = saveClock_ = ageUnaged_ = deleteRange_ = deleteLease_ = insertLease_ = activeLeases_ =
      nextId_ = selectRange_ = nullptr;
  db_ = nullptr;
  checkpointDb_ = nullptr;
}

int zevsite::EventStore::onWalCommit(void* context, sqlite3* db, const char*, int frames) {
  auto* store = static_cast<zevsite::EventStore*>(context);
  store->walFrames_.store(frames);
  if (frames >= store->forcedCheckpointFrames_.load()) {
    sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  }
  if (store->commitListener_) store->commitListener_(frames);
  return SQLITE_OK;
}

void zevsite::EventStore::checkpoint(bool truncate) {
  zevsite::MutexLock lock(checkpointMutex_);
  if (!checkpointDb_) {
    checkpointDb_ = openConnection(path_);
    if (!checkpointDb_) return;
    sqlite3_busy_timeout(checkpointDb_, truncate ? 100 : 1000);
    // Checkpointing streams pages from the log to the database: a small cache suffices.
    sqlite3_exec(checkpointDb_, "PRAGMA cache_size=-256", nullptr, nullptr, nullptr);
  }
  int logFrames = 0, copied = 0;
  int mode = truncate ? SQLITE_CHECKPOINT_TRUNCATE : SQLITE_CHECKPOINT_PASSIVE;
  if (sqlite3_wal_checkpoint_v2(checkpointDb_, nullptr, mode, &logFrames, &copied) == SQLITE_OK &&
      copied == logFrames) {
    walFrames_.store(0);  // all copied: the next commit starts the WAL over
  }
}

bool zevsite::EventStore::execute(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool zevsite::EventStore::prepare() {
  sqlite3_busy_timeout(db_, 5000);
  sqlite3_wal_hook(db_, &zevsite::EventStore::onWalCommit, this);
  // WAL with synchronous NORMAL: a committed batch survives a crash or kill of the process;
  // the page cache is capped at 2 MiB to keep the SDK's memory small.
  const std::string journalLimit = "PRAGMA journal_size_limit=" + std::to_string(kJournalSizeLimit);
  if (!execute("PRAGMA journal_mode=WAL") || !execute("PRAGMA synchronous=NORMAL") ||
      !execute("PRAGMA cache_size=-2048") || !execute(journalLimit.c_str()) || !execute(kSchema) ||
      !addSeenColumn()) {
    return false;
  }
  auto prepareOne = [this](const char* sql, sqlite3_stmt** statement) {
    return sqlite3_prepare_v2(db_, sql, -1, statement, nullptr) == SQLITE_OK;
  };
  return prepareOne("INSERT INTO events(name, body, created_ms, seen_ms) VALUES(?1, ?2, ?3, ?4)",
                    &insert_) &&
         prepareOne(
             "INSERT OR REPLACE INTO store_clock(id, seen_ms, wall_ms, boot_id, uptime_ms) "
             "VALUES(0, ?1, ?2, ?3, ?4)",
             &saveClock_) &&
         prepareOne(
             "UPDATE events SET seen_ms = ?1 - max(0, ?2 - created_ms) WHERE seen_ms IS NULL",
             &ageUnaged_) &&
         prepareOne("DELETE FROM events WHERE id BETWEEN ?1 AND ?2", &deleteRange_) &&
         prepareOne("DELETE FROM leases WHERE token = ?1", &deleteLease_) &&
         prepareOne(
             "INSERT OR REPLACE INTO leases(token, first_id, last_id, until_ms) "
             "VALUES(?1, ?2, ?3, ?4)",
             &insertLease_) &&
         prepareOne("SELECT first_id, last_id FROM leases WHERE until_ms > ?1 ORDER BY first_id",
                    &activeLeases_) &&
         prepareOne("SELECT min(id) FROM events WHERE id > ?1", &nextId_) &&
         prepareOne(
             "SELECT id, name, body, created_ms, seen_ms FROM events WHERE id >= ?1 AND id < ?2 "
             "ORDER BY id LIMIT ?3",
             &selectRange_) &&
         execute("SELECT count(*) FROM events");  // reads the file: fails on a corrupt one
}

bool zevsite::EventStore::addSeenColumn() {
  sqlite3_stmt* statement = nullptr;
  bool present = false;
  if (sqlite3_prepare_v2(db_, "SELECT 1 FROM pragma_table_info('events') WHERE name = 'seen_ms'",
                         -1, &statement, nullptr) != SQLITE_OK) {
    return false;
  }
  present = sqlite3_step(statement) == SQLITE_ROW;
  sqlite3_finalize(statement);
  // A store made by an older version: its rows are aged from the next open on.
  return present || execute("ALTER TABLE events ADD COLUMN seen_ms INTEGER");
}

std::optional<zevsite::StoreClockSample> zevsite::EventStore::loadClock() {
  sqlite3_stmt* statement = nullptr;
  std::optional<zevsite::StoreClockSample> sample;
  if (sqlite3_prepare_v2(
          db_, "SELECT seen_ms, wall_ms, boot_id, uptime_ms FROM store_clock WHERE id = 0", -1,
          &statement, nullptr) != SQLITE_OK) {
    return sample;
  }
  if (sqlite3_step(statement) == SQLITE_ROW) {
    sample.emplace();
    sample->seenMillis = sqlite3_column_int64(statement, 0);
    sample->wallMillis = sqlite3_column_int64(statement, 1);
    if (sqlite3_column_type(statement, 2) == SQLITE_TEXT &&
        sqlite3_column_type(statement, 3) == SQLITE_INTEGER) {
      sample->boot =
          zevsite::BootClock{reinterpret_cast<const char*>(sqlite3_column_text(statement, 2)),
                             sqlite3_column_int64(statement, 3)};
    }
  }
  sqlite3_finalize(statement);
  return sample;
}

bool zevsite::EventStore::bindAndSaveClock(const zevsite::StoreClockSample& sample) {
  StatementScope scope{saveClock_};
  sqlite3_bind_int64(saveClock_, 1, sample.seenMillis);
  sqlite3_bind_int64(saveClock_, 2, sample.wallMillis);
  if (sample.boot) {
    sqlite3_bind_text(saveClock_, 3, sample.boot->bootId.data(),
                      static_cast<int>(sample.boot->bootId.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(saveClock_, 4, sample.boot->uptimeMillis);
  } else {
    sqlite3_bind_null(saveClock_, 3);
    sqlite3_bind_null(saveClock_, 4);
  }
  return sqlite3_step(saveClock_) == SQLITE_DONE;
}

bool zevsite::EventStore::startClock(const zevsite::StoreClockSample& sample) {
  if (!execute("BEGIN IMMEDIATE")) return false;
  StatementScope scope{ageUnaged_};
  sqlite3_bind_int64(ageUnaged_, 1, sample.seenMillis);
  sqlite3_bind_int64(ageUnaged_, 2, sample.wallMillis);
  if (sqlite3_step(ageUnaged_) == SQLITE_DONE && bindAndSaveClock(sample) && execute("COMMIT")) {
    return true;
  }
  execute("ROLLBACK");
  return false;
}

bool zevsite::EventStore::insertBatch(std::span<const zevsite::PendingEvent> events,
                                      const zevsite::StoreClockSample& clock) {
  // The failure's code is kept before ROLLBACK, which would reset the connection's.
  insertFailure_ = SQLITE_OK;
  if (!execute("BEGIN IMMEDIATE")) {
    insertFailure_ = sqlite3_extended_errcode(db_);
    return false;
  }
  bool ok = true;
  for (const auto& event : events) {
    StatementScope scope{insert_};
    sqlite3_bind_text(insert_, 1, event.name.data(), static_cast<int>(event.name.size()),
                      SQLITE_STATIC);
    sqlite3_bind_text(insert_, 2, event.body.data(), static_cast<int>(event.body.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int64(insert_, 3, event.createdMillis);
    sqlite3_bind_int64(insert_, 4, event.seenMillis);
    if (sqlite3_step(insert_) != SQLITE_DONE) {
      ok = false;
      insertFailure_ = sqlite3_extended_errcode(db_);
      break;
    }
  }
  // The clock's latest reading goes with the rows: the next process counts on from it.
  if (ok && !bindAndSaveClock(clock)) {
    ok = false;
    insertFailure_ = sqlite3_extended_errcode(db_);
  }
  if (ok && execute("COMMIT")) return true;
  if (ok) insertFailure_ = sqlite3_extended_errcode(db_);
  execute("ROLLBACK");
  return false;
}

zevsite::EventStore::LimitDrops zevsite::EventStore::enforceLimits(
    std::size_t maxEvents, std::int64_t oldestAllowedSeenMillis, std::int64_t nowMillis) {
  LimitDrops dropped;
  // Events a sender has on the wire stay: they are about to be delivered, and were they
  // deleted they would be counted both dropped and delivered. Past their lease they go.
  const std::string notOnTheWire = " AND NOT EXISTS (SELECT 1 FROM leases WHERE until_ms > " +
                                   std::to_string(nowMillis) +
                                   " AND events.id BETWEEN first_id AND last_id)";
  // Expired events go first, so an event both too old and beyond the count is counted as
  // expired; the events kept are the same either way.
  std::string byAge = "DELETE FROM events WHERE seen_ms < " +
                      std::to_string(oldestAllowedSeenMillis) + notOnTheWire;
  if (execute(byAge.c_str())) dropped.expired = static_cast<std::size_t>(sqlite3_changes(db_));
  std::string byCount =
      "DELETE FROM events WHERE id <= (SELECT id FROM events ORDER BY id DESC "
      "LIMIT 1 OFFSET " +
      std::to_string(maxEvents) + ")" + notOnTheWire;
  if (execute(byCount.c_str())) {
    dropped.beyondCount = static_cast<std::size_t>(sqlite3_changes(db_));
  }
  return dropped;
}

std::optional<std::vector<zevsite::StoredEvent>> zevsite::EventStore::leaseOldest(
    std::size_t limit, std::int64_t token, std::int64_t nowMillis, std::int64_t leaseUntilMillis) {
  std::vector<zevsite::StoredEvent> events;
  if (!execute("BEGIN IMMEDIATE")) return std::nullopt;
  std::vector<std::pair<std::int64_t, std::int64_t>> leased;
  {
    StatementScope scope{activeLeases_};
    sqlite3_bind_int64(activeLeases_, 1, nowMillis);
    while (sqlite3_step(activeLeases_) == SQLITE_ROW) {
      leased.emplace_back(sqlite3_column_int64(activeLeases_, 0),
                          sqlite3_column_int64(activeLeases_, 1));
    }
  }
  // The first event outside every active lease, and the start of the next lease after it:
  // the batch is a run of consecutive ids that no other sender holds.
  std::int64_t cursor = 0;
  std::optional<std::int64_t> first;
  for (;;) {
    StatementScope scope{nextId_};
    sqlite3_bind_int64(nextId_, 1, cursor);
    if (sqlite3_step(nextId_) != SQLITE_ROW || sqlite3_column_type(nextId_, 0) == SQLITE_NULL) {
      break;
    }
    std::int64_t id = sqlite3_column_int64(nextId_, 0);
    auto holder = std::find_if(leased.begin(), leased.end(), [id](const auto& range) {
      return id >= range.first && id <= range.second;
    });
    if (holder == leased.end()) {
      first = id;
      break;
    }
    cursor = holder->second;
  }
  bool ok = true;
  if (first) {
    std::int64_t bound = std::numeric_limits<std::int64_t>::max();
    for (const auto& range : leased) {
      if (range.first > *first) bound = std::min(bound, range.first);
    }
    StatementScope scope{selectRange_};
    sqlite3_bind_int64(selectRange_, 1, *first);
    sqlite3_bind_int64(selectRange_, 2, bound);
    sqlite3_bind_int64(selectRange_, 3, static_cast<std::int64_t>(limit));
    while (sqlite3_step(selectRange_) == SQLITE_ROW) {
      zevsite::StoredEvent event;
      event.rowId = sqlite3_column_int64(selectRange_, 0);
      event.name = reinterpret_cast<const char*>(sqlite3_column_text(selectRange_, 1));
      event.body.assign(reinterpret_cast<const char*>(sqlite3_column_text(selectRange_, 2)),
                        static_cast<std::size_t>(sqlite3_column_bytes(selectRange_, 2)));
      event.createdMillis = sqlite3_column_int64(selectRange_, 3);
      event.seenMillis = sqlite3_column_int64(selectRange_, 4);
      events.push_back(std::move(event));
    }
  }
  if (!events.empty()) {
    StatementScope scope{insertLease_};
    sqlite3_bind_int64(insertLease_, 1, token);
    sqlite3_bind_int64(insertLease_, 2, events.front().rowId);
    sqlite3_bind_int64(insertLease_, 3, events.back().rowId);
    sqlite3_bind_int64(insertLease_, 4, leaseUntilMillis);
    ok = sqlite3_step(insertLease_) == SQLITE_DONE;
  }
  if (ok && execute("COMMIT")) return events;
  execute("ROLLBACK");
  return std::nullopt;
}

bool zevsite::EventStore::applyLeaseEnd(const zevsite::LeaseEnd& end) {
  if (end.deleteEvents) {
    StatementScope scope{deleteRange_};
    sqlite3_bind_int64(deleteRange_, 1, end.firstId);
    sqlite3_bind_int64(deleteRange_, 2, end.lastId);
    if (sqlite3_step(deleteRange_) != SQLITE_DONE) return false;
  }
  StatementScope scope{deleteLease_};
  sqlite3_bind_int64(deleteLease_, 1, end.token);
  return sqlite3_step(deleteLease_) == SQLITE_DONE;
}

bool zevsite::EventStore::endLease(const zevsite::LeaseEnd& end) {
  if (!execute("BEGIN IMMEDIATE")) return false;
  if (applyLeaseEnd(end) && execute("COMMIT")) return true;
  execute("ROLLBACK");
  return false;
}

std::vector<std::int64_t> zevsite::EventStore::activeLeaseTokens(std::int64_t nowMillis) {
  std::vector<std::int64_t> tokens;
  std::string sql = "SELECT token FROM leases WHERE until_ms > " + std::to_string(nowMillis);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return tokens;
  while (sqlite3_step(statement) == SQLITE_ROW)
    tokens.push_back(sqlite3_column_int64(statement, 0));
  sqlite3_finalize(statement);
  return tokens;
}

bool zevsite::EventStore::releaseToken(std::int64_t token) {
  return endLease(zevsite::LeaseEnd{token, 0, 0, false});
}

bool zevsite::EventStore::deleteAll() {
  // The deleted upload strings must not linger in free pages of the file: overwrite them.
  execute("PRAGMA secure_delete=ON");
  const bool deleted = execute("DELETE FROM events");
  execute("PRAGMA secure_delete=OFF");
  return deleted;
}

std::vector<zevsite::StoredEvent> zevsite::EventStore::readAll() {
  std::vector<zevsite::StoredEvent> events;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT id, name, body, created_ms, seen_ms FROM events ORDER BY id",
                         -1, &statement, nullptr) != SQLITE_OK) {
    return events;
  }
  while (sqlite3_step(statement) == SQLITE_ROW) {
    zevsite::StoredEvent event;
    event.rowId = sqlite3_column_int64(statement, 0);
    event.name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    event.body = reinterpret_cast<const char*>(sqlite3_column_text(statement, 2));
    event.createdMillis = sqlite3_column_int64(statement, 3);
    event.seenMillis = sqlite3_column_int64(statement, 4);
    events.push_back(std::move(event));
  }
  sqlite3_finalize(statement);
  return events;
}

std::uint64_t zevsite::EventStore::pragmaValue(const char* sql) {
  sqlite3_stmt* statement = nullptr;
  std::uint64_t value = 0;
  if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    value =
        static_cast<std::uint64_t>(std::max<sqlite3_int64>(0, sqlite3_column_int64(statement, 0)));
  }
  sqlite3_finalize(statement);
  return value;
}

std::optional<std::uint64_t> zevsite::EventStore::fileBytes(bool log) {
  sqlite3_file* file = nullptr;
  const int op = log ? SQLITE_FCNTL_JOURNAL_POINTER : SQLITE_FCNTL_FILE_POINTER;
  if (sqlite3_file_control(db_, "main", op, &file) != SQLITE_OK) return std::nullopt;
  // A log that is not open yet holds nothing.
  if (!file || !file->pMethods) return log ? std::optional<std::uint64_t>(0) : std::nullopt;
  sqlite3_int64 size = 0;
  if (file->pMethods->xFileSize(file, &size) != SQLITE_OK) return std::nullopt;
  return static_cast<std::uint64_t>(std::max<sqlite3_int64>(0, size));
}

std::uint64_t zevsite::EventStore::diskGrowthFor(std::size_t rowBytes) {
  // Rows land in b-tree pages written whole, with the id index beside them: twice their
  // bytes covers the pages a transaction touches.
  const std::uint64_t pages = 2 * std::uint64_t{rowBytes};
  const std::uint64_t pageSize = std::max<std::uint64_t>(pragmaValue("PRAGMA page_size"), 512);
  const std::optional<std::uint64_t> logFile = fileBytes(true);
  const std::optional<std::uint64_t> databaseFile = fileBytes(false);
  if (!logFile || !databaseFile) return 2 * pages;
  // The log: a 32-byte header, then frames of a page and a 24-byte header each.
  const std::uint64_t frameBytes = pageSize + 24;
  const auto logFrames = static_cast<std::uint64_t>(std::max(walFrames_.load(), 0));
  const std::uint64_t logEnd = logFrames > 0 ? 32 + logFrames * frameBytes : 32;
  const std::uint64_t logNeeded = logEnd + (pages + pageSize - 1) / pageSize * frameBytes;
  const std::uint64_t logGrowth = logNeeded > *logFile ? logNeeded - *logFile : 0;
  // The database: pages the log holds beyond the file's end, then what the free pages
  // inside it cannot take.
  const std::uint64_t databaseEnd = pragmaValue("PRAGMA page_count") * pageSize;
  const std::uint64_t pending = databaseEnd > *databaseFile ? databaseEnd - *databaseFile : 0;
  const std::uint64_t freeInside = pragmaValue("PRAGMA freelist_count") * pageSize;
  const std::uint64_t databaseGrowth = pending + (pages > freeInside ? pages - freeInside : 0);
  return logGrowth + databaseGrowth;
}

std::optional<std::size_t> zevsite::EventStore::count() {
  sqlite3_stmt* statement = nullptr;
  std::optional<std::size_t> rows;
  if (sqlite3_prepare_v2(db_, "SELECT count(*) FROM events", -1, &statement, nullptr) ==
          SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    rows = static_cast<std::size_t>(sqlite3_column_int64(statement, 0));
  }
  sqlite3_finalize(statement);
  return rows;
}
