// The event store's packed rows: the codec, ids and leases across rows, the limits that cut
// rows, and the one-time packing of a store written one event per row.
#include "Queue/ZEVSiteEventPack.h"
#include "Queue/ZEVSiteEventStore.h"
#include "ZEVSiteTestSupport.h"

#include <filesystem>
#include <random>

#include <sqlite3.h>

namespace {

// A page view like the serialiser's, with a full context; `i` varies its page and times.
std::string packedStoreBody(int i) {
  char eventId[17];
  std::snprintf(eventId, sizeof eventId, "%016llx",
                static_cast<unsigned long long>(i) * 2654435761ULL);
  return "url=https%3A%2F%2Fexample.com%2Fp" + std::to_string(i % 7) + "&action_name=Page%20" +
         std::to_string(i % 7) + "&v=1&cid=3f2a9c1e&eid=" + eventId +
         "&ts=" + std::to_string(1765000000000LL + i * 10) +
         "&sdkv=1.0&uid=user-1&av=1.4.0&os=Debian&sid=0123456789abcdef&sn=1";
}

std::vector<std::int64_t> idsOf(const std::vector<zevsite::StoredEvent>& events) {
  std::vector<std::int64_t> ids;
  for (const auto& event : events) ids.push_back(event.rowId);
  return ids;
}

std::vector<std::int64_t> idRange(std::int64_t first, std::int64_t last) {
  std::vector<std::int64_t> ids;
  for (std::int64_t id = first; id <= last; ++id) ids.push_back(id);
  return ids;
}

std::vector<std::int64_t> joined(std::vector<std::int64_t> a, const std::vector<std::int64_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

class ZEVSiteEventStoreTest : public ZEVSiteTest {
 protected:
  // Stores `count` events (bodies packedStoreBody(from...)), seen at `seenMillis`, in one
  // transaction.
  void insert(zevsite::EventStore& store, int from, int count, std::int64_t seenMillis) {
    std::vector<std::string> bodies;
    for (int i = from; i < from + count; ++i) bodies.push_back(packedStoreBody(i));
    std::vector<zevsite::PendingEvent> events;
    for (const auto& body : bodies) events.push_back({"page", body, 1765000000000LL, seenMillis});
    ASSERT_TRUE(store.insertBatch(events, zevsite::StoreClockSample{seenMillis, 0, {}}));
  }
  std::unique_ptr<zevsite::EventStore> open(const std::string& path) {
    auto opened = zevsite::EventStore::open(path);
    EXPECT_TRUE(opened.store) << opened.error;
    return std::move(opened.store);
  }
};

// Events of every shape come back byte for byte from a row, times and id gaps included; a
// damaged row is refused, never read past its end.
TEST(ZEVSiteEventPackTest, EventsComeBackExactlyAndDamagedRowsAreRefused) {
  std::mt19937 random(11);
  auto text = [&](std::size_t most) {
    std::string value(random() % (most + 1), '\0');
    for (auto& c : value) c = static_cast<char>("ab=&\0\xff"[random() % 6]);
    return value;
  };
  for (int round = 0; round < 200; ++round) {
    std::vector<zevsite::StoredEvent> events;
    std::int64_t id = static_cast<std::int64_t>(random()) - 5;
    for (int i = 0, n = 1 + static_cast<int>(random() % 120); i < n; ++i) {
      zevsite::StoredEvent event;
      event.rowId = id;
      id += 1 + (random() % 4 == 0 ? static_cast<std::int64_t>(random() % 100000) : 0);
      // Bodies are often the previous one changed in a few places, as upload strings are.
      event.name = random() % 3 ? "page" : text(12);
      event.body = !events.empty() && random() % 2 ? events.back().body : text(300);
      if (!event.body.empty() && random() % 2) event.body[random() % event.body.size()] ^= 1;
      if (random() % 3 == 0) event.body += text(5);
      event.createdMillis = random() % 2 ? std::numeric_limits<std::int64_t>::min() + i
                                         : 1765000000000LL - static_cast<std::int64_t>(random());
      event.seenMillis = static_cast<std::int64_t>(random()) - 1'000'000'000LL;
      events.push_back(std::move(event));
    }
    zevsite::EventPackWriter writer;
    writer.start(events.front().rowId);
    for (const auto& event : events) {
      writer.add(event.rowId, event.name, event.body, event.createdMillis, event.seenMillis);
    }
    std::vector<zevsite::StoredEvent> read;
    ASSERT_TRUE(zevsite::unpackEvents(writer.bytes(), writer.firstId(), read));
    ASSERT_EQ(read.size(), events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
      ASSERT_EQ(read[i].rowId, events[i].rowId);
      ASSERT_EQ(read[i].name, events[i].name);
      ASSERT_EQ(read[i].body, events[i].body);
      ASSERT_EQ(read[i].createdMillis, events[i].createdMillis);
      ASSERT_EQ(read[i].seenMillis, events[i].seenMillis);
    }
    // Cut short anywhere, the row is refused (a cut between two events reads the first ones).
    const std::string bytes(writer.bytes());
    for (std::size_t cut = 0; cut < bytes.size(); cut += 1 + bytes.size() / 50) {
      std::vector<zevsite::StoredEvent> partial;
      if (zevsite::unpackEvents(std::string_view(bytes).substr(0, cut), 0, partial)) {
        ASSERT_LT(partial.size(), events.size());
      }
    }
    // Changed bytes never make it read outside the row.
    std::string damaged = bytes;
    for (int flip = 0; flip < 8; ++flip) damaged[random() % damaged.size()] = char(random());
    std::vector<zevsite::StoredEvent> ignored;
    zevsite::unpackEvents(damaged, 0, ignored);
  }
  // Upload strings of one burst take about a third of their bytes.
  zevsite::EventPackWriter writer;
  std::vector<std::string> bodies;
  std::size_t raw = 0;
  for (int i = 0; i < 100; ++i) bodies.push_back(packedStoreBody(i));
  writer.start(1);
  for (int i = 0; i < 100; ++i) {
    writer.add(i + 1, "page", bodies[i], 1765000000000LL + i * 10, 5000 + i);
    raw += bodies[i].size() + 4;
  }
  EXPECT_LT(writer.bytes().size(), raw / 3);
}

// Ids go on across rows and are never given twice; a lease and a delivery may start or end
// inside a row, and the limits cut rows at any event, keeping what a sender holds.
TEST_F(ZEVSiteEventStoreTest, LeasesDeliveriesAndLimitsCutRowsAtAnyEvent) {
  auto store = open(makeTemporaryDirectory() + "/events.sqlite");
  ASSERT_TRUE(store);
  insert(*store, 1, 250, 1000);  // rows of 100, 100 and 50 events
  const std::int64_t now = 1765000000000LL, later = now + 60'000;
  ASSERT_EQ(store->count(), 250u);

  // Two senders: the first takes 30, the second the next 100, across a row's end.
  auto first = store->leaseOldest(30, 1, now, later);
  auto second = store->leaseOldest(100, 2, now, later);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(idsOf(*first), idRange(1, 30));
  EXPECT_EQ(idsOf(*second), idRange(31, 130));
  EXPECT_EQ((*second)[99].body, packedStoreBody(130));
  // A third starts after both; its lease ends a millisecond later, which frees its events.
  auto third = store->leaseOldest(500, 3, now, now + 1);
  ASSERT_TRUE(third);
  EXPECT_EQ(idsOf(*third), idRange(131, 250));
  const std::int64_t thirdEnded = now + 1;

  // The second delivers: its events go from both rows it cut; the first gives its back.
  ASSERT_TRUE(store->endLease({2, 31, 130, true}));
  ASSERT_TRUE(store->endLease({1, 1, 30, false}));
  EXPECT_EQ(idsOf(store->readAll()), joined(idRange(1, 30), idRange(131, 250)));
  EXPECT_EQ(store->readAll()[30].body, packedStoreBody(131));

  // Beyond 100 events, the 50 oldest go, but the 30 a sender holds: 20 are deleted.
  auto held = store->leaseOldest(30, 4, thirdEnded, later);
  ASSERT_TRUE(held);
  EXPECT_EQ(idsOf(*held), idRange(1, 30));
  auto dropped = store->enforceLimits(100, std::numeric_limits<std::int64_t>::min(), thirdEnded);
  EXPECT_EQ(dropped.beyondCount, 20u);
  EXPECT_EQ(idsOf(store->readAll()), joined(idRange(1, 30), idRange(151, 250)));

  // Newer events seen later: the expiry takes the older ones outside the lease, and counts
  // them as expired, not beyond the count.
  insert(*store, 251, 10, 9000);
  dropped = store->enforceLimits(100, 5000, thirdEnded);
  EXPECT_EQ(dropped.expired, 100u);
  EXPECT_EQ(dropped.beyondCount, 0u);
  EXPECT_EQ(idsOf(store->readAll()), joined(idRange(1, 30), idRange(251, 260)));

  // After every event is gone, ids go on where they were.
  ASSERT_TRUE(store->endLease({4, 1, 30, true}));
  ASSERT_TRUE(store->deleteAll());
  EXPECT_EQ(store->count(), 0u);
  insert(*store, 261, 3, 9000);
  EXPECT_EQ(idsOf(store->readAll()), idRange(261, 263));
}

// A store that the previous version wrote, one event per row (tests/data: 250 events stored,
// the first 10 delivered, a lease on 11-110 until 2100 and one on 111-130 that ended), is
// packed when first opened: the same events with the same ids, the held lease still keeping
// its events from other senders, ids going on after the old ones.
TEST_F(ZEVSiteEventStoreTest, AStoreOfOneEventPerRowIsPackedOnceKeepingIdsAndLeases) {
  const std::string path = makeTemporaryDirectory() + "/events.sqlite";
  std::filesystem::copy_file(ZEVSITE_TEST_DATA_DIR "/events-one-per-row.sqlite", path);
  {
    auto store = open(path);
    ASSERT_TRUE(store);
    const auto events = store->readAll();
    ASSERT_EQ(idsOf(events), idRange(11, 250));
    for (const auto& event : events) {
      const int i = static_cast<int>(event.rowId);
      ASSERT_EQ(event.body, packedStoreBody(i));
      ASSERT_EQ(event.name, i % 5 == 0 ? "event" : "page");
      ASSERT_EQ(event.createdMillis, 1765000000000LL + i * 10);
      ASSERT_EQ(event.seenMillis, 1000 + i * 10);
    }
    auto clock = store->loadClock();
    ASSERT_TRUE(clock);
    EXPECT_EQ(clock->seenMillis, 5000);
    const std::int64_t now = 1765000010000LL;
    auto leased = store->leaseOldest(100, 5, now, now + 60'000);
    ASSERT_TRUE(leased);
    EXPECT_EQ(idsOf(*leased), idRange(111, 210));
    insert(*store, 251, 2, 6000);
  }
  // Opened again, nothing is migrated twice and the old table is gone.
  auto sqlInt = [&path](const char* sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), SQLITE_OK) << sql;
    const int value = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int(statement, 0) : -1;
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
  };
  EXPECT_EQ(idsOf(open(path)->readAll()), idRange(11, 252));
  EXPECT_EQ(sqlInt("SELECT count(*) FROM sqlite_master WHERE name = 'events'"), 0);
  // The previous version ran on the packed store anyway: it made a table of its own, whose
  // ids start over. Its events are packed after the others, with ids never given before.
  sqlInt(
      "CREATE TABLE events (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL,"
      " body TEXT NOT NULL, created_ms INTEGER NOT NULL, seen_ms INTEGER)");
  sqlInt("INSERT INTO events(name, body, created_ms, seen_ms) VALUES('page', 'n=old', 5, 7000)");
  const auto events = open(path)->readAll();
  ASSERT_EQ(events.size(), 243u);
  EXPECT_EQ(events.back().rowId, 253);
  EXPECT_EQ(events.back().body, "n=old");
  EXPECT_EQ(events.back().seenMillis, 7000);
}
