// The home directory and what lives in it: the per-application default, refusal of another
// user's directory, the client id kept off the host's threads, damaged user defaults.
#include "support/ZEVSiteTestSupport.h"

#include "Platform/ZEVSiteFiles.h"
#include "Platform/ZEVSiteUserDefaults.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

namespace {

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeWhole(const std::string& path, std::string_view bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

std::vector<std::string> filesStartingWith(const std::string& directory, std::string_view prefix) {
  std::vector<std::string> found;
  for (auto& entry : std::filesystem::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with(prefix)) found.push_back(entry.path().string());
  }
  return found;
}

std::size_t countContaining(const std::vector<std::string>& lines, std::string_view text) {
  std::size_t count = 0;
  for (const auto& line : lines) count += line.find(text) != std::string::npos;
  return count;
}

}  // namespace

TEST(ZEVSiteHomeDirectory, TheDefaultIsPerApplicationAndNeverATemporaryDirectory) {
  struct Case {
    std::map<std::string, std::string> environment;
    std::string passwordHome;
    std::string application;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{{"ZEVSITE_HOME", "/srv/z"}, {"XDG_DATA_HOME", "/x"}, {"HOME", "/h"}},
       "/pw",
       "app",
       "/srv/z"},
      {{{"XDG_DATA_HOME", "/x/"}, {"HOME", "/h"}}, "/pw", "shop", "/x/zevsite/shop"},
      // A relative XDG_DATA_HOME is ignored.
      {{{"XDG_DATA_HOME", "data"}, {"HOME", "/h"}}, "/pw", "shop", "/h/.local/share/zevsite/shop"},
      {{{"ZEVSITE_HOME", ""}, {"HOME", "/h"}}, "/pw", "shop", "/h/.local/share/zevsite/shop"},
      // No HOME: the password database's home.
      {{}, "/home/pw", "shop", "/home/pw/.local/share/zevsite/shop"},
      // No home at all: none, rather than a shared temporary directory.
      {{}, "", "shop", ""},
      // The application name is one safe path component.
      {{{"HOME", "/h"}}, "", "my app/../x", "/h/.local/share/zevsite/my_app_.._x"},
      {{{"HOME", "/h"}}, "", "..", "/h/.local/share/zevsite/application"},
      {{{"HOME", "/h"}}, "", "", "/h/.local/share/zevsite/application"},
  };
  for (const auto& c : cases) {
    zevsite::files::HomeEnvironment environment{
        [&](const char* name) -> const char* {
          auto found = c.environment.find(name);
          return found == c.environment.end() ? nullptr : found->second.c_str();
        },
        [&] { return c.passwordHome; }, c.application};
    EXPECT_EQ(zevsite::files::defaultHomeDirectory(environment), c.expected)
        << "application " << c.application;
  }
  // Two programs get two homes: the name comes from the running executable.
  EXPECT_EQ(zevsite::files::applicationName(), "zevsite_tests");
}

class ZEVSiteHomeTest : public ZEVSiteTest {};

TEST_F(ZEVSiteHomeTest, AnotherUsersDirectoryIsRefusedAndEventsWaitInMemoryForAHome) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a directory of another user";
  const std::string foreign = makeTemporaryDirectory();
  ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
  ZEVSiteSupport::setHomeDirectory(foreign);
  EXPECT_EQ(ZEVSiteSupport::homeDirectory(), "");
  EXPECT_EQ(countContaining(logLines(), "is refused"), 1u);

  auto manager = ZEVSiteManager::initWithAppId("123", "store");
  manager->trackPageView("Waiting", {});
  EXPECT_FALSE(ZEVSiteSupport::flush(std::chrono::milliseconds(100)));
  EXPECT_EQ(countContaining(logLines(), "is refused"), 1u) << "logged once, not per attempt";
  // Nothing was written into the other user's directory.
  EXPECT_TRUE(std::filesystem::is_empty(foreign));

  ZEVSiteSupport::setHomeDirectory(home_);
  auto stored = storedUploads();  // written now
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(ZEVSiteUpload::decode(stored[0]).get("dt"), "Waiting");
  std::filesystem::remove_all(foreign);
}

// Records the threads that reach the user defaults.
class DefaultsWatchingPlatform : public zevsite::ForwardingPlatform {
 public:
  using zevsite::ForwardingPlatform::ForwardingPlatform;
  std::shared_ptr<zevsite::UserDefaults> standardUserDefaults() override {
    {
      std::lock_guard lock(mutex_);
      threads_.insert(std::this_thread::get_id());
    }
    return zevsite::ForwardingPlatform::standardUserDefaults();
  }
  std::set<std::thread::id> threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;  // guards threads_
  std::set<std::thread::id> threads_;
};

TEST_F(ZEVSiteHomeTest, TrackingCallsFindTheClientIdWithoutTouchingTheDefaults) {
  auto watching = std::make_shared<DefaultsWatchingPlatform>(*platform_);
  ZEVSitePlatform::install(watching);
  const std::string fresh = home_ + "/fresh";
  ZEVSiteSupport::setHomeDirectory(fresh);

  auto manager = ZEVSiteManager::initWithAppId("123", "store");
  manager->trackPageView("First", {});
  manager->trackEvent("shop", "buy", "", 1, {});
  EXPECT_EQ(watching->threads().count(std::this_thread::get_id()), 0u)
      << "the host's thread read or wrote the user defaults";

  // The id the events carry is the one persisted (by the background) for this home.
  auto observed = events();
  ASSERT_EQ(observed.size(), 2u);
  const auto cid = observed[0].decoded().get("cid");
  ASSERT_TRUE(cid);
  EXPECT_EQ(observed[1].decoded().get("cid"), cid);
  EXPECT_EQ(ZEVSiteManager::getCid(), *cid);
  // The background writes it soon after it is in memory.
  std::string persisted;
  for (int attempt = 0; attempt < 500 && persisted != *cid; ++attempt) {
    if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    persisted = std::to_string(zevsite::UserDefaults(fresh).integerForKey("ZEVSITE_CLIENT_ID"));
  }
  EXPECT_EQ(persisted, *cid);
  ZEVSitePlatform::install(platform_);
}

TEST_F(ZEVSiteHomeTest, DamagedUserDefaultsAreLoggedOnceKeptAsideAndSalvaged) {
  const std::string preferences = home_ + "/Library/Preferences";
  const std::string path = preferences + "/zevsite.defaults";
  const std::string damaged = std::string("ZEVSITE_CLIENT_ID\ti42\n") + "\x01\x02 junk\n" +
                              "no tab on this line\n" + "\tno key\n" + "badtag\tx1\n" +
                              "badint\ti12z\n" + "badescape\ts\\q\n" + "SDK_ACTIVATED\ti1\n" +
                              "torn\ts";
  writeWhole(path, damaged);
  {
    zevsite::UserDefaults defaults(home_);
    EXPECT_EQ(defaults.integerForKey("ZEVSITE_CLIENT_ID"), 42);
    EXPECT_EQ(defaults.integerForKey("SDK_ACTIVATED"), 1);
    EXPECT_EQ(defaults.findInteger("badint"), std::nullopt);
    EXPECT_EQ(countContaining(logLines(), "are damaged (7 unreadable lines)"), 1u);
    auto aside = filesStartingWith(preferences, "zevsite.defaults.corrupt-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(readWhole(aside[0]), damaged) << "the bad file is kept for inspection as it was";
    EXPECT_TRUE(defaults.synchronize());
  }
  clearCaptured();
  zevsite::UserDefaults rewritten(home_);
  EXPECT_EQ(rewritten.integerForKey("ZEVSITE_CLIENT_ID"), 42);
  EXPECT_EQ(countContaining(logLines(), "damaged"), 0u) << "the salvaged file reads cleanly";

  // A file far larger than any defaults is not read at all.
  std::filesystem::remove(filesStartingWith(preferences, "zevsite.defaults.corrupt-")[0]);
  writeWhole(path, std::string(zevsite::UserDefaults::kMaxFileBytes + 1, 'x'));
  zevsite::UserDefaults oversized(home_);
  EXPECT_EQ(oversized.findInteger("ZEVSITE_CLIENT_ID"), std::nullopt);
  EXPECT_EQ(countContaining(logLines(), "larger than 1 MiB"), 1u);
  EXPECT_EQ(filesStartingWith(preferences, "zevsite.defaults.corrupt-").size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(path));
}
