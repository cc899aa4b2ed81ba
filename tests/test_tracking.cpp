#include "ZEVSiteTestSupport.h"

#include <functional>

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kTitleMessage =
    "[Site] Site SDK initlize failed,title must not null,Please check your code.";
constexpr const char* kAtLeastOneMessage =
    "[Site] Site SDK event send failed,eventClassify and eventAction and eventTag must have at "
    "least one item that cannot be null, Please check your code.";
constexpr const char* kNotDictionaryMessage =
    "[Site] Site SDK event send failed,eventAction must be NSDictionary, Please check your code.";
constexpr const char* kEmptyMessage = "[Site] Site SDK event send failed,eventAction must not null";
constexpr const char* kNoIdMessage =
    "[Site] Site SDK event send failed,customActionId must be null, Please check your code.";
constexpr const char* kNoLabelMessage =
    "[Site] Site SDK event send failed,customActionLabel and customActionValue must have at least "
    "one item that cannot be null, Please check your code.";

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80         ? 1
                         : (lead >> 5) == 6  ? 2
                         : (lead >> 4) == 14 ? 3
                         : (lead >> 3) == 30 ? 4
                                             : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

class ZEVSiteTrackingTest : public ZEVSiteTest {
 protected:
  void SetUp() override {
    ZEVSiteTest::SetUp();
    manager_ = ZEVSiteManager::sharedInstanceWithAppId("123", "store");
  }

  // Runs `call` and returns the log lines and the event fields it produced; the line about
  // events kept for want of a collect URL says nothing about the call and is left out.
  std::pair<std::vector<std::string>, std::vector<Fields>> outcome(
      const std::function<void()>& call) {
    clearCaptured();
    call();
    std::vector<Fields> sent;
    for (const auto& event : events()) sent.push_back(event.decoded().eventFields());
    return {logLinesButEventsKept(), sent};
  }

  // `call` either logs `message` and sends nothing, or (no message) logs nothing and sends
  // one "event" with `fields` followed by "tid" and "t".
  void expectRefusedOrSent(const std::function<void()>& call, const char* message, Fields fields) {
    auto [lines, sent] = outcome(call);
    if (message) {
      EXPECT_EQ(lines, std::vector<std::string>{message});
      EXPECT_TRUE(sent.empty());
      return;
    }
    fields.insert(fields.end(), {{"tid", "dc-123"}, {"t", "event"}});
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(sent, std::vector<Fields>{fields});
  }

  std::shared_ptr<ZEVSiteManager> manager_;
};

TEST_F(ZEVSiteTrackingTest, CustomDimensionAndMetricMappingRules) {
  struct Case {
    std::string hostKey;
    std::optional<std::string> eventKey;
  };
  const std::vector<Case> cases = {
      {"customDimension1", "cd1"},
      {"customMetrics2", "cm2"},
      {"customDimensionABC", "cdABC"},
      {"customDimension", "cd"},
      {"customMetrics", "cm"},
      {"mycustomDimension1", "cdon1"},  // the first 15 characters of the key are cut
      {"xcustomMetrics7", "cms7"},
      {"customDimensioncustomMetrics", "cdcustomMetrics"},
      {"customMetrics_customDimension9", "cdustomDimension9"},  // dimensions are tested first
      {"CustomDimension1", std::nullopt},
      {"custommetrics1", std::nullopt},
      {"pageTitle", std::nullopt},
      {"", std::nullopt},
      // Lengths count UTF-16 code units: "é" is one, "😀" two.
      {"\xC3\xA9"
       "customDimension1",
       "cdn1"},
      {"\xF0\x9F\x98\x80"
       "customDimension1",
       "cdon1"},
      // A cut between the two halves of "😀" takes the whole character.
      {"abcdefghijklmn\xF0\x9F\x98\x80"
       "customDimension",
       "cdcustomDimension"},
  };
  for (const auto& [hostKey, eventKey] : cases) {
    ZEVSiteDictionary event{{"ni", 0}};
    manager_->appendParameterFor(event, ZEVSiteDictionary{{hostKey, "v"}});
    if (eventKey) {
      ASSERT_EQ(event.count(), 2u) << hostKey;
      EXPECT_EQ(std::next(event.begin())->first, *eventKey) << hostKey;
      EXPECT_TRUE(isValidUtf8(std::next(event.begin())->first));
    } else {
      EXPECT_EQ(event.count(), 1u) << hostKey;
    }
  }

  // Values keep their kind; two keys for one event key leave the last one's value, in the
  // place of the first; other entries are left out.
  ZEVSiteDictionary event;
  manager_->appendParameterFor(event, {{"customMetrics1", 3},
                                       {"mycustomMetrics", "first"},
                                       {"other", "x"},
                                       {"customDimension1", 2.5},
                                       {"customMetricscs", "last"}});
  ASSERT_EQ(event.count(), 3u);
  EXPECT_EQ(event.begin()->first, "cm1");
  EXPECT_EQ(event.valueForKey("cm1")->integer(), 3);
  EXPECT_EQ(std::next(event.begin())->first, "cmcs");
  EXPECT_EQ(*event.valueForKey("cmcs")->string(), "last");
  EXPECT_EQ(event.valueForKey("cd1")->number(), 2.5);

  // Absent, empty and non-dictionary inputs change nothing and log nothing.
  for (const ZEVSiteValue& input :
       {ZEVSiteValue{}, ZEVSiteValue(ZEVSiteDictionary{}), ZEVSiteValue("text"), ZEVSiteValue(7)}) {
    ZEVSiteDictionary untouched{{"ni", 0}};
    manager_->appendParameterFor(untouched, input);
    EXPECT_EQ(untouched, (ZEVSiteDictionary{{"ni", 0}}));
  }
  EXPECT_TRUE(logLines().empty());
}

TEST_F(ZEVSiteTrackingTest, PageViews) {
  EXPECT_EQ(
      outcome([&] { manager_->trackPageView("Home"); }),
      std::make_pair(std::vector<std::string>{},
                     std::vector<Fields>{
                         {{"dt", "Home"}, {"ni", "0"}, {"tid", "dc-123"}, {"t", "pageview"}}}));
  EXPECT_EQ(
      outcome([&] {
        manager_->trackPageView("Home", {{"customDimension2", "blue"}, {"customMetrics1", 3}});
      }).second,
      (std::vector<Fields>{{{"dt", "Home"},
                            {"ni", "0"},
                            {"cd2", "blue"},
                            {"cm1", "3"},
                            {"tid", "dc-123"},
                            {"t", "pageview"}}}));
  for (const ZEVSiteText& title : {ZEVSiteText{}, ZEVSiteText("")}) {
    EXPECT_EQ(outcome([&] {
                manager_->trackPageView(title, {{"customDimension2", "x"}});
              }),
              std::make_pair(std::vector<std::string>{kTitleMessage}, std::vector<Fields>{}));
  }
  // Custom dimensions that are not a dictionary are skipped; the page view still goes.
  EXPECT_EQ(
      outcome([&] { manager_->trackPageView("P", "not a dictionary"); }).second,
      (std::vector<Fields>{{{"dt", "P"}, {"ni", "0"}, {"tid", "dc-123"}, {"t", "pageview"}}}));
}

TEST_F(ZEVSiteTrackingTest, ClassicEvents) {
  struct Case {
    ZEVSiteText category, action, label;
    std::int64_t value;
    Fields expected;  // empty: refused with the at-least-one message
  };
  const std::vector<Case> cases = {
      {"shop", std::nullopt, "", 0, {{"ec", "shop"}, {"ev", "0"}, {"ni", "0"}}},
      {"", "buy", std::nullopt, 7, {{"ec", ""}, {"ea", "buy"}, {"ev", "7"}, {"ni", "0"}}},
      {std::nullopt, std::nullopt, "tag", -5, {{"el", "tag"}, {"ev", "-5"}, {"ni", "0"}}},
      {"c",
       "a",
       "l",
       INT64_MAX,
       {{"ec", "c"}, {"ea", "a"}, {"el", "l"}, {"ev", "9223372036854775807"}, {"ni", "0"}}},
      {std::nullopt, "", "", 3, {}},
      {"", std::nullopt, std::nullopt, 0, {}},
  };
  for (const auto& c : cases) {
    expectRefusedOrSent([&] { manager_->trackEvent(c.category, c.action, c.label, c.value); },
                        c.expected.empty() ? kAtLeastOneMessage : nullptr, c.expected);
  }
  auto [lines, sent] = outcome([&] {
    manager_->trackEvent("shop", "buy", "", 7, {{"customDimension2", "b"}, {"customMetrics1", 1}});
  });
  EXPECT_EQ(sent, (std::vector<Fields>{{{"ec", "shop"},
                                        {"ea", "buy"},
                                        {"ev", "7"},
                                        {"ni", "0"},
                                        {"cd2", "b"},
                                        {"cm1", "1"},
                                        {"tid", "dc-123"},
                                        {"t", "event"}}}));
}

TEST_F(ZEVSiteTrackingTest, CustomActions) {
  struct Case {
    ZEVSiteValue action;
    const char* message;  // nullptr: sent
    Fields expected;
  };
  const std::vector<Case> cases = {
      {ZEVSiteValue{}, kNotDictionaryMessage, {}},
      {"text", kNotDictionaryMessage, {}},
      {ZEVSiteDictionary{}, kEmptyMessage, {}},
      {{{"customActionLabel1", "x"}}, kNoIdMessage, {}},
      {{{"customActionId2", "a"}, {"customActionLabel1", "x"}}, kNoIdMessage, {}},
      {{{"customActionId", "a"}}, kNoLabelMessage, {}},
      {{{"customActionId", "a"}, {"other", "b"}}, kNoLabelMessage, {}},
      {{{"customActionId", "a"}, {"customActionLabel1", "x"}, {"customActionValue2", 5}},
       nullptr,
       {{"caid", "a"}, {"cal1", "x"}, {"cav2", "5"}, {"ni", "0"}}},
      {{{"customActionId", "a"}, {"customActionLabelcustomActionValue", "x"}},
       nullptr,
       {{"caid", "a"}, {"calcustomActionValue", "x"}, {"ni", "0"}}},
      {{{"customActionId", "a"}, {"customActionLabel", "x"}},
       nullptr,
       {{"caid", "a"}, {"cal", "x"}, {"ni", "0"}}},
      // Any key order; the word anywhere, the first 17 characters cut; "_2" kept.
      {{{"mycustomActionLabel1", "x"}, {"customActionValue_2", 1.5}, {"customActionId", ""}},
       nullptr,
       {{"calel1", "x"}, {"cav_2", "1.5"}, {"caid", ""}, {"ni", "0"}}},
      // The null placeholder counts as an id.
      {{{"customActionId", ZEVSiteNull{}}, {"customActionValue1", true}},
       nullptr,
       {{"caid", ""}, {"cav1", "1"}, {"ni", "0"}}},
  };
  for (const auto& c : cases) {
    expectRefusedOrSent([&] { manager_->trackSiteCustomEvent(c.action); }, c.message, c.expected);
  }
  auto [lines, sent] = outcome([&] {
    manager_->trackSiteCustomEvent({{"customActionId", "a"}, {"customActionLabel1", "x"}},
                                   {{"customDimension3", "d"}});
  });
  EXPECT_EQ(sent, (std::vector<Fields>{{{"caid", "a"},
                                        {"cal1", "x"},
                                        {"ni", "0"},
                                        {"cd3", "d"},
                                        {"tid", "dc-123"},
                                        {"t", "event"}}}));
  EXPECT_EQ(storedUploads().size(), 6u);  // five from the table, one with dimensions
}
