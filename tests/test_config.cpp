#include "Config/ZEVSiteConfigCache.h"
#include "Config/ZEVSiteConfigRefresh.h"
#include "Config/ZEV_XMLReader.h"
#include "ZEVSiteRecordingCollector.h"
#include "ZEVSiteTestSupport.h"

#include <httplib.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

namespace {

constexpr std::int64_t kNow = 1'800'000'000;
const std::string kDocument =
    "<config><offlineCache><length>500</length><queueExpirationSecs>3600</queueExpirationSecs>"
    "<timeout>5</timeout></offlineCache><SDKConfig><idfa>true</idfa></SDKConfig>"
    "<companies><company id=\"K\">V</company><company id=\"L\"> W </company></companies></config>";

}  // namespace

class ZEVSiteConfigTest : public ZEVSiteTest {
 protected:
  void SetUp() override {
    ZEVSiteTest::SetUp();
    platform_->setWallClockSeconds(kNow);
    ZEVSiteNetworkStatusSimple::setProvider([this] { return status_.load(); });
    ZEVSiteSupport::setRequestTimeout(std::chrono::milliseconds(1500));
    auto& server = server_.server();
    server.Get("/doc/(.*)", [this](const httplib::Request& request, httplib::Response& response) {
      {
        std::lock_guard lock(requestsMutex_);
        requests_.push_back(request.path);
        userAgents_.push_back(request.get_header_value("User-Agent"));
      }
      response.set_content(kDocument + "<!--" + request.matches[1].str() + "-->", "text/xml");
    });
    server.Get("/missing", [](const httplib::Request&, httplib::Response& response) {
      response.status = 404;
      response.set_content(kDocument, "text/xml");
    });
    server.Get("/slow", [this](const httplib::Request&, httplib::Response& response) {
      std::unique_lock lock(slowMutex_);
      const int concurrent = ++slowInFlight_;
      mostSlowInFlight_ = std::max(mostSlowInFlight_.load(), concurrent);
      slowChanged_.notify_all();
      // Held until the test lets it go, or longer than the SDK waits for an answer.
      slowChanged_.wait_for(lock, std::chrono::seconds(3), [this] { return release_.load(); });
      --slowInFlight_;
      ++slowServed_;
      response.set_content(kDocument, "text/xml");
    });
    server.Get("/huge", [](const httplib::Request&, httplib::Response& response) {
      std::string body = "<config>" + std::string((1 << 20) - 16, ' ') + "</config>";
      response.set_content(body, "text/xml");  // 1 MiB + 1 byte
    });
    server.Get("/malformed", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("<config><offlineCache>", "text/xml");
    });
    server.Get("/other-root", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("<settings/>", "text/xml");
    });
    server.Get("/bad-number", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("<config><offlineCache><length>-1</length></offlineCache></config>",
                           "text/xml");
    });
    server.Get(
        R"(/redirect/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
          int left = std::stoi(request.matches[1].str());
          std::string origin = "http://" + request.get_header_value("Host");
          response.set_redirect(left == 0 ? origin + "/doc/redirected"
                                          : origin + "/redirect/" + std::to_string(left - 1));
        });
    const std::string collectURL = server_.start();
    base_ = collectURL.substr(0, collectURL.rfind('/'));
    manager_ = ZEVSiteManager::sharedInstanceWithAppId("123", "store");
    platform_->advanceBy(std::chrono::seconds(1));  // its start-up work, out of the way
    platform_->setWallClockSeconds(kNow);
    clearCaptured();  // with the line its event logs for want of a collect URL
  }
  void TearDown() override {
    server_.stop();
    ZEVSiteNetworkStatusSimple::setProvider(nullptr);
    ZEVSiteTest::TearDown();
  }

  void setLastUpdate(std::optional<std::int64_t> seconds) {
    auto defaults = ZEVSitePlatform::current().standardUserDefaults();
    if (seconds) defaults->setInteger(*seconds, "SDK_CONFIG_LAST_UPDATE_KEY");
  }
  std::int64_t lastUpdate() {
    return ZEVSitePlatform::current().standardUserDefaults()->integerForKey(
        "SDK_CONFIG_LAST_UPDATE_KEY");
  }
  std::optional<std::string> cacheFile() {
    std::ifstream in(home_ + "/Library/SDK_CONFIG_DATA_KEY", std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::string> requests() {
    std::lock_guard lock(requestsMutex_);
    return requests_;
  }
  // Runs the pending refresh task and waits for the download it started.
  void runRefresh() {
    platform_->runUntilIdle();
    EXPECT_TRUE(zevsite::ConfigRefresh::shared().waitIdle(std::chrono::steady_clock::now() +
                                                          std::chrono::seconds(10)));
  }

  std::atomic<ZEVSiteNetworkStatus> status_{ZEVSiteNetworkStatus_WiFi};
  // Lets the slow route answer.
  void releaseSlow() {
    std::lock_guard lock(slowMutex_);
    release_ = true;
    slowChanged_.notify_all();
  }
  // Waits (a failure guard of 10 s) until a download of the slow route is being answered.
  bool waitForSlowDownload() {
    std::unique_lock lock(slowMutex_);
    return slowChanged_.wait_for(lock, std::chrono::seconds(10),
                                 [this] { return slowInFlight_ > 0; });
  }

  // Taken by the slow route's handler (a server thread) and the test; slowChanged_ is
  // notified when release_ or slowInFlight_ changes.
  std::mutex slowMutex_;
  std::condition_variable slowChanged_;
  std::atomic<bool> release_{false};
  std::atomic<int> slowInFlight_{0}, mostSlowInFlight_{0}, slowServed_{0};
  ZEVSiteRecordingCollector server_;
  std::string base_;
  std::mutex requestsMutex_;
  std::vector<std::string> requests_;
  std::vector<std::string> userAgents_;  // of the /doc/ requests, guarded by requestsMutex_
  std::shared_ptr<ZEVSiteManager> manager_;
};

TEST_F(ZEVSiteConfigTest, NetworkStatusAndAgeDecideWhetherARefreshStarts) {
  struct Case {
    ZEVSiteNetworkStatus status;
    std::optional<std::int64_t> age;  // nothing: no timestamp stored
    bool refresh;
  };
  const std::vector<Case> cases = {
      {ZEVSiteNetworkStatus_WiFi, std::nullopt, true},
      {ZEVSiteNetworkStatus_3G, std::nullopt, true},
      {ZEVSiteNetworkStatus_None, std::nullopt, false},
      {ZEVSiteNetworkStatus_WWAN, std::nullopt, false},
      {ZEVSiteNetworkStatus_2G, std::nullopt, false},
      {ZEVSiteNetworkStatus_4G, std::nullopt, false},
      {ZEVSiteNetworkStatus_Unknown, std::nullopt, false},
      {static_cast<ZEVSiteNetworkStatus>(42), std::nullopt, false},
      {ZEVSiteNetworkStatus_WiFi, 86400, false},
      {ZEVSiteNetworkStatus_WiFi, 86401, true},
      {ZEVSiteNetworkStatus_3G, 259200, false},
      {ZEVSiteNetworkStatus_3G, 259201, true},
      {ZEVSiteNetworkStatus_3G, 2 * 86400, false},
      {ZEVSiteNetworkStatus_WiFi, 2 * 86400, true},
      {ZEVSiteNetworkStatus_WiFi, -1000, false},  // a timestamp in the future
  };
  for (const auto& c : cases) {
    runRefresh();
    std::string fresh = makeTemporaryDirectory();
    ZEVSiteSupport::setHomeDirectory(fresh);  // a home with its own (empty) user defaults
    if (c.age) setLastUpdate(kNow - *c.age);
    status_ = c.status;
    manager_->configFromUrl(base_ + "/doc/x");
    EXPECT_EQ(platform_->pendingTasks(), c.refresh ? 1u : 0u)
        << "status " << c.status << " age " << c.age.value_or(-1);
    runRefresh();
    ZEVSiteSupport::setHomeDirectory(home_);
    std::filesystem::remove_all(fresh);
  }
  // The future timestamp allows a refresh once the clock has passed it by a day.
  setLastUpdate(kNow + 1000);
  manager_->configFromUrl(base_ + "/doc/x");
  EXPECT_EQ(platform_->pendingTasks(), 0u);
  platform_->setWallClockSeconds(kNow + 1000 + 86401);
  manager_->configFromUrl(base_ + "/doc/x");
  EXPECT_EQ(platform_->pendingTasks(), 1u);
  EXPECT_TRUE(logLines().empty());
}

TEST_F(ZEVSiteConfigTest, RefreshUsesTheNewestUrlAndCachesTheExactBytes) {
  manager_->configFromUrl(base_ + "/doc/first");  // schedules the refresh
  status_ = ZEVSiteNetworkStatus_None;
  manager_->configFromUrl(base_ + "/doc/second");  // only stores the URL
  EXPECT_EQ(ZEVSiteManagerTestAccess::sdkConfigURL(*manager_), base_ + "/doc/second");
  platform_->setWallClockSeconds(kNow + 7);  // the download ends "later"
  runRefresh();
  EXPECT_EQ(requests(), std::vector<std::string>{"/doc/second"});
  {
    // The download names the SDK, as uploads do.
    std::lock_guard lock(requestsMutex_);
    ASSERT_EQ(userAgents_.size(), 1u);
    EXPECT_EQ(userAgents_[0].rfind("ZEVSiteSDK/" + std::string(ZEVSiteSupport::sdkVersion()), 0),
              0u)
        << userAgents_[0];
  }
  EXPECT_EQ(cacheFile(), kDocument + "<!--second-->");
  EXPECT_EQ(lastUpdate(), kNow + 7);
  // The cached document's limits reach the event store: 500 events, one hour.
  EXPECT_TRUE(logLines().empty());
}

TEST_F(ZEVSiteConfigTest, FailedRefreshesLeaveFileAndTimestampAlone) {
  const std::vector<ZEVSiteText> failing = {
      base_ + "/missing",    base_ + "/slow",       base_ + "/huge",       base_ + "/malformed",
      base_ + "/other-root", base_ + "/bad-number",
      base_ + "/redirect/5",  // six redirects
      std::nullopt,          "not a url",           "ftp://127.0.0.1/doc", "http://"};
  for (const auto& url : failing) {
    manager_->configFromUrl(url);
    runRefresh();
    EXPECT_EQ(cacheFile(), std::nullopt) << url.value_or("(absent)");
    EXPECT_EQ(lastUpdate(), 0) << url.value_or("(absent)");
  }
  releaseSlow();

  // Four redirects are followed; a file URL works too.
  manager_->configFromUrl(base_ + "/redirect/3");
  runRefresh();
  EXPECT_EQ(cacheFile(), kDocument + "<!--redirected-->");
  std::string local = home_ + "/local.xml";
  std::ofstream(local) << "<config/>";
  setLastUpdate(0);
  manager_->configFromUrl("file://" + local);
  runRefresh();
  EXPECT_EQ(cacheFile(), "<config/>");

  // A cache file that cannot be replaced: the refresh does not count.
  setLastUpdate(0);
  std::filesystem::remove(home_ + "/Library/SDK_CONFIG_DATA_KEY");
  std::filesystem::create_directory(home_ + "/Library/SDK_CONFIG_DATA_KEY");
  std::filesystem::create_directory(home_ + "/Library/SDK_CONFIG_DATA_KEY/keep");
  manager_->configFromUrl(base_ + "/doc/x");
  runRefresh();
  EXPECT_EQ(lastUpdate(), 0);
  EXPECT_TRUE(logLines().empty());  // the refresh task never logs
}

TEST_F(ZEVSiteConfigTest, RefreshOfAGoneManagerFetchesNothingAndProviderErrorsAreLogged) {
  manager_->configFromUrl(base_ + "/doc/x");
  ZEVSiteManager::sharedInstanceWithAppId("", "replaced");  // drops the shared reference
  std::weak_ptr<ZEVSiteManager> gone = manager_;
  manager_.reset();
  platform_->advanceBy(std::chrono::seconds(2));  // its start-up work runs and lets go of it
  EXPECT_TRUE(gone.expired());
  EXPECT_TRUE(requests().empty());
  EXPECT_EQ(cacheFile(), std::nullopt);

  clearCaptured();
  auto manager = ZEVSiteManager::init();
  ZEVSiteNetworkStatusSimple::setProvider(
      []() -> ZEVSiteNetworkStatus { throw std::runtime_error("status unavailable"); });
  manager->configFromUrl("http://stored.example/doc");
  EXPECT_EQ(logLines(), std::vector<std::string>{"##configFromURL exception:status unavailable"});
  EXPECT_EQ(ZEVSiteManagerTestAccess::sdkConfigURL(*manager), "http://stored.example/doc");
  EXPECT_EQ(platform_->pendingTasks(), 0u);
}

// A refresh whose download thread cannot be started marks nothing as running: it logs
// nothing, nothing escapes to the pool, and the next configFromUrl that qualifies downloads.
TEST_F(ZEVSiteConfigTest, ARefreshWithoutAThreadLeavesTheNextOneFree) {
  platform_->setThreadStartFails(true);
  manager_->configFromUrl(base_ + "/doc/lost");
  EXPECT_NO_THROW(platform_->runUntilIdle());  // the refresh task hands the download on
  platform_->setThreadStartFails(false);
  // Neither running nor waiting (answered without waiting).
  EXPECT_TRUE(zevsite::ConfigRefresh::shared().waitIdle(std::chrono::steady_clock::now()));
  EXPECT_TRUE(requests().empty());
  EXPECT_EQ(cacheFile(), std::nullopt);
  EXPECT_EQ(lastUpdate(), 0);

  manager_->configFromUrl(base_ + "/doc/next");
  runRefresh();
  EXPECT_EQ(requests(), std::vector<std::string>{"/doc/next"});
  EXPECT_EQ(cacheFile(), kDocument + "<!--next-->");
  EXPECT_TRUE(logLines().empty());
}

// Downloads run off the shared pool, one at a time: the start-up work is on time while two
// refreshes wait for a server that does not answer, and a FIFO named by a file URL is
// refused instead of blocking a thread for good.
TEST_F(ZEVSiteConfigTest, DownloadsNeverHoldThePoolAndRunOneAtATime) {
  const std::string fifo = home_ + "/config.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& local : {"file://" + fifo, std::string("file:///dev/zero"),
                                   "file://" + home_, "file://elsewhere" + home_ + "/x"}) {
    manager_->configFromUrl(local);
    runRefresh();  // returns: nothing blocks
    EXPECT_EQ(cacheFile(), std::nullopt) << local;
  }

  auto second = ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  manager_->configFromUrl(base_ + "/slow");
  platform_->runUntilIdle();  // the refresh task only hands the download on
  ASSERT_TRUE(waitForSlowDownload());
  ASSERT_EQ(slowInFlight_, 1);
  manager_->configFromUrl(base_ + "/slow");  // waits for the first
  platform_->runUntilIdle();
  clearCaptured();
  platform_->advanceBy(std::chrono::seconds(1));  // the second manager's start-up work
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0].name, "init");
  EXPECT_EQ(slowServed_, 0);  // both downloads still to come
  releaseSlow();
  runRefresh();
  EXPECT_EQ(slowServed_, 2);
  EXPECT_EQ(mostSlowInFlight_, 1);
  EXPECT_EQ(cacheFile(), kDocument);
}

// Limits read from a document are clamped into sane ranges with a log line: an expiry of
// INT64_MAX seconds no longer makes every stored event look expired.
TEST_F(ZEVSiteConfigTest, AbsurdLimitsAreClampedAndNeverEmptyTheStore) {
  ZEV_SDKConfig absurd;
  absurd.offlineCache.length = 0;
  absurd.offlineCache.queueExpirationSecs = std::numeric_limits<std::int64_t>::max();
  absurd.offlineCache.timeout = 99999;
  auto limits = zevsite::config::limitsOf(absurd);
  EXPECT_EQ(limits.maxEvents, 1u);
  EXPECT_EQ(limits.expirationSecs, 365 * 86400);
  EXPECT_EQ(limits.timeout, std::chrono::seconds(3600));
  EXPECT_EQ(logLines(),
            (std::vector<std::string>{
                "[Site] configuration length 0 is outside 1..100000; using 1",
                "[Site] configuration queueExpirationSecs 9223372036854775807 is outside "
                "60..31536000; using 31536000",
                "[Site] configuration timeout 99999 is outside 5..3600; using 3600"}));

  // A downloaded document with such an expiry: the stored events stay.
  clearCaptured();
  const std::string document = home_ + "/absurd.xml";
  std::ofstream(document)
      << "<config><offlineCache><queueExpirationSecs>9223372036854775807</queueExpirationSecs>"
         "</offlineCache></config>";
  manager_->configFromUrl("file://" + document);
  runRefresh();
  EXPECT_EQ(logLines(), std::vector<std::string>{
                            "[Site] configuration queueExpirationSecs 9223372036854775807 is "
                            "outside 60..31536000; using 31536000"});
  manager_->trackPageView("kept");
  platform_->advanceBy(std::chrono::minutes(2));  // past the store's expiry check
  manager_->trackPageView("later");
  std::vector<std::string> names;
  for (const auto& upload : storedUploads()) {
    names.push_back(ZEVSiteUpload::decode(upload).get("t").value_or(""));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"init", "pageview", "pageview"}));
}

TEST(ZEV_XMLReader, AcceptsTheDocumentFormatAndRejectsEverythingElse) {
  auto full = ZEV_XMLReader::sdkConfigWithData(kDocument);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->offlineCache.length, 500);
  EXPECT_EQ(full->offlineCache.queueExpirationSecs, 3600);
  EXPECT_EQ(full->offlineCache.timeout, 5);
  EXPECT_TRUE(full->SDKConfig.idfa);
  EXPECT_EQ(full->companies, (ZEVSiteDictionary{{"K", "V"}, {"L", " W "}}));

  auto defaults = ZEV_XMLReader::sdkConfigWithData(std::string("<?xml version=\"1.0\"?><config/>"));
  ASSERT_TRUE(defaults);
  EXPECT_EQ(defaults->offlineCache.length, 10000);
  EXPECT_EQ(defaults->offlineCache.queueExpirationSecs, 604800);
  EXPECT_EQ(defaults->offlineCache.timeout, 30);
  EXPECT_FALSE(defaults->SDKConfig.idfa);
  EXPECT_TRUE(defaults->companies.empty());

  struct Case {
    std::string document;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"<config><offlineCache><length> 12 </length></offlineCache></config>", true},
      {"<config><SDKConfig><idfa>1</idfa></SDKConfig></config>", true},
      {"<config><SDKConfig><idfa>0</idfa></SDKConfig></config>", true},
      {"<config><unknown>x</unknown></config>", true},
      {"", false},
      {"<config>", false},
      {"<settings/>", false},
      {"<config/><config/>", false},
      {"<config><offlineCache><length>-1</length></offlineCache></config>", false},
      {"<config><offlineCache><length>+1</length></offlineCache></config>", false},
      {"<config><offlineCache><length>1.5</length></offlineCache></config>", false},
      {"<config><offlineCache><length></length></offlineCache></config>", false},
      {"<config><offlineCache><timeout>99999999999999999999</timeout></offlineCache></config>",
       false},
      {"<config><SDKConfig><idfa>yes</idfa></SDKConfig></config>", false},
      {"<config><SDKConfig><idfa>TRUE</idfa></SDKConfig></config>", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ZEV_XMLReader::sdkConfigWithData(c.document).has_value(), c.accepted) << c.document;
  }
  EXPECT_FALSE(ZEV_XMLReader::sdkConfigWithData(std::optional<std::string>{}));

  // Entities declared in a DTD are never expanded: the reference stays as text.
  auto withDoctype = ZEV_XMLReader::sdkConfigWithData(std::string(
      "<!DOCTYPE config [<!ENTITY e \"expanded\">]><config><companies><company id=\"a\">&e;"
      "</company></companies></config>"));
  ASSERT_TRUE(withDoctype);
  EXPECT_EQ(withDoctype->companies, (ZEVSiteDictionary{{"a", "&e;"}}));
}
