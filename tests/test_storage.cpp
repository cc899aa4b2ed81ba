#include "Queue/ZEVSiteEventStorage.h"
#include "ZEVSiteTaskQueue.h"
#include "ZEVSiteTestSupport.h"

#include <filesystem>
#include <fstream>
#include <regex>

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

}  // namespace

class ZEVSiteStorageTest : public ZEVSiteTest {};

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

TEST_F(ZEVSiteStorageTest, LengthCapAndExpiryDropOldestWithCountedLogLines) {
  auto storage = ZEVSiteEventStorage::forHome(home_);
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
  auto storage = ZEVSiteEventStorage::forHome(home_);
  storage->setLimits(100'000, 604800);
  auto queue = ZEVSiteTaskQueue::initWithSendSendCondition(6);
  const std::string body(2000, 'b');
  const std::string wal = home_ + "/Library/zevsite-events.sqlite-wal";
  std::uintmax_t largest = 0;
  for (int round = 0; round < 30; ++round) {
    for (int i = 0; i < 1000; ++i) queue->addTask(body, "event");
    ASSERT_TRUE(ZEVSiteSupport::flush(std::chrono::seconds(20)));
    std::error_code ignored;
    largest = std::max(largest, std::filesystem::file_size(wal, ignored));
  }
  std::size_t stored = 0;
  storage->withStore([&](ZEVSiteEventStore& store) { stored = store.count(); });
  EXPECT_EQ(stored, 30'000u);
  EXPECT_GT(largest, 0u);
  EXPECT_LT(largest, std::uintmax_t{ZEVSiteEventStore::kForcedCheckpointFrames + 600} * 4120);
}
