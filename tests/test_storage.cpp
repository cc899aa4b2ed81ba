#include "Queue/ZEVSiteEventStorage.h"
#include "Queue/ZEVSiteStagingArea.h"
#include "Queue/ZEVSiteStoreClock.h"
#include "Queue/ZEVSiteTransactionPlanner.h"
#include "ZEVSiteTaskQueue.h"
#include "ZEVSiteTestSupport.h"

#include <atomic>
#include <cerrno>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <thread>

#include <sqlite3.h>

namespace {

// Sum of the counts in "dropped N" log lines.
std::size_t droppedInLog(const std::vector<std::string>& lines) {
  std::size_t total = 0;
  std::regex pattern("dropped ([0-9]+) ");
  for (const auto& line : lines) {
    std::smatch match;
    if (std::regex_search(line, match, pattern)) total += std::stoul(match[1]);
  }
  return total;
}

// Rows in the store file at `path`, read over a connection of its own: what another process
// or a restart would find, without asking the SDK's writer anything. -1 when unreadable.
long long rowsOnDisk(const std::string& path) {
  sqlite3* db = nullptr;
  long long rows = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT coalesce(sum(events), 0) FROM event_rows", -1, &statement,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      rows = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return rows;
}

}  // namespace

class ZEVSiteStorageTest : public ZEVSiteTest {
 protected:
  void SetUp() override {
    ZEVSiteTest::SetUp();
    // The writer runs on this thread, inside flush and the clock's moves.
    platform_->driveWorkers();
  }
  // Writes every accepted event now; false when the store cannot take them. The writer's
  // steps run inside the call, so no deadline is ever waited for.
  bool flushStorage() {
    return zevsite::EventStorage::forHome(home_)->flush(platform_->monotonicNow());
  }
};

// The staging ring against a plain queue of strings: random events (tiny to the largest),
// dropped from the front whenever the bound would be passed, with clears and resizes between
// bursts. Every event must read back byte for byte, in order, wherever the ring wrapped or
// grew, and an event the bound admits must always find a place.
TEST(ZEVSiteStagingAreaTest, ReadsBackEveryEventInOrderThroughWrapsAndGrowth) {
  constexpr std::size_t kBound = 256 * 1024;
  zevsite::StagingArea area(kBound);
  std::deque<std::pair<std::string, std::string>> model;
  std::size_t modelBytes = 0;
  std::mt19937 random(7);
  auto check = [&] {
    ASSERT_EQ(area.size(), model.size());
    ASSERT_EQ(area.liveBytes(), modelBytes);
    for (std::size_t i = 0; i < model.size(); ++i) {
      const zevsite::PendingEvent event = area.at(i);
      ASSERT_EQ(event.name, model[i].first) << i;
      ASSERT_EQ(event.body, model[i].second) << i;
      ASSERT_EQ(event.createdMillis, static_cast<std::int64_t>(model[i].second.size())) << i;
    }
  };
  for (int burst = 0; burst < 40; ++burst) {
    const int events = std::uniform_int_distribution<int>(1, 3000)(random);
    for (int i = 0; i < events; ++i) {
      const std::size_t size = random() % 8 == 0 ? random() % (8 * 1024) : random() % 200;
      std::string body(size, static_cast<char>('a' + (burst + i) % 26));
      if (!body.empty()) body.front() = static_cast<char>('A' + i % 26);
      std::string name = i % 3 ? "pageview" : "event";
      while (!model.empty() && modelBytes + name.size() + body.size() > kBound) {
        modelBytes -= model.front().first.size() + model.front().second.size();
        model.pop_front();
        area.dropOldest();
      }
      ASSERT_TRUE(area.tryAppend(name, body, static_cast<std::int64_t>(body.size()), 0));
      modelBytes += name.size() + body.size();
      model.emplace_back(std::move(name), std::move(body));
      if (i % 97 == 0) check();
    }
    check();
    EXPECT_LE(area.touchedBytes(), kBound + 2 * zevsite::StagingArea::kLargestEventBytes + 4096);
    if (burst % 3 == 0) {
      // As the writer does after a batch: empty, then sized for one like it.
      const std::size_t bytes = area.liveBytes();
      const std::size_t count = area.size();
      area.clear();
      model.clear();
      modelBytes = 0;
      area.fitFor(bytes / (burst + 1), count);
      check();
    }
  }
  area.clear();
  area.fitFor(10, 1);
  EXPECT_EQ(area.touchedBytes(),
            zevsite::StagingArea::kInitialBytes);  // a burst's pages given back
}

// The writer's transactions as the free disk space sizes them: one table of steps, each the
// free space, where the transaction from a row ends, and what the disk then did.
TEST(ZEVSiteTransactionPlannerTest, TransactionsShrinkOnAFullDiskAndGrowBackAsTheyFit) {
  using Planner = zevsite::TransactionPlanner;
  constexpr std::size_t kRowBytes = 1000;
  const std::string body(kRowBytes, 'x');
  std::vector<zevsite::PendingEvent> rows(600, zevsite::PendingEvent{"pageview", body, 0, 0});
  constexpr std::uint64_t kPlenty = 100ull << 30;
  constexpr std::uint64_t kLow = Planner::kLowDiskBytes - 1;
  enum class Disk { Takes, Full };
  struct Step {
    std::optional<std::uint64_t> free;
    std::size_t begin;
    std::size_t expectedEnd;
    bool expectedLow;
    Disk disk;
  };
  const std::vector<Step> steps = {
      // Room to spare (or unknown): up to kTransactionBytes, so 524 rows of 1000 bytes.
      {kPlenty, 0, 524, false, Disk::Takes},
      {std::nullopt, 0, 524, false, Disk::Takes},
      // The rest of the rows, however few.
      {kPlenty, 590, 600, false, Disk::Takes},
      // Low on disk: the budget of 32 KiB takes 32 rows...
      {kLow, 0, 32, true, Disk::Full},
      // ...halves after each refusal, down to one event even when it is larger...
      {kLow, 0, 16, true, Disk::Full},
      {kLow, 0, 8, true, Disk::Full},
      {kLow, 0, 4, true, Disk::Full},
      {kLow, 0, 2, true, Disk::Full},
      {kLow, 0, 1, true, Disk::Full},
      {kLow, 0, 1, true, Disk::Full},
      {kLow, 0, 1, true, Disk::Takes},
      // ...and doubles with every transaction that fits, up to the cap.
      {kLow, 1, 2, true, Disk::Takes},
      {kLow, 2, 3, true, Disk::Takes},
      {kLow, 3, 5, true, Disk::Takes},
      {kLow, 5, 9, true, Disk::Takes},
      {kLow, 9, 17, true, Disk::Takes},
      {kLow, 17, 33, true, Disk::Takes},
      {kLow, 33, 65, true, Disk::Takes},
      {kLow, 65, 97, true, Disk::Takes},
      // Once the disk has room again the low-disk budget does not limit the size.
      {kPlenty, 97, 600, false, Disk::Takes},
  };
  Planner planner;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    const auto transaction = planner.next(rows, step.begin, step.free);
    EXPECT_EQ(transaction.end, std::min(step.expectedEnd, rows.size())) << "step " << i;
    EXPECT_EQ(transaction.bytes, (transaction.end - step.begin) * kRowBytes) << "step " << i;
    EXPECT_EQ(transaction.lowOnDisk, step.expectedLow) << "step " << i;
    step.disk == Disk::Takes ? planner.committed() : planner.refusedByFullDisk();
  }
  // The reserve is kept whole: a transaction may use the free space down to it, not into it.
  EXPECT_TRUE(Planner::leavesReserve(Planner::kDiskReserveBytes + 4096, 4096));
  EXPECT_FALSE(Planner::leavesReserve(Planner::kDiskReserveBytes + 4096, 4097));
  EXPECT_FALSE(Planner::leavesReserve(0, 0));
}

TEST_F(ZEVSiteStorageTest, QueuesOfOneProcessShareOneDurableStore) {
  auto first = ZEVSiteTaskQueue::initWithSendSendCondition(6);
  auto second = ZEVSiteTaskQueue::initWithSendSendCondition(2);
  first->execute();
  second->execute();
  for (int i = 0; i < 300; ++i) {
    (i % 2 ? first : second)->addTask("n=" + std::to_string(i), "event");
  }
  auto stored = storedUploads();
  ASSERT_EQ(stored.size(), 300u);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(stored[i], "n=" + std::to_string(i));
  EXPECT_EQ(events().size(), 300u);  // the observer saw each accepted event
  EXPECT_TRUE(std::filesystem::exists(home_ + "/Library/zevsite-events.sqlite"));
  EXPECT_EQ(std::filesystem::status(home_ + "/Library").permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
}

// Accepting an event is enough to get it written once the batching window has passed:
// nobody flushes, yet the rows appear in the file; a batch large enough goes before its
// window ends. And a flush returns only once its events are in the file.
TEST_F(ZEVSiteStorageTest, AcceptWakesTheWriterAndFlushReturnsAfterTheWrite) {
  using zevsite::EventStorage;
  ZEVSiteSupport::setCollectURL(std::nullopt);  // nothing is sent, and flush cannot say true
  auto queue = ZEVSiteTaskQueue::initWithSendSendCondition(6);
  const std::string file = home_ + "/Library/zevsite-events.sqlite";
  queue->addTask("n=first", "event");  // starts the writer
  platform_->advanceBy(EventStorage::kCoalesceWindow - std::chrono::milliseconds(1));
  EXPECT_LT(rowsOnDisk(file), 1);  // the batch still gathers
  platform_->advanceBy(std::chrono::milliseconds(1));
  ASSERT_EQ(rowsOnDisk(file), 1);
  queue->addTask("n=second", "event");  // the writer waits by now: accept must wake it
  platform_->advanceBy(EventStorage::kCoalesceWindow);
  EXPECT_EQ(rowsOnDisk(file), 2);
  for (std::size_t i = 0; i < EventStorage::kEagerBatch; ++i) queue->addTask("n=eager", "event");
  platform_->runUntilIdle();  // no time passes
  EXPECT_EQ(rowsOnDisk(file), 2 + static_cast<long long>(EventStorage::kEagerBatch));

  for (int round = 1; round <= 20; ++round) {
    for (int i = 0; i < 50; ++i) queue->addTask("n=" + std::to_string(i), "event");
    // False, as no send can be attempted, but only once the round is on disk.
    ASSERT_FALSE(ZEVSiteSupport::flush(std::chrono::seconds(10)));
    ASSERT_EQ(rowsOnDisk(file), 2 + static_cast<long long>(EventStorage::kEagerBatch) + 50 * round)
        << "flush returned before round " << round << " was written";
  }
}

TEST_F(ZEVSiteStorageTest, LengthCapAndExpiryDropOldestWithCountedLogLines) {
  auto storage = zevsite::EventStorage::forHome(home_);
  storage->setLimits(10, 60);
  auto queue = ZEVSiteTaskQueue::initWithSendSendCondition(6);
  for (int i = 0; i < 25; ++i) queue->addTask("n=" + std::to_string(i), "event");
  auto stored = storedUploads();
  ASSERT_EQ(stored.size(), 10u);
  EXPECT_EQ(stored.front(), "n=15");
  EXPECT_EQ(stored.back(), "n=24");
  EXPECT_EQ(droppedInLog(logLines()), 15u);
  EXPECT_LE(logLines().size(), 2u);  // counted per batch, never one line per event

  // Two minutes later the old events have expired; the new one stays.
  clearCaptured();
  platform_->advanceBy(std::chrono::minutes(2));
  queue->addTask("n=new", "event");
  EXPECT_EQ(storedUploads(), std::vector<std::string>{"n=new"});
  EXPECT_EQ(droppedInLog(logLines()), 10u);
}

// The counters a host reads account for every event: tracked, stored, dropped by reason
// (the event limit while staged, expiry in the store, a burst past the staging bound), and
// pending (staged or stored).
TEST_F(ZEVSiteStorageTest, StatisticsAccountForEveryEvent) {
  auto storage = zevsite::EventStorage::forHome(home_);
  storage->setLimits(10, 60);
  auto queue = ZEVSiteTaskQueue::initWithSendSendCondition(6);
  for (int i = 0; i < 25; ++i) queue->addTask("n=" + std::to_string(i), "event");
  auto statistics = ZEVSiteSupport::statistics();
  EXPECT_EQ(statistics.tracked, 25u);
  EXPECT_EQ(statistics.dropped.eventLimit, 15u);  // dropped while staged: the limit is 10
  EXPECT_EQ(statistics.stored, 0u);               // the batch still gathers
  EXPECT_EQ(statistics.pending, 10u);
  ASSERT_EQ(storedUploads().size(), 10u);
  statistics = ZEVSiteSupport::statistics();
  EXPECT_EQ(statistics.stored, 10u);
  EXPECT_EQ(statistics.pending, 10u);

  platform_->advanceBy(std::chrono::minutes(2));  // past the age limit of 60 s
  queue->addTask("n=new", "event");
  ASSERT_EQ(storedUploads().size(), 1u);
  statistics = ZEVSiteSupport::statistics();
  EXPECT_EQ(statistics.dropped.expiry, 10u);
  EXPECT_EQ(statistics.stored, 11u);
  EXPECT_EQ(statistics.pending, 1u);

  // A burst larger than the staging area (three of these leave no room for a fourth). Blocking
  // (the default), the fourth call waits for the writer to take the three to disk: nothing is
  // lost.
  storage->setLimits(100'000, 604800);
  const std::string quarter(zevsite::EventStorage::kMaxStagedBytes / 4, 'm');
  for (int i = 0; i < 5; ++i) queue->addTask(quarter, "event");
  statistics = ZEVSiteSupport::statistics();
  EXPECT_EQ(statistics.dropped.overflow, 0u);
  EXPECT_EQ(statistics.stored, 11u + 3u);  // written while the fourth call waited
  EXPECT_EQ(statistics.pending, 1u + 5u);
  ASSERT_EQ(storedUploads().size(), 6u);
  // Dropping the oldest instead, the calls never wait: two of five go as overflow.
  ZEVSiteSupport::setOverflowPolicy(ZEVSiteOverflowPolicy::DropOldest);
  for (int i = 0; i < 5; ++i) queue->addTask(quarter, "event");
  statistics = ZEVSiteSupport::statistics();
  EXPECT_EQ(statistics.dropped.overflow, 2u);
  EXPECT_EQ(statistics.pending, 6u + 3u);
  ASSERT_EQ(storedUploads().size(), 9u);
  ZEVSiteSupport::setOverflowPolicy(ZEVSiteOverflowPolicy::Block);
  statistics = ZEVSiteSupport::statistics();
  EXPECT_EQ(statistics.tracked, 36u);
  EXPECT_EQ(statistics.stored, 19u);
  EXPECT_EQ(statistics.tracked,
            statistics.stored + statistics.dropped.eventLimit + statistics.dropped.overflow);
  EXPECT_EQ(statistics.delivered, 0u);
  EXPECT_FALSE(statistics.lastUploadMillis);
}

// Events are aged by time the SDK saw pass, not by the wall clock: a clock that was wrong
// when they were stored (a board that starts at 2001 until it gets the time) and is then
// set right, or a clock put weeks forward, deletes nothing; a week that really passes does.
TEST_F(ZEVSiteStorageTest, NoChangeOfTheWallClockExpiresEventsButRealAgeDoes) {
  constexpr std::int64_t k2001 = 978'307'200;
  const std::int64_t now = ZEVSitePlatform::real().currentTimeSeconds();
  platform_->setWallClockSeconds(k2001);
  auto queue = ZEVSiteTaskQueue::initWithSendSendCondition(6);
  for (int i = 0; i < 5; ++i) queue->addTask("old=" + std::to_string(i), "event");
  ASSERT_EQ(storedUploads().size(), 5u);

  // Each step lets more than the minute between expiry checks pass, then stores an event,
  // which runs the check.
  auto storeAfter = [&](std::chrono::nanoseconds passing, const std::string& upload) {
    platform_->advanceBy(passing);
    queue->addTask(upload, "event");
    return storedUploads();
  };
  platform_->setWallClockSeconds(now);  // the network gave the board the time
  EXPECT_EQ(storeAfter(std::chrono::minutes(2), "set=1").size(), 6u);
  platform_->setWallClockSeconds(now + 30 * 86400);  // a month forward
  EXPECT_EQ(storeAfter(std::chrono::minutes(2), "forward=1").size(), 7u);
  platform_->setWallClockSeconds(k2001);  // and back again
  EXPECT_EQ(storeAfter(std::chrono::minutes(2), "back=1").size(), 8u);
  EXPECT_EQ(droppedInLog(logLines()), 0u) << ::testing::PrintToString(logLines());

  // Six days on, nothing is a week old yet; eight days on, all but the newest are.
  EXPECT_EQ(storeAfter(std::chrono::hours(24 * 6), "day6=1").size(), 9u);
  EXPECT_EQ(storeAfter(std::chrono::hours(24 * 2), "day8=1"),
            (std::vector<std::string>{"day6=1", "day8=1"}));
  EXPECT_EQ(droppedInLog(logLines()), 8u);
}

// A store written by a version that kept no clock: its rows are aged by the times they
// recorded, so a row already past the expiry goes and the others stay as they were.
TEST_F(ZEVSiteStorageTest, AStoreWithoutAClockIsAgedByItsRecordedTimes) {
  ASSERT_EQ(ZEVSiteSupport::homeDirectory(), home_);  // creates Library/
  const std::string path = home_ + "/Library/zevsite-events.sqlite";
  const std::int64_t nowMillis = platform_->currentTimeMillis();
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const std::string sql =
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE events (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL,"
        " body TEXT NOT NULL, created_ms INTEGER NOT NULL);"
        "CREATE TABLE leases (token INTEGER PRIMARY KEY, first_id INTEGER NOT NULL,"
        " last_id INTEGER NOT NULL, until_ms INTEGER NOT NULL);"
        "INSERT INTO events(name, body, created_ms) VALUES('event', 'n=week', " +
        std::to_string(nowMillis - 8 * 86'400'000LL) + "), ('event', 'n=hour', " +
        std::to_string(nowMillis - 3'600'000) + ");";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  auto queue = ZEVSiteTaskQueue::initWithSendSendCondition(6);
  queue->addTask("n=new", "event");
  EXPECT_EQ(storedUploads(), (std::vector<std::string>{"n=hour", "n=new"}));
  // Six days and 23 hours on, the hour-old row is past a week old; the new one is not.
  platform_->advanceBy(std::chrono::hours(24 * 6 + 23) + std::chrono::minutes(1));
  queue->addTask("n=later", "event");
  EXPECT_EQ(storedUploads(), (std::vector<std::string>{"n=new", "n=later"}));
}

// How much time passed between two readings of the store's clock, taken perhaps by two
// processes: the boot clock within one boot whatever the wall clock did; across boots the
// wall clock only when it was set at both readings and went forward.
TEST(ZEVSiteStoreClock, ElapsedTimeTrustsTheBootClockAndOnlyASetWallClock) {
  using zevsite::StoreClockSample;
  constexpr std::int64_t kSet = zevsite::kEarliestSetWallMillis + 1'000'000;
  constexpr std::int64_t k2001 = 978'307'200'000;
  constexpr std::int64_t kDay = 86'400'000;
  auto at = [](std::int64_t wall, std::optional<zevsite::BootClock> boot) {
    return StoreClockSample{0, wall, std::move(boot)};
  };
  const zevsite::BootClock bootA{"a", 5'000};
  const zevsite::BootClock bootALater{"a", 65'000};
  const zevsite::BootClock bootB{"b", 1'000};
  struct Case {
    StoreClockSample earlier, now;
    std::int64_t elapsed;
  } cases[] = {
      {at(k2001, bootA), at(kSet, bootALater), 60'000},             // clock set meanwhile
      {at(kSet, bootA), at(kSet + 30 * kDay, bootALater), 60'000},  // clock put forward
      {at(kSet, bootA), at(kSet - kDay, bootALater), 60'000},       // clock put back
      {at(kSet, bootA), at(kSet + 3 * kDay, bootB), 3 * kDay},      // rebooted, clock set
      {at(k2001, bootA), at(kSet, bootB), 0},                       // rebooted, clock was unset
      {at(kSet, bootA), at(kSet - kDay, bootB), 0},                 // rebooted, clock went back
      {at(kSet, std::nullopt), at(kSet + kDay, std::nullopt), kDay},
      {at(kSet, bootALater), at(kSet, zevsite::BootClock{"a", 5'000}), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zevsite::elapsedBetween(c.earlier, c.now), c.elapsed)
        << c.earlier.wallMillis << " -> " << c.now.wallMillis;
  }

  // The time an event happened, from its age, replaces a recorded time that is off by more
  // than a minute; only the one "ts" key of an upload string changes.
  EXPECT_EQ(zevsite::correctedEventTime(kSet - 5'000, 5'000, kSet), std::nullopt);
  EXPECT_EQ(zevsite::correctedEventTime(k2001, 90'000, kSet), kSet - 90'000);
  EXPECT_EQ(zevsite::withEventTime("t=pageview&dts=1&ts=978307200000&sdkv=0.1", 42),
            "t=pageview&dts=1&ts=42&sdkv=0.1");
  EXPECT_EQ(zevsite::withEventTime("t=x&ts=7", 42), "t=x&ts=42");
  EXPECT_EQ(zevsite::withEventTime("t=x", 42), "t=x");
}

TEST_F(ZEVSiteStorageTest, CorruptStoreIsMovedAsideAndRecreated) {
  ASSERT_EQ(ZEVSiteSupport::homeDirectory(), home_);  // creates Library/
  {
    std::ofstream garbage(home_ + "/Library/zevsite-events.sqlite", std::ios::binary);
    garbage << std::string(8192, '\x5a');
  }
  auto queue = ZEVSiteTaskQueue::initWithSendSendCondition(6);
  queue->addTask("n=1", "event");
  EXPECT_EQ(storedUploads(), std::vector<std::string>{"n=1"});
  bool movedAside = false;
  for (const auto& entry : std::filesystem::directory_iterator(home_ + "/Library")) {
    movedAside |= entry.path().filename().string().rfind("zevsite-events.sqlite.corrupt-", 0) == 0;
  }
  EXPECT_TRUE(movedAside);
  bool logged = false;
  for (const auto& line : logLines()) logged |= line.find("was unreadable") != std::string::npos;
  EXPECT_TRUE(logged);
}

// Checkpoints keep the write-ahead log bounded, whoever commits: 60 MB of events pass
// through a log that never grows past the forced-checkpoint size.
TEST_F(ZEVSiteStorageTest, WriteAheadLogStaysBounded) {
  auto storage = zevsite::EventStorage::forHome(home_);
  storage->setLimits(100'000, 604800);
  auto queue = ZEVSiteTaskQueue::initWithSendSendCondition(6);
  const std::string body(2000, 'b');
  const std::string wal = home_ + "/Library/zevsite-events.sqlite-wal";
  std::uintmax_t largest = 0;
  for (int round = 0; round < 30; ++round) {
    for (int i = 0; i < 1000; ++i) queue->addTask(body, "event");
    ASSERT_TRUE(flushStorage());
    std::error_code ignored;
    largest = std::max(largest, std::filesystem::file_size(wal, ignored));
  }
  std::size_t stored = 0;
  storage->withStore([&](zevsite::EventStore& store) { stored = store.count().value_or(0); });
  EXPECT_EQ(stored, 30'000u);
  EXPECT_GT(largest, 0u);
  EXPECT_LT(largest, std::uintmax_t{zevsite::EventStore::kForcedCheckpointFrames + 600} * 4120);
}

// A store that cannot be written (a full disk, then a lost permission) is never mistaken for
// a corrupt one: the file and its events stay where they are, the new events wait in memory
// with one log line for the whole episode, and they are written once the fault clears.
TEST_F(ZEVSiteStorageTest, AFullDiskKeepsTheStoreAndWritesStagedEventsWhenItClears) {
  auto queue = ZEVSiteTaskQueue::initWithSendSendCondition(6);
  for (int i = 0; i < 20; ++i) queue->addTask("old=" + std::to_string(i), "event");
  ASSERT_EQ(storedUploads().size(), 20u);
  clearCaptured();

  std::atomic<int> fault{ENOSPC};
  platform_->setStoreFault([&](zevsite::StoreFileOp op, const std::string&) {
    return op == zevsite::StoreFileOp::Write || op == zevsite::StoreFileOp::Open ? fault.load() : 0;
  });
  for (int i = 0; i < 5; ++i) queue->addTask("new=" + std::to_string(i), "event");
  EXPECT_FALSE(flushStorage());
  const auto retriesBefore = platform_->waitDeadlines("zevsite-writer").size();
  for (int retry = 0; retry < 6; ++retry) {
    if (retry == 3) fault = EACCES;                  // another kind of failure, same episode
    platform_->advanceBy(std::chrono::seconds(20));  // a retry (at most 10 s apart) fails
  }
  EXPECT_GE(platform_->waitDeadlines("zevsite-writer").size(), retriesBefore + 6);
  std::size_t failureLines = 0;
  for (const auto& line : logLines()) {
    EXPECT_EQ(line.find("moved"), std::string::npos) << line;
    failureLines += line.find("kept in memory") != std::string::npos;
  }
  EXPECT_EQ(failureLines, 1u);
  for (const auto& entry : std::filesystem::directory_iterator(home_ + "/Library")) {
    EXPECT_EQ(entry.path().filename().string().find(".corrupt-"), std::string::npos);
  }

  platform_->setStoreFault(nullptr);
  // The next retry (at most 10 s of the clock away) writes them.
  auto storage = zevsite::EventStorage::forHome(home_);
  platform_->advanceBy(std::chrono::seconds(10));
  ASSERT_TRUE(flushStorage());
  auto stored = storedUploads();
  ASSERT_EQ(stored.size(), 25u);
  EXPECT_EQ(stored.front(), "old=0");
  EXPECT_EQ(stored.back(), "new=4");
  EXPECT_EQ(std::filesystem::status(home_ + "/Library/zevsite-events.sqlite").permissions() &
                std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// After the home directory is removed under a running host, the next batch goes into a new
// store at the same path, not into the unlinked file.
TEST_F(ZEVSiteStorageTest, ARemovedHomeDirectoryIsRecreatedBeforeTheNextBatch) {
  auto queue = ZEVSiteTaskQueue::initWithSendSendCondition(6);
  queue->addTask("before=1", "event");
  ASSERT_EQ(storedUploads().size(), 1u);
  std::filesystem::remove_all(home_);
  queue->addTask("after=1", "event");
  EXPECT_EQ(storedUploads(), std::vector<std::string>{"after=1"});
  EXPECT_TRUE(std::filesystem::exists(home_ + "/Library/zevsite-events.sqlite"));
}
