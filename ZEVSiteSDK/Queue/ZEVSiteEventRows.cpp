// The event store's rows: packing events into them, reading them back, cutting them where
// a lease, a delivery or a limit ends inside one, and packing a store of one event per row.
#include "ZEVSiteEventStore.h"

#include "../Platform/ZEVSitePlatform.h"
#include "../ZEVSiteTime.h"
#include "ZEVSiteEventPack.h"
#include "ZEVSiteStoreStatement.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

using zevsite::store::blobColumn;
using zevsite::store::StatementScope;

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

}  // namespace

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

zevsite::EventStore::Row zevsite::EventStore::rowHeader(sqlite3_stmt* statement) {
  Row row;
  row.firstId = sqlite3_column_int64(statement, 0);
  row.lastId = sqlite3_column_int64(statement, 1);
  row.events = static_cast<std::size_t>(sqlite3_column_int64(statement, 2));
  return row;
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
    Row row = rowHeader(rowsOverlapping_);
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

zevsite::EventStore::LeaseRanges zevsite::EventStore::activeLeaseRanges(std::int64_t nowMillis) {
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
      Row row = rowHeader(statement);
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
      Row row = rowHeader(rowsInOrder_);
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
      Row row = rowHeader(rowsInOrder_);
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

std::vector<zevsite::StoredEvent> zevsite::EventStore::readAll() {
  std::vector<zevsite::StoredEvent> events;
  StatementScope scope{rowsInOrder_};
  while (sqlite3_step(rowsInOrder_) == SQLITE_ROW) {
    Row row = rowHeader(rowsInOrder_);
    row.packed = blobColumn(rowsInOrder_, 3);
    unpackRow(row, events);
  }
  return events;
}
