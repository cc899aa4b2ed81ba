#include <ZEVSiteSDK/ZEVSiteLoger.h>
#include <ZEVSiteSDK/ZEVSiteManager.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

TEST(ZEVSiteLoger, FormatsSwitchesAndNeverThrows) {
  std::vector<std::string> lines;
  ZEVSiteLoger::setSink([&](std::string_view line) { lines.emplace_back(line); });

  ZEVSiteLoger::adLog("off by default");
  EXPECT_TRUE(lines.empty());

  ZEVSiteManager::setEnableLog(true);  // needs no manager
  EXPECT_TRUE(ZEVSiteLoger::isDebug());
  EXPECT_EQ(ZEVSiteManager::shareInstance(), nullptr);

  ZEVSiteLoger::adLog("event name is nil!");
  ZEVSiteLoger::adLog("##configFromURL exception:%@", std::runtime_error("no route"));
  ZEVSiteLoger::adLog("%@ and %@ of %@", std::string("a"), 42, ZEVSiteText{});
  ZEVSiteLoger::adLog("100% sure %@");  // a lone % stays; a missing argument reads (null)
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "event name is nil!");
  EXPECT_EQ(lines[1], "##configFromURL exception:no route");
  EXPECT_EQ(lines[2], "a and 42 of (null)");
  EXPECT_EQ(lines[3], "100% sure (null)");

  // A throwing sink must not reach the caller.
  ZEVSiteLoger::setSink([](std::string_view) { throw std::runtime_error("sink broke"); });
  EXPECT_NO_THROW(ZEVSiteLoger::adLog("still fine"));

  // Lines from several threads arrive whole.
  std::vector<std::string> concurrent;
  ZEVSiteLoger::setSink([&](std::string_view line) { concurrent.emplace_back(line); });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) ZEVSiteLoger::adLog("thread %@ line %@", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(concurrent.size(), 800u);
  for (const auto& line : concurrent) EXPECT_EQ(line.rfind("thread ", 0), 0u) << line;

  ZEVSiteManager::setEnableLog(false);
  ZEVSiteLoger::adLog("silent again");
  EXPECT_EQ(concurrent.size(), 800u);
  ZEVSiteLoger::setSink(nullptr);
}
