#include "Save/ZEVSiteDeepLinkModel.h"
#include "ZEVSiteTestSupport.h"

#include <atomic>
#include <map>
#include <thread>

namespace {

struct RecordState {
  ZEVSiteText qxc, qxs, lastQxc, lastQxs;
  bool deepLinkInit = false, deepLinkPacket = false, sdkInit = false;
  bool operator==(const RecordState&) const = default;
};

RecordState snapshot() {
  auto& record = ZEVSiteDeepLinkModel::shareInstance();
  std::lock_guard lock(record.lock());
  return {record.qxc(),     record.qxs(),          record.lastQxc(),
          record.lastQxs(), record.deepLinkInit(), record.DeepLinkPacket(),
          record.SdkInit()};
}

void resetRecord(bool sdkInit = false) {
  auto& record = ZEVSiteDeepLinkModel::shareInstance();
  std::lock_guard lock(record.lock());
  record.setQxc(std::nullopt);
  record.setQxs(std::nullopt);
  record.setLastQxc(std::nullopt);
  record.setLastQxs(std::nullopt);
  record.setDeepLinkInit(false);
  record.setDeepLinkPacket(false);
  record.setSdkInit(sdkInit);
}

using Fields = std::vector<std::pair<std::string, std::string>>;

}  // namespace

class ZEVSiteDeepLinkTest : public ZEVSiteTest {
 protected:
  std::vector<ZEVSiteObservedEvent> initEvents() {
    std::vector<ZEVSiteObservedEvent> inits;
    for (auto& event : events()) {
      if (event.name == "init") inits.push_back(event);
    }
    return inits;
  }
};

TEST_F(ZEVSiteDeepLinkTest, ParsesCampaignValuesExactlyAsTheyStand) {
  struct Case {
    ZEVSiteText url;
    ZEVSiteText qxc, qxs;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, std::nullopt},
      {"app://open?qx_ca=A&qx_sp=B", "A", "B"},
      {"app://open", std::nullopt, std::nullopt},  // no "?": nothing is read
      {"app://open?qx_ca=A=B", "A", std::nullopt},
      {"app://open?qx_ca&qx_sp=B", std::nullopt, "B"},
      {"app://open?a=1?qx_ca=A&qx_sp=B", "A", "B"},  // pieces after a second "?" count
      {"qx_ca=A?x=1", "A", std::nullopt},            // and so does the text before the first
      {"app://qx_ca=A?x=1", std::nullopt, std::nullopt},
      {"app://h/p?qx_sp=B#top", std::nullopt, "B#top"},
      {"app://h?qx_sp=a%20b", std::nullopt, "a%20b"},
      {"app://h?QX_CA=A&Qx_sp=B", std::nullopt, std::nullopt},
      {"app://h?qx_ca=A&qx_ca=B", "B", std::nullopt},
      {"app://h?qx_ca=", "", std::nullopt},
      {"app://h?qx_ca=A?", "A", std::nullopt},
      {"app://h?=A&qx_ca =B& qx_sp=C", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    resetRecord();
    ZEVSiteManager::handleOpenURL(c.url);
    RecordState state = snapshot();
    EXPECT_EQ(state.qxc, c.qxc) << c.url.value_or("(absent)");
    EXPECT_EQ(state.qxs, c.qxs) << c.url.value_or("(absent)");
  }
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(logLines().empty());
}

TEST_F(ZEVSiteDeepLinkTest, CampaignStatesBeforeTheFirstStartupEvent) {
  ZEVSiteManager::handleOpenURL("app://open?qx_ca=A&qx_sp=B");
  EXPECT_EQ(snapshot(), (RecordState{"A", "B", "A", "B", true, false, false}));
  // The same campaign twice before start-up: the second call marks it repeated.
  ZEVSiteManager::handleOpenURL("app://open?qx_ca=A&qx_sp=B");
  EXPECT_EQ(snapshot(), (RecordState{"A", "B", "A", "B", false, false, false}));
  // A URL that carries only one value while the other was never set changes nothing else.
  resetRecord();
  ZEVSiteManager::handleOpenURL("app://open?qx_ca=A");
  EXPECT_EQ(snapshot(),
            (RecordState{"A", std::nullopt, std::nullopt, std::nullopt, false, false, false}));
  EXPECT_TRUE(events().empty());
}

TEST_F(ZEVSiteDeepLinkTest, CampaignRecordedBeforeStartupRidesOnTheFirstInit) {
  ZEVSiteManager::handleOpenURL("app://open?qx_ca=A&qx_sp=B");  // before the manager exists
  ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  platform_->advanceBy(std::chrono::seconds(1));
  auto inits = initEvents();
  ASSERT_EQ(inits.size(), 1u);
  EXPECT_EQ(inits[0].decoded().eventFields(), (Fields{{"pkid", "store"},
                                                      {"inst", "1"},
                                                      {"ni", "1"},
                                                      {"sc", "1"},
                                                      {"dpl", "1"},
                                                      {"qxc", "A"},
                                                      {"qxs", "B"},
                                                      {"tid", "dc-123"},
                                                      {"t", "init"}}));
  EXPECT_EQ(snapshot(), (RecordState{"A", "B", "A", "B", false, true, true}));

  // A second start-up event after the one campaign carries none of it.
  ZEVSiteManager::shareInstance()->appStartRequest();
  inits = initEvents();
  ASSERT_EQ(inits.size(), 2u);
  EXPECT_EQ(inits[1].decoded().get("sc"), std::nullopt);
  EXPECT_EQ(inits[1].decoded().get("qxc"), std::nullopt);
}

TEST_F(ZEVSiteDeepLinkTest, CampaignsAfterTheFirstInitAreSentAtOnce) {
  ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  platform_->advanceBy(std::chrono::seconds(1));
  ASSERT_EQ(initEvents().size(), 1u);
  clearCaptured();

  struct Step {
    const char* url;
    std::optional<std::pair<std::string, std::string>> sent;  // campaign of the init, if any
    bool deepLinkInitAfter;
  };
  const std::vector<Step> steps = {
      {"app://open?qx_ca=A&qx_sp=B", std::make_pair("A", "B"), false},
      {"app://open?qx_ca=A&qx_sp=B", std::nullopt, false},  // repeated
      {"app://open", std::nullopt, false},                  // still A, B: repeated
      {"app://open?qx_sp=C", std::make_pair("A", "C"), false},
      {"app://open?qx_ca=D&qx_sp=C&qx_ca=E", std::make_pair("E", "C"), false},
  };
  for (const auto& step : steps) {
    clearCaptured();
    ZEVSiteManager::handleOpenURL(step.url);  // the event is dispatched before this returns
    auto inits = initEvents();
    if (step.sent) {
      ASSERT_EQ(inits.size(), 1u) << step.url;
      auto decoded = inits[0].decoded();
      EXPECT_EQ(decoded.get("qxc"), step.sent->first);
      EXPECT_EQ(decoded.get("qxs"), step.sent->second);
      EXPECT_EQ(decoded.get("sc"), "1");
      EXPECT_EQ(decoded.get("dpl"), "1");
      EXPECT_EQ(decoded.get("inst"), "0");
      EXPECT_TRUE(snapshot().deepLinkPacket);
    } else {
      EXPECT_TRUE(inits.empty()) << step.url;
    }
    EXPECT_EQ(snapshot().deepLinkInit, step.deepLinkInitAfter) << step.url;
  }
}

// A URL over 64 KiB is ignored; campaign values over 1 KiB are cut on a character boundary
// (never inside a %XX escape), so the start-up event carrying them always fits and the
// install is reported with the campaign.
TEST_F(ZEVSiteDeepLinkTest, LongUrlsAndCampaignValuesStayBounded) {
  resetRecord();
  const RecordState empty = snapshot();
  std::string tooLong = "app://open?qx_ca=A&qx_sp=B&pad=";
  tooLong.resize(64 * 1024 + 1, 'x');
  ZEVSiteManager::handleOpenURL(tooLong);
  EXPECT_EQ(snapshot(), empty);
  EXPECT_EQ(logLines(),
            std::vector<std::string>{
                "[Site] deep-link URL of 65537 bytes ignored: longer than 65536 bytes"});

  std::string campaign;
  while (campaign.size() < 10'000) campaign += "Ã©";  // é, two bytes each
  campaign.insert(0, "x");                            // so 1024 falls inside a character
  std::string source;
  while (source.size() < 3000) source += "%41";
  std::string url = "app://open?qx_ca=" + campaign + "&qx_sp=" + source + "&pad=";
  url.resize(64 * 1024, 'y');  // exactly at the bound: read
  clearCaptured();
  ZEVSiteManager::handleOpenURL(url);
  const RecordState recorded = snapshot();
  ASSERT_TRUE(recorded.qxc && recorded.qxs);
  EXPECT_EQ(recorded.qxc->size(), 1023u);
  EXPECT_EQ(campaign.compare(0, 1023, *recorded.qxc), 0);
  EXPECT_EQ(recorded.qxs->size(), 1023u);  // 341 whole escapes
  EXPECT_EQ(source.compare(0, 1023, *recorded.qxs), 0);
  EXPECT_EQ(logLines(), (std::vector<std::string>{
                            "[Site] deep-link campaign value of 10001 bytes cut to 1023 bytes",
                            "[Site] deep-link campaign value of 3000 bytes cut to 1023 bytes"}));

  ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  platform_->advanceBy(std::chrono::seconds(1));
  auto inits = initEvents();
  ASSERT_EQ(inits.size(), 1u);
  EXPECT_EQ(inits[0].decoded().get("inst"), "1");
  EXPECT_EQ(inits[0].decoded().get("qxc"), *recorded.qxc);
  EXPECT_EQ(inits[0].decoded().get("qxs"), *recorded.qxs);
  EXPECT_TRUE(ZEVSiteSupport::isActivated());
}

// A campaign counts as reported only once a start-up event carrying it reached a task
// queue. A start-up event that is refused (tracking disabled, an event too long to send) or
// has no queue to go to (the shared manager's app id was rejected) leaves it for the next.
TEST_F(ZEVSiteDeepLinkTest, ARefusedStartupEventKeepsTheCampaign) {
  resetRecord();
  const RecordState pending{"A", "B", "A", "B", true, false, true};
  ZEVSiteManager::handleOpenURL("app://open?qx_ca=A&qx_sp=B");  // waits for the start-up work
  ZEVSiteSupport::setTrackingEnabled(false);
  ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  platform_->advanceBy(std::chrono::seconds(1));  // the start-up work, opted out
  ZEVSiteSupport::setTrackingEnabled(true);
  EXPECT_EQ(snapshot(), pending);

  // The serialised event is over the upload limit: refused with a log line.
  clearCaptured();
  ZEVSiteManager::sharedInstanceWithAppId("123", std::string(9000, 'c'))->appStartRequest();
  EXPECT_EQ(logLines(),
            std::vector<std::string>{"[Site] Site SDK event send failed, Please check your code."});
  EXPECT_EQ(snapshot(), pending);

  // A shared manager without a task queue: a new campaign is handed to it at once, and stays.
  ZEVSiteManager::sharedInstanceWithAppId("not a number", "store");
  ZEVSiteManager::handleOpenURL("app://open?qx_ca=C&qx_sp=D");
  EXPECT_EQ(snapshot(), (RecordState{"C", "D", "C", "D", true, false, true}));
  EXPECT_TRUE(initEvents().empty());

  // The first start-up event that is accepted carries it, and only that one.
  ZEVSiteManager::sharedInstanceWithAppId("123", "store")->appStartRequest();
  auto inits = initEvents();
  ASSERT_EQ(inits.size(), 1u);
  EXPECT_EQ(inits[0].decoded().get("qxc"), "C");
  EXPECT_EQ(inits[0].decoded().get("qxs"), "D");
  EXPECT_EQ(inits[0].decoded().get("sc"), "1");
  EXPECT_EQ(snapshot(), (RecordState{"C", "D", "C", "D", false, true, true}));
  platform_->advanceBy(std::chrono::seconds(1));  // the pending start-up work of every manager
  inits = initEvents();
  ASSERT_GE(inits.size(), 2u);
  for (std::size_t i = 1; i < inits.size(); ++i)
    EXPECT_EQ(inits[i].decoded().get("sc"), std::nullopt);
}

TEST_F(ZEVSiteDeepLinkTest, NewCampaignWithoutASharedManagerSendsNothing) {
  resetRecord(/*sdkInit=*/true);
  ZEVSiteManager::handleOpenURL("app://open?qx_ca=A&qx_sp=B");
  EXPECT_EQ(snapshot(), (RecordState{"A", "B", "A", "B", true, false, true}));
  EXPECT_TRUE(events().empty());
}

// Eight threads open URLs with ever new campaigns while managers are created, start-up work
// runs and pages are tracked. Every campaign handled once SdkInit was already set must go
// out in exactly one "init" event; no campaign goes out twice.
TEST_F(ZEVSiteDeepLinkTest, ConcurrentCampaignsUnderThreadsEachSentOnce) {
  ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  constexpr int kThreads = 8;
  constexpr int kCampaigns = 150;
  std::atomic<bool> go{false};
  std::mutex afterInitMutex;
  std::vector<std::string> afterInit;  // campaigns handled when SdkInit was already true
  std::vector<std::thread> threads;
  std::atomic<int> handling{0};  // URL threads that handled their first campaign
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      // Campaigns before, during and after the start-up work: stop once this thread has
      // handled kCampaigns of them after SdkInit was set.
      int handledAfterInit = 0;
      for (int i = 0; handledAfterInit < kCampaigns && i < 200'000; ++i) {
        std::string campaign = std::to_string(t) + "-" + std::to_string(i);
        bool initialised = snapshot().sdkInit;
        ZEVSiteManager::handleOpenURL("app://open?qx_ca=" + campaign + "&qx_sp=s");
        if (i == 0) ++handling;
        if (initialised) {
          ++handledAfterInit;
          std::lock_guard lock(afterInitMutex);
          afterInit.push_back(campaign);
        }
      }
    });
  }
  std::thread tracker([&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 300; ++i) {
      if (auto manager = ZEVSiteManager::shareInstance()) manager->trackPageView("p");
      if (i % 100 == 0) ZEVSiteManager::sharedInstanceWithAppId("456", "again");
    }
  });
  go = true;
  // The start-up work runs once every URL thread is handling campaigns, alongside them.
  while (handling < kThreads) std::this_thread::yield();
  platform_->advanceBy(std::chrono::seconds(1));
  for (auto& thread : threads) thread.join();
  tracker.join();
  platform_->advanceBy(std::chrono::seconds(1));

  std::map<std::string, int> sent;
  for (const auto& event : initEvents()) {
    if (auto qxc = event.decoded().get("qxc")) ++sent[*qxc];
  }
  for (const auto& [campaign, times] : sent) EXPECT_EQ(times, 1) << campaign;
  for (const auto& campaign : afterInit) EXPECT_EQ(sent[campaign], 1) << campaign;
  EXPECT_TRUE(snapshot().sdkInit);
  EXPECT_EQ(afterInit.size(), static_cast<std::size_t>(kThreads * kCampaigns));
}
