#include "ZEVSiteEventStore.h"

#include "../Platform/ZEVSitePlatform.h"
#include "../ZEVSiteTime.h"
#include "ZEVSiteEventPack.h"
#include "ZEVSiteStoreVFS.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>

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

using LeaseRanges = std::vector<std::pair<std::int64_t, std::int64_t>>;

bool inLease(const LeaseRanges& leased, std::int64_t id) {
  return std::any_of(leased.begin(), leased.end(),
                     [id](const auto& range) { return id >= range.first && id <= range.second; });
}

bool overlapsLease(const LeaseRanges& leased, std::int64_t first, std::int64_t last) {
  return std::any_of(leased.begin(), leased.end(), [&](const auto& range) {
    return range.first <= last && first <= range.second;
  });
}

bool insideOneLease(const LeaseRanges& leased, std::int64_t first, std::int64_t last) {
  return std::any_of(leased.begin(), leased.end(), [&](const auto& range) {
    return range.first <= first && last <= range.second;
  });
}

// Packs `events` into rows that end at kRowEvents events or kRowBytes of names and upload
// strings, whichever comes first, handing each row to `insert` (false stops).
template <typename Event, typename IdOf, typename Insert>
bool packRows(std::span<const Event> events, IdOf idOf, zevsite::EventPackWriter& pack,
              Insert insert) {
  std::size_t rowBytes = 0;
  pack.start(0);
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& event = events[i];
    const std::int64_t id = idOf(i, event);
    if (pack.events() == 0) pack.start(id);
    pack.add(id, event.name, event.body, event.createdMillis, event.seenMillis);
    rowBytes += event.name.size() + event.body.size();
    if (i + 1 == events.size() || pack.events() == zevsite::EventStore::kRowEvents ||
        rowBytes >= zevsite::EventStore::kRowBytes) {
      if (!insert()) return false;
      pack.start(0);
      rowBytes = 0;
    }
  }
  return true;
}

// A BLOB column's bytes (empty for NULL).
std::string blobColumn(sqlite3_stmt* statement, int column) {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
  return bytes
             ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
             : std::string();
}

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

bool zevsite::EventStore::hasOneEventPerRowTable() {
  return pragmaValue(
             "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'events'") > 0;
}

bool zevsite::EventStore::migrateOneEventPerRow() {
  if (!hasOneEventPerRowTable()) return true;
  if (!execute("BEGIN IMMEDIATE")) return false;
  if (migrateLocked() && execute("COMMIT")) return true;
  execute("ROLLBACK");
  return false;
}

bool zevsite::EventStore::readOneEventPerRow(std::int64_t afterId, std::size_t limit,
                                             std::vector<zevsite::StoredEvent>& events) {
  // Stores of the first versions recorded no seen_ms: such an event is aged by its recorded
  // time, all that is known of it, against the store's clock as it stands now.
  const bool hasSeen =
      pragmaValue("SELECT count(*) FROM pragma_table_info('events') WHERE name = 'seen_ms'") > 0;
  auto& platform = ZEVSitePlatform::current();
  const zevsite::StoreClockSample now{0, platform.currentTimeMillis(), platform.bootClock()};
  std::int64_t seenNow = 0;
  if (auto saved = loadClock()) {
    seenNow = zevsite::time::saturatingAdd(saved->seenMillis, zevsite::elapsedBetween(*saved, now));
  }
  sqlite3_stmt* statement = nullptr;
  const std::string sql = std::string("SELECT id, name, body, created_ms, ") +
                          (hasSeen ? "seen_ms" : "NULL") +
                          " FROM events WHERE id > ?1 ORDER BY id LIMIT ?2";
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return false;
  sqlite3_bind_int64(statement, 1, afterId);
  sqlite3_bind_int64(statement, 2, static_cast<std::int64_t>(limit));
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
    zevsite::StoredEvent event;
    event.rowId = sqlite3_column_int64(statement, 0);
    if (auto* name = sqlite3_column_text(statement, 1)) {
      event.name = reinterpret_cast<const char*>(name);
    }
    if (auto* body = sqlite3_column_text(statement, 2)) {
      event.body.assign(reinterpret_cast<const char*>(body),
                        static_cast<std::size_t>(sqlite3_column_bytes(statement, 2)));
    }
    event.createdMillis = sqlite3_column_int64(statement, 3);
    event.seenMillis =
        sqlite3_column_type(statement, 4) == SQLITE_NULL
            ? zevsite::time::saturatingSub(
                  seenNow, std::max<std::int64_t>(0, now.wallMillis - event.createdMillis))
            : sqlite3_column_int64(statement, 4);
    events.push_back(std::move(event));
  }
  sqlite3_finalize(statement);
  return step == SQLITE_DONE;
}

bool zevsite::EventStore::migrateLocked() {
  if (!hasOneEventPerRowTable()) return true;
  // Ids stay as they were, so leases a sender of the older version holds keep their events;
  // ids already given to packed rows (an older version ran on this store after a newer one)
  // are not given twice: then the old events are numbered after them.
  const std::optional<std::int64_t> next = nextEventId();
  if (!next) return false;
  std::int64_t nextId = *next;
  const auto oldestId =
      static_cast<std::int64_t>(pragmaValue("SELECT coalesce(min(id), 0) FROM events"));
  const bool renumber = oldestId > 0 && oldestId < nextId;
  // A few thousand at a time, so a large store does not have to fit in memory at once.
  constexpr std::size_t kChunk = 5000;
  std::vector<zevsite::StoredEvent> events;
  for (std::int64_t afterId = 0;;) {
    events.clear();
    if (!readOneEventPerRow(afterId, kChunk, events)) return false;
    if (events.empty()) break;
    afterId = events.back().rowId;
    for (auto& event : events) {
      if (renumber) event.rowId = nextId++;
    }
    if (!renumber) nextId = std::max(nextId, events.back().rowId + 1);
    if (!insertRows(events)) return false;
  }
  // An AUTOINCREMENT table never gave an id twice: neither do the packed rows.
  const auto sequence = static_cast<std::int64_t>(
      pragmaValue("SELECT coalesce(max(seq), 0) FROM sqlite_sequence WHERE name = 'events'"));
  nextId = std::max(nextId, sequence + 1);
  return saveNextEventId(nextId) && execute("DROP TABLE events");
}

bool zevsite::EventStore::startClock(const zevsite::StoreClockSample& sample) {
  if (!execute("BEGIN IMMEDIATE")) return false;
  if (bindAndSaveClock(sample) && execute("COMMIT")) return true;
  execute("ROLLBACK");
  return false;
}

std::optional<std::int64_t> zevsite::EventStore::nextEventId() {
  StatementScope scope{nextId_};
  if (sqlite3_step(nextId_) != SQLITE_ROW) return std::nullopt;
  return sqlite3_column_int64(nextId_, 0);
}

bool zevsite::EventStore::saveNextEventId(std::int64_t nextId) {
  StatementScope scope{saveNextId_};
  sqlite3_bind_int64(saveNextId_, 1, nextId);
  return sqlite3_step(saveNextId_) == SQLITE_DONE;
}

bool zevsite::EventStore::insertPacked(const zevsite::EventPackWriter& pack) {
  StatementScope scope{insertRow_};
  const std::string_view packed = pack.bytes();
  sqlite3_bind_int64(insertRow_, 1, pack.firstId());
  sqlite3_bind_int64(insertRow_, 2, pack.lastId());
  sqlite3_bind_int64(insertRow_, 3, static_cast<std::int64_t>(pack.events()));
  sqlite3_bind_int64(insertRow_, 4, pack.oldestSeenMillis());
  sqlite3_bind_int64(insertRow_, 5, pack.newestSeenMillis());
  sqlite3_bind_blob(insertRow_, 6, packed.data(), static_cast<int>(packed.size()), SQLITE_STATIC);
  return sqlite3_step(insertRow_) == SQLITE_DONE;
}

bool zevsite::EventStore::insertRows(std::span<const zevsite::StoredEvent> events) {
  return packRows(
      events, [](std::size_t, const auto& event) { return event.rowId; }, pack_,
      [this] { return insertPacked(pack_); });
}

bool zevsite::EventStore::insertPending(std::span<const zevsite::PendingEvent> events,
                                        std::int64_t firstId) {
  return packRows(
      events,
      [firstId](std::size_t index, const auto&) {
        return firstId + static_cast<std::int64_t>(index);
      },
      pack_, [this] { return insertPacked(pack_); });
}

bool zevsite::EventStore::insertBatch(std::span<const zevsite::PendingEvent> events,
                                      const zevsite::StoreClockSample& clock) {
  // The failure's code is kept before ROLLBACK, which would reset the connection's.
  insertFailure_ = SQLITE_OK;
  if (!execute("BEGIN IMMEDIATE")) {
    insertFailure_ = sqlite3_extended_errcode(db_);
    return false;
  }
  const std::optional<std::int64_t> firstId = nextEventId();
  // The clock's latest reading goes with the rows: the next process counts on from it.
  bool ok = firstId && insertPending(events, *firstId) &&
            saveNextEventId(*firstId + static_cast<std::int64_t>(events.size())) &&
            bindAndSaveClock(clock);
  if (!ok) insertFailure_ = sqlite3_extended_errcode(db_);
  if (ok && execute("COMMIT")) return true;
  if (ok) insertFailure_ = sqlite3_extended_errcode(db_);
  execute("ROLLBACK");
  return false;
}

bool zevsite::EventStore::unpackRow(const Row& row, std::vector<zevsite::StoredEvent>& out) {
  const std::size_t before = out.size();
  if (zevsite::unpackEvents(row.packed, row.firstId, out)) return true;
  // Not a row this version wrote, or damaged in a way SQLite cannot see: its events cannot be
  // read back, so none of them is sent; the caller deletes the row.
  out.resize(before);
  ZEVSiteLoger::adLog("[Site] event store: dropped %@ unreadable events", row.events);
  return false;
}

bool zevsite::EventStore::deleteRow(std::int64_t firstId) {
  StatementScope scope{deleteRow_};
  sqlite3_bind_int64(deleteRow_, 1, firstId);
  return sqlite3_step(deleteRow_) == SQLITE_DONE;
}

bool zevsite::EventStore::cutRow(Row row, const EventFilter& drop, std::size_t& deleted) {
  std::vector<zevsite::StoredEvent> events;
  if (!unpackRow(row, events)) {
    deleted += row.events;
    return deleteRow(row.firstId);
  }
  const std::size_t before = events.size();
  std::erase_if(events, drop);
  if (events.size() == before) return true;
  deleted += before - events.size();
  return deleteRow(row.firstId) && insertRows(events);
}

std::optional<std::vector<zevsite::EventStore::Row>> zevsite::EventStore::rowsOverlapping(
    std::int64_t firstId, std::int64_t lastId) {
  std::vector<Row> rows;
  StatementScope scope{rowsOverlapping_};
  sqlite3_bind_int64(rowsOverlapping_, 1, firstId);
  sqlite3_bind_int64(rowsOverlapping_, 2, lastId);
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(rowsOverlapping_)) == SQLITE_ROW) {
    Row row;
    row.firstId = sqlite3_column_int64(rowsOverlapping_, 0);
    row.lastId = sqlite3_column_int64(rowsOverlapping_, 1);
    row.events = static_cast<std::size_t>(sqlite3_column_int64(rowsOverlapping_, 2));
    if (row.lastId < firstId) continue;  // the row before the range
    // A row the range covers whole is deleted without reading its events.
    if (row.firstId < firstId || row.lastId > lastId) {
      row.packed = blobColumn(rowsOverlapping_, 3);
    }
    rows.push_back(std::move(row));
  }
  if (step != SQLITE_DONE) return std::nullopt;
  return rows;
}

std::vector<std::pair<std::int64_t, std::int64_t>> zevsite::EventStore::activeLeaseRanges(
    std::int64_t nowMillis) {
  LeaseRanges leased;
  StatementScope scope{activeLeases_};
  sqlite3_bind_int64(activeLeases_, 1, nowMillis);
  while (sqlite3_step(activeLeases_) == SQLITE_ROW) {
    leased.emplace_back(sqlite3_column_int64(activeLeases_, 0),
                        sqlite3_column_int64(activeLeases_, 1));
  }
  return leased;
}

std::size_t zevsite::EventStore::deleteExpired(std::int64_t oldestAllowedSeenMillis,
                                               const LeaseRanges& leased) {
  // Rows holding an expired event, found by their oldest; a row expired whole and outside
  // every lease goes without being read.
  std::vector<Row> rows;
  {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT first_id, last_id, events, newest_seen_ms, packed FROM "
                           "event_rows WHERE oldest_seen_ms < ?1 ORDER BY first_id",
                           -1, &statement, nullptr) != SQLITE_OK) {
      return 0;
    }
    sqlite3_bind_int64(statement, 1, oldestAllowedSeenMillis);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      Row row;
      row.firstId = sqlite3_column_int64(statement, 0);
      row.lastId = sqlite3_column_int64(statement, 1);
      row.events = static_cast<std::size_t>(sqlite3_column_int64(statement, 2));
      const bool whole = sqlite3_column_int64(statement, 3) < oldestAllowedSeenMillis &&
                         !overlapsLease(leased, row.firstId, row.lastId);
      if (!whole) {
        row.packed = blobColumn(statement, 4);
      }
      rows.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
  }
  std::size_t deleted = 0;
  for (auto& row : rows) {
    if (row.packed.empty()) {
      if (deleteRow(row.firstId)) deleted += row.events;
      continue;
    }
    cutRow(
        std::move(row),
        [&](const StoredEvent& event) {
          return event.seenMillis < oldestAllowedSeenMillis && !inLease(leased, event.rowId);
        },
        deleted);
  }
  return deleted;
}

std::size_t zevsite::EventStore::deleteBeyondCount(std::size_t maxEvents,
                                                   const LeaseRanges& leased) {
  const std::uint64_t total = pragmaValue("SELECT coalesce(sum(events), 0) FROM event_rows");
  if (total <= maxEvents) return 0;
  // The oldest (total - maxEvents) events go, but those on the wire.
  const std::uint64_t excess = total - maxEvents;
  std::vector<Row> rows;
  std::uint64_t position = 0;  // events before the row being read
  {
    StatementScope scope{rowsInOrder_};
    while (position < excess && sqlite3_step(rowsInOrder_) == SQLITE_ROW) {
      Row row;
      row.firstId = sqlite3_column_int64(rowsInOrder_, 0);
      row.lastId = sqlite3_column_int64(rowsInOrder_, 1);
      row.events = static_cast<std::size_t>(sqlite3_column_int64(rowsInOrder_, 2));
      const bool whole =
          position + row.events <= excess && !overlapsLease(leased, row.firstId, row.lastId);
      if (!whole) {
        row.packed = blobColumn(rowsInOrder_, 3);
      }
      position += row.events;
      rows.push_back(std::move(row));
    }
  }
  std::size_t deleted = 0;
  position = 0;
  for (auto& row : rows) {
    const std::uint64_t rowStart = position;
    position += row.events;
    if (row.packed.empty()) {
      if (deleteRow(row.firstId)) deleted += row.events;
      continue;
    }
    std::uint64_t index = rowStart;
    cutRow(
        std::move(row),
        [&](const StoredEvent& event) { return index++ < excess && !inLease(leased, event.rowId); },
        deleted);
  }
  return deleted;
}

zevsite::EventStore::LimitDrops zevsite::EventStore::enforceLimits(
    std::size_t maxEvents, std::int64_t oldestAllowedSeenMillis, std::int64_t nowMillis) {
  LimitDrops dropped;
  if (!execute("BEGIN IMMEDIATE")) return dropped;
  // Events a sender has on the wire stay: they are about to be delivered, and were they
  // deleted they would be counted both dropped and delivered. Past their lease they go.
  const LeaseRanges leased = activeLeaseRanges(nowMillis);
  // Expired events go first, so an event both too old and beyond the count is counted as
  // expired; the events kept are the same either way.
  dropped.expired = deleteExpired(oldestAllowedSeenMillis, leased);
  dropped.beyondCount = deleteBeyondCount(maxEvents, leased);
  if (execute("COMMIT")) return dropped;
  execute("ROLLBACK");
  return LimitDrops{};
}

std::optional<std::vector<zevsite::StoredEvent>> zevsite::EventStore::leaseOldest(
    std::size_t limit, std::int64_t token, std::int64_t nowMillis, std::int64_t leaseUntilMillis) {
  if (!execute("BEGIN IMMEDIATE")) return std::nullopt;
  const LeaseRanges leased = activeLeaseRanges(nowMillis);
  // The batch is the first run of consecutive ids that no other sender holds: from the first
  // event outside every active lease up to the next lease after it, at most `limit` events.
  std::vector<zevsite::StoredEvent> events;
  std::vector<std::int64_t> unreadable;
  std::optional<std::int64_t> bound;
  bool full = false;
  {
    StatementScope scope{rowsInOrder_};
    std::vector<zevsite::StoredEvent> rowEvents;
    while (!full && sqlite3_step(rowsInOrder_) == SQLITE_ROW) {
      Row row;
      row.firstId = sqlite3_column_int64(rowsInOrder_, 0);
      row.lastId = sqlite3_column_int64(rowsInOrder_, 1);
      row.events = static_cast<std::size_t>(sqlite3_column_int64(rowsInOrder_, 2));
      if (events.empty() && insideOneLease(leased, row.firstId, row.lastId)) continue;
      if (bound && row.firstId >= *bound) break;
      row.packed = blobColumn(rowsInOrder_, 3);
      rowEvents.clear();
      if (!unpackRow(row, rowEvents)) {
        unreadable.push_back(row.firstId);
        continue;
      }
      for (auto& event : rowEvents) {
        if (events.empty()) {
          if (inLease(leased, event.rowId)) continue;
          bound = std::numeric_limits<std::int64_t>::max();
          for (const auto& range : leased) {
            if (range.first > event.rowId) bound = std::min(*bound, range.first);
          }
        }
        if (event.rowId >= *bound || events.size() == limit) {
          full = true;
          break;
        }
        events.push_back(std::move(event));
      }
    }
  }
  bool ok = true;
  for (std::int64_t firstId : unreadable) ok = ok && deleteRow(firstId);
  if (ok && !events.empty()) {
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
    auto rows = rowsOverlapping(end.firstId, end.lastId);
    if (!rows) return false;
    std::size_t deleted = 0;
    for (auto& row : *rows) {
      const bool ok = row.packed.empty()
                          ? deleteRow(row.firstId)
                          : cutRow(
                                std::move(row),
                                [&end](const StoredEvent& event) {
                                  return event.rowId >= end.firstId && event.rowId <= end.lastId;
                                },
                                deleted);
      if (!ok) return false;
    }
  }
  StatementScope scope{deleteLease_};
  sqlite3_bind_int64(deleteLease_, 1, end.token);
  return sqlite3_step(deleteLease_) == SQLITE_DONE;
}

bool zevsite::EventStore::deleteAll() {
  // The deleted upload strings must not linger in free pages of the file: overwrite them.
  execute("PRAGMA secure_delete=ON");
  const bool deleted = execute("DELETE FROM event_rows");
  execute("PRAGMA secure_delete=OFF");
  return deleted;
}

std::vector<zevsite::StoredEvent> zevsite::EventStore::readAll() {
  std::vector<zevsite::StoredEvent> events;
  StatementScope scope{rowsInOrder_};
  while (sqlite3_step(rowsInOrder_) == SQLITE_ROW) {
    Row row;
    row.firstId = sqlite3_column_int64(rowsInOrder_, 0);
    row.events = static_cast<std::size_t>(sqlite3_column_int64(rowsInOrder_, 2));
    row.packed = blobColumn(rowsInOrder_, 3);
    unpackRow(row, events);
  }
  return events;
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
