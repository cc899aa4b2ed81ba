#include "Platform/ZEVSiteDispatchPool.h"
#include "Platform/ZEVSiteFiles.h"
#include "Platform/ZEVSitePlatform.h"
#include "Platform/ZEVSiteUserDefaults.h"
#include "ZEVSiteTestSupport.h"
#include "ZEVUncaughtExceptionHandler.h"

#include <sys/stat.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>

TEST(ZEVSiteDispatchPool, RunsDelayedTasksInDueOrderNeverEarly) {
  // One worker: with two, tasks that are both overdue on a busy machine start in due order
  // but may finish the other way round.
  zevsite::DispatchPool pool(1);
  std::mutex mutex;
  std::condition_variable done;
  std::vector<int> order;
  std::vector<std::chrono::steady_clock::duration> waited;
  auto start = std::chrono::steady_clock::now();
  auto record = [&](int id) {
    return [&, id] {
      std::lock_guard lock(mutex);
      order.push_back(id);
      waited.push_back(std::chrono::steady_clock::now() - start);
      done.notify_all();
    };
  };
  pool.dispatchAfter(std::chrono::milliseconds(60), record(3));
  pool.dispatchAfter(std::chrono::milliseconds(30), record(2));
  pool.dispatchAsync(record(1));
  pool.dispatchAsync([] { throw std::runtime_error("a failing task does not kill the pool"); });
  std::unique_lock lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(10), [&] { return order.size() == 3; }));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_GE(waited[1], std::chrono::milliseconds(30));
  EXPECT_GE(waited[2], std::chrono::milliseconds(60));
}

TEST(ZEVSiteFiles, HomeDirectoryAtomicWritesAndUserDefaults) {
  std::string home = makeTemporaryDirectory() + "/nested/home";
  ZEVSiteSupport::setHomeDirectory(home);
  EXPECT_EQ(ZEVSiteSupport::homeDirectory(), home);
  struct stat info {};
  ASSERT_EQ(::stat((home + "/Library").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  std::string file = home + "/Library/file";
  EXPECT_TRUE(zevsite::files::writeFileAtomically(file, std::string("one\0two", 7)));
  EXPECT_EQ(zevsite::files::readFile(file), std::string("one\0two", 7));
  EXPECT_FALSE(zevsite::files::writeFileAtomically(home + "/missing-dir/file", "x"));
  EXPECT_EQ(zevsite::files::readFile(file), std::string("one\0two", 7));
  // No temporary file is left behind.
  int entries = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(home + "/Library")) {
    ++entries;
  }
  EXPECT_EQ(entries, 1);

  {
    zevsite::UserDefaults defaults(home);
    EXPECT_EQ(defaults.integerForKey("missing"), 0);
    defaults.setInteger(-42, "negative");
    defaults.setInteger(INT64_MAX, "largest");
    defaults.setString("line\nwith\\escapes\tand tab", "text");
    EXPECT_TRUE(defaults.synchronize());
  }
  zevsite::UserDefaults reloaded(home);
  EXPECT_EQ(reloaded.integerForKey("negative"), -42);
  EXPECT_EQ(reloaded.integerForKey("largest"), INT64_MAX);
  EXPECT_EQ(reloaded.stringForKey("text"), "line\nwith\\escapes\tand tab");
  EXPECT_EQ(reloaded.findInteger("text"), std::nullopt);
  // The platform hands out one shared store per home directory.
  EXPECT_EQ(ZEVSitePlatform::current().standardUserDefaults(),
            ZEVSitePlatform::current().standardUserDefaults());
  std::filesystem::remove_all(home.substr(0, home.size() - std::string("/nested/home").size()));
}

namespace {
[[noreturn]] void hostTerminateHandler() {
  std::fputs("host handler ran\n", stderr);
  std::abort();
}
}  // namespace

TEST(ZEVUncaughtExceptionHandlerDeathTest, LogsThenChainsToThePreviousHandlerOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        std::set_terminate(&hostTerminateHandler);
        ZEVSiteLoger::setDebug(true);
        ZEVUncaughtExceptionHandler::installZEVUncaughtExceptionHandler(true, false);
        auto ours = std::get_terminate();
        // Installing again keeps ours current and must not make it its own predecessor
        // (that would loop forever instead of reaching the host's handler).
        ZEVUncaughtExceptionHandler::installZEVUncaughtExceptionHandler(true, false);
        if (std::get_terminate() != ours) std::exit(3);
        try {
          throw std::runtime_error("boom from the host");
        } catch (...) {
          std::terminate();
        }
      },
      "uncaught exception: boom from the host\n(.|\n)*host handler ran");
}
