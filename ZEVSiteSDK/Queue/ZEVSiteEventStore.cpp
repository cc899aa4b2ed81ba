#include "ZEVSiteEventStore.h"

#include "../Platform/ZEVSitePlatform.h"
#include "ZEVSiteStoreStatement.h"
#include "ZEVSiteStoreVFS.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

namespace {

using zevsite::store::StatementScope;

// Events, packed many to a row (see ZEVSiteEventPack.h) and keyed by their first event's id;
// the leases senders hold on runs of event ids: one small row per batch in flight, so
// leasing and releasing never rewrite the events themselves. seen_ms is the store's clock
// when an event was stored; a row keeps its oldest and newest, so the expiry finds its rows
// without unpacking any. event_ids holds the next event's id: ids are never reused, even
// once every event is gone. store_clock holds the clock's latest sample.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS event_rows ("
    " first_id INTEGER PRIMARY KEY,"
    " last_id INTEGER NOT NULL,"
    " events INTEGER NOT NULL,"
    " oldest_seen_ms INTEGER NOT NULL,"
    " newest_seen_ms INTEGER NOT NULL,"
    " packed BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS event_ids ("
    " id INTEGER PRIMARY KEY CHECK (id = 0),"
    " next_id INTEGER NOT NULL);"
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

zevsite::EventStore::~EventStore() {
  for (sqlite3_stmt* statement :
       {insertRow_, deleteRow_, nextId_, saveNextId_, rowsInOrder_, rowsOverlapping_, saveClock_,
        deleteLease_, insertLease_, activeLeases_}) {
    sqlite3_finalize(statement);
  }
  sqlite3_close(db_);
  sqlite3_close(checkpointDb_);
}

// Unchecked: it runs in a child after fork(), which has one thread.
void zevsite::EventStore::abandonConnections() ZEVSITE_NO_THREAD_SAFETY_ANALYSIS {
  insertRow_ = deleteRow_ = nextId_ = saveNextId_ = rowsInOrder_ = rowsOverlapping_ = saveClock_ =
      deleteLease_ = insertLease_ = activeLeases_ = nullptr;
  db_ = nullptr;
  checkpointDb_ = nullptr;
}

bool zevsite::EventStore::prepare() {
  sqlite3_busy_timeout(db_, 5000);
  sqlite3_wal_hook(db_, &zevsite::EventStore::onWalCommit, this);
  // WAL with synchronous NORMAL: a committed batch survives a crash or kill of the process;
  // the page cache is capped at 512 KiB to keep the SDK's memory small (the writer appends,
  // and the sender reads what was just written: both find their pages in the OS's cache).
  const std::string journalLimit = "PRAGMA journal_size_limit=" + std::to_string(kJournalSizeLimit);
  if (!execute("PRAGMA journal_mode=WAL") || !execute("PRAGMA synchronous=NORMAL") ||
      !execute("PRAGMA cache_size=-512") || !execute(journalLimit.c_str()) || !execute(kSchema)) {
    return false;
  }
  auto prepareOne = [this](const char* sql, sqlite3_stmt** statement) {
    return sqlite3_prepare_v2(db_, sql, -1, statement, nullptr) == SQLITE_OK;
  };
  return prepareOne(
             "INSERT INTO event_rows(first_id, last_id, events, oldest_seen_ms, newest_seen_ms, "
             "packed) VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
             &insertRow_) &&
         prepareOne("DELETE FROM event_rows WHERE first_id = ?1", &deleteRow_) &&
         // The last row holds the largest id: rows never overlap and are keyed by first id.
         prepareOne(
             "SELECT max(coalesce((SELECT next_id FROM event_ids WHERE id = 0), 1),"
             " coalesce((SELECT last_id + 1 FROM event_rows ORDER BY first_id DESC LIMIT 1), 1))",
             &nextId_) &&
         prepareOne("INSERT OR REPLACE INTO event_ids(id, next_id) VALUES(0, ?1)", &saveNextId_) &&
         prepareOne("SELECT first_id, last_id, events, packed FROM event_rows ORDER BY first_id",
                    &rowsInOrder_) &&
         prepareOne(
             "SELECT first_id, last_id, events, packed FROM event_rows WHERE first_id >= "
             "coalesce((SELECT first_id FROM event_rows WHERE first_id <= ?1 "
             "ORDER BY first_id DESC LIMIT 1), ?1) AND first_id <= ?2 ORDER BY first_id",
             &rowsOverlapping_) &&
         prepareOne(
             "INSERT OR REPLACE INTO store_clock(id, seen_ms, wall_ms, boot_id, uptime_ms) "
             "VALUES(0, ?1, ?2, ?3, ?4)",
             &saveClock_) &&
         prepareOne("DELETE FROM leases WHERE token = ?1", &deleteLease_) &&
         prepareOne(
             "INSERT OR REPLACE INTO leases(token, first_id, last_id, until_ms) "
             "VALUES(?1, ?2, ?3, ?4)",
             &insertLease_) &&
         prepareOne("SELECT first_id, last_id FROM leases WHERE until_ms > ?1 ORDER BY first_id",
                    &activeLeases_) &&
         migrateOneEventPerRow() &&
         execute("SELECT count(*) FROM event_rows");  // reads the file: fails on a corrupt one
}

bool zevsite::EventStore::startClock(const zevsite::StoreClockSample& sample) {
  if (!execute("BEGIN IMMEDIATE")) return false;
  if (bindAndSaveClock(sample) && execute("COMMIT")) return true;
  execute("ROLLBACK");
  return false;
}

bool zevsite::EventStore::deleteAll() {
  // The deleted upload strings must not linger in free pages of the file: overwrite them.
  execute("PRAGMA secure_delete=ON");
  const bool deleted = execute("DELETE FROM event_rows");
  execute("PRAGMA secure_delete=OFF");
  return deleted;
}

std::optional<std::size_t> zevsite::EventStore::count() {
  sqlite3_stmt* statement = nullptr;
  std::optional<std::size_t> events;
  if (sqlite3_prepare_v2(db_, "SELECT coalesce(sum(events), 0) FROM event_rows", -1, &statement,
                         nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    events = static_cast<std::size_t>(sqlite3_column_int64(statement, 0));
  }
  sqlite3_finalize(statement);
  return events;
}
