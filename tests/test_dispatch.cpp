#include "ZEVSiteTaskQueue.h"
#include "ZEVSiteTestSupport.h"

namespace {

// A manager with the given application id and a running queue, whatever the id looks like.
std::shared_ptr<ZEVSiteManager> managerWithId(ZEVSiteText appId) {
  auto manager = ZEVSiteManager::init();
  ZEVSiteManagerTestAccess::setAppId(*manager, std::move(appId));
  ZEVSiteManagerTestAccess::setTaskQueue(*manager, ZEVSiteTaskQueue::initWithSendSendCondition(6));
  return manager;
}

}  // namespace

class ZEVSiteDispatchTest : public ZEVSiteTest {};

TEST_F(ZEVSiteDispatchTest, TrackingIdRule) {
  struct Case {
    const char* appId;
    const char* tid;
  };
  for (const auto& [appId, tid] : std::vector<Case>{{"123", "dc-123"},
                                                    {"dc-123", "dc-123"},
                                                    {"12dc-34", "12dc-34"},
                                                    {"DC-1", "dc-DC-1"},
                                                    {"dc", "dc-dc"}}) {
    clearCaptured();
    managerWithId(appId)->trackPulse();
    ASSERT_EQ(events().size(), 1u) << appId;
    EXPECT_EQ(events()[0].decoded().eventFields(),
              (std::vector<std::pair<std::string, std::string>>{
                  {"ni", "1"}, {"tid", tid}, {"t", "pulse"}}))
        << appId;
  }
}

TEST_F(ZEVSiteDispatchTest, CopiesPropertiesAndOverridesTidAndT) {
  auto manager = managerWithId("123");
  ZEVSiteDictionary properties{{"t", "mine"}, {"x", 1}, {"tid", "mine too"}};
  const ZEVSiteDictionary before = properties;
  manager->trackEventName("pulse", "ignored upload dics", properties);
  manager->trackEventName("pulse", std::nullopt, ZEVSiteDictionary{});
  EXPECT_EQ(properties, before);
  auto sent = events();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].name, "pulse");
  EXPECT_EQ(sent[0].decoded().eventFields(), (std::vector<std::pair<std::string, std::string>>{
                                                 {"t", "pulse"}, {"x", "1"}, {"tid", "dc-123"}}));
  EXPECT_EQ(sent[1].decoded().eventFields(),
            (std::vector<std::pair<std::string, std::string>>{{"tid", "dc-123"}, {"t", "pulse"}}));
  EXPECT_TRUE(logLinesButEventsKept().empty());
  EXPECT_EQ(storedUploads().size(), 2u);
}

TEST_F(ZEVSiteDispatchTest, RefusalsAreLoggedAndQueueNothing) {
  auto manager = managerWithId("123");
  manager->trackEventName(std::nullopt, std::nullopt, {});
  manager->trackEventName("", std::nullopt, {{"a", 1}});
  EXPECT_EQ(logLines(), (std::vector<std::string>{"event name is nil!", "event name is nil!"}));

  // An event whose upload string would pass 8 KiB cannot be sent.
  clearCaptured();
  manager->trackEventName("event", std::nullopt, {{"big", std::string(9000, 'x')}});
  EXPECT_EQ(logLines(),
            std::vector<std::string>{"[Site] Site SDK event send failed, Please check your code."});
  EXPECT_TRUE(events().empty());

  // A manager without a queue completes every dispatch without a task or a message.
  clearCaptured();
  auto bare = ZEVSiteManager::init();
  bare->trackPulse();
  bare->trackEventName("pulse", std::nullopt, {});
  EXPECT_TRUE(logLines().empty());
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(storedUploads().empty());
}
