// Host input the SDK must survive: values nested without bound, very large dictionaries and
// texts, host values under the SDK's own attribute names, and an event observer that throws.
#include "ZEVSiteParameter.h"
#include "ZEVSiteTestSupport.h"

#include <pthread.h>

#include <functional>
#include <set>
#include <stdexcept>

namespace {

constexpr const char* kSendFailed = "[Site] Site SDK event send failed, Please check your code.";

// Runs `work` on a thread with a 256 KiB stack, as small as a host's worker threads get:
// recursion over a deep value would overflow it.
bool runOnSmallStack(const std::function<void()>& work) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  auto body = [](void* argument) -> void* {
    (*static_cast<const std::function<void()>*>(argument))();
    return nullptr;
  };
  int created =
      pthread_create(&thread, &attributes, body, const_cast<std::function<void()>*>(&work));
  pthread_attr_destroy(&attributes);
  if (created != 0) return false;
  pthread_join(thread, nullptr);
  return true;
}

// `leaf` inside `depth` dictionaries: {"k": {"k": ... leaf}}.
ZEVSiteValue nestedValue(int depth, ZEVSiteValue leaf) {
  ZEVSiteValue value = std::move(leaf);
  for (int i = 0; i < depth; ++i) value = ZEVSiteValue(ZEVSiteDictionary{{"k", value}});
  return value;
}

}  // namespace

TEST(ZEVSiteHostValues, DeepValuesAreCopiedComparedAndDestroyedWithoutRecursion) {
  bool checked = false;
  ASSERT_TRUE(runOnSmallStack([&] {
    ZEVSiteValue deep = nestedValue(100'000, "bottom");
    ZEVSiteValue same = nestedValue(100'000, "bottom");
    ZEVSiteValue other = nestedValue(100'000, "different");
    ZEVSiteValue copy = deep;  // shares the nested dictionaries
    EXPECT_TRUE(copy == deep);
    EXPECT_TRUE(same == deep);
    EXPECT_FALSE(other == deep);
    EXPECT_FALSE(nestedValue(99'999, "bottom") == deep);
    EXPECT_TRUE(deep.dictionary()->nestedDeeperThan(ZEVSiteDictionary::kMaxNesting));
    EXPECT_FALSE(nestedValue(32, 1).dictionary()->nestedDeeperThan(32));
    EXPECT_TRUE(nestedValue(33, 1).dictionary()->nestedDeeperThan(32));
    // A dictionary shared at every level of a wide value: each is walked once per depth,
    // not once per path (2^40 paths here).
    ZEVSiteValue wide = 1;
    for (int i = 0; i < 40; ++i) wide = ZEVSiteValue(ZEVSiteDictionary{{"a", wide}, {"b", wide}});
    EXPECT_TRUE(wide.dictionary()->nestedDeeperThan(32));
    EXPECT_TRUE(ZEVSiteParameter::systemUploadAttributes({{"wide", wide}}).empty());
    checked = true;
    // deep, same, other and copy are destroyed here, on the small stack.
  }));
  EXPECT_TRUE(checked);
}

TEST(ZEVSiteHostValues, LargeDictionariesKeepOrderAndFindEveryKey) {
  ZEVSiteDictionary dictionary;
  constexpr int kKeys = 60'000;
  for (int i = 0; i < kKeys; ++i) dictionary.setValue(i, "key" + std::to_string(i));
  ASSERT_EQ(dictionary.count(), static_cast<std::size_t>(kKeys));
  for (int i = 0; i < kKeys; i += 997) {
    ASSERT_NE(dictionary.valueForKey("key" + std::to_string(i)), nullptr);
    EXPECT_EQ(dictionary.valueForKey("key" + std::to_string(i))->integer(), i);
  }
  EXPECT_EQ(dictionary.valueForKey("key60000"), nullptr);
  dictionary.setValue("replaced", "key5");  // in place
  dictionary.removeValueForKey("key3");
  dictionary.setValue(ZEVSiteValue{}, "key7");
  dictionary.setValue("appended", "key3");
  EXPECT_EQ(dictionary.count(), static_cast<std::size_t>(kKeys - 1));
  auto at = dictionary.begin();
  std::vector<std::string> first;
  for (int i = 0; i < 6; ++i, ++at) first.push_back(at->first);
  EXPECT_EQ(first, (std::vector<std::string>{"key0", "key1", "key2", "key4", "key5", "key6"}));
  EXPECT_EQ(*dictionary.valueForKey("key5")->string(), "replaced");
  EXPECT_EQ((dictionary.end() - 1)->first, "key3");
  EXPECT_EQ(dictionary.valueForKey("key7"), nullptr);
  EXPECT_EQ(dictionary.valueForKey("key8")->integer(), 8);
  ZEVSiteDictionary copy = dictionary;
  EXPECT_TRUE(copy == dictionary);
  copy.setValue(0, "key59999");
  EXPECT_FALSE(copy == dictionary);
  EXPECT_EQ(copy.valueForKey("key59999")->integer(), 0);
}

class ZEVSiteHostInputTest : public ZEVSiteTest {
 protected:
  void SetUp() override {
    ZEVSiteTest::SetUp();
    manager_ = ZEVSiteManager::sharedInstanceWithAppId("123", "store");
    clearCaptured();
  }
  std::shared_ptr<ZEVSiteManager> manager_;
};

TEST_F(ZEVSiteHostInputTest, DeepOrHugeEventsAreRefusedWithOneLine) {
  struct Case {
    const char* name;
    std::function<void(ZEVSiteManager&)> track;
    bool sent;
  };
  const std::string bigTitle(10 << 20, 'x');
  ZEVSiteDictionary manyKeys;
  for (int i = 0; i < 60'000; ++i) manyKeys.setValue(i, "customDimension" + std::to_string(i));
  const ZEVSiteValue manyDimensions(manyKeys);
  const std::vector<Case> cases = {
      {"nested 32 deep",
       [](ZEVSiteManager& m) {
         m.trackPageView("p", {{"customDimension1", nestedValue(32, 1)}});
       },
       true},
      {"nested 33 deep",
       [](ZEVSiteManager& m) {
         m.trackPageView("p", {{"customDimension1", nestedValue(33, 1)}});
       },
       false},
      {"nested 10000 deep",
       [](ZEVSiteManager& m) {
         m.trackPageView("p", {{"customDimension1", nestedValue(10'000, 1)}});
       },
       false},
      {"deep event property",
       [](ZEVSiteManager& m) {
         m.trackEventName("pageview", std::nullopt, {{"deep", nestedValue(10'000, 1)}});
       },
       false},
      {"10 MB title", [&](ZEVSiteManager& m) { m.trackPageView(bigTitle); }, false},
      {"60000 dimensions", [&](ZEVSiteManager& m) { m.trackPageView("p", manyDimensions); }, false},
  };
  for (const auto& c : cases) {
    clearCaptured();
    ASSERT_TRUE(runOnSmallStack([&] { c.track(*manager_); })) << c.name;
    EXPECT_EQ(events().size(), c.sent ? 1u : 0u) << c.name;
    EXPECT_EQ(logLinesButEventsKept(),
              c.sent ? std::vector<std::string>{} : std::vector<std::string>{kSendFailed})
        << c.name;
  }
  // Every one of the 60,000 dimensions is mapped, in order.
  ZEVSiteDictionary mapped;
  manager_->appendParameterFor(mapped, manyDimensions);
  ASSERT_EQ(mapped.count(), 60'000u);
  EXPECT_EQ(mapped.begin()->first, "cd0");
  EXPECT_EQ((mapped.end() - 1)->first, "cd59999");
  EXPECT_EQ(mapped.valueForKey("cd31337")->integer(), 31337);
}

TEST_F(ZEVSiteHostInputTest, SystemAttributesAreTheSdksOwn) {
  const ZEVSiteDictionary properties{{"eid", "same"}, {"dt", "Home"}, {"ts", 5},
                                     {"v", "9"},      {"cid", "me"},  {"sdkv", "x"}};
  for (int i = 0; i < 3; ++i) manager_->trackEventName("pageview", std::nullopt, properties);
  auto sent = events();
  ASSERT_EQ(sent.size(), 3u);
  std::set<std::string> ids;
  for (const auto& event : sent) {
    auto decoded = event.decoded();
    ids.insert(decoded.get("eid").value_or(""));
    EXPECT_EQ(decoded.get("v"), "1");
    EXPECT_EQ(decoded.get("cid"), ZEVSiteManager::getCid());
    EXPECT_NE(decoded.get("ts"), "5");
    EXPECT_EQ(decoded.get("sdkv"), ZEVSITE_TEST_VERSION);
    EXPECT_EQ(decoded.eventFields(), (std::vector<std::pair<std::string, std::string>>{
                                         {"dt", "Home"}, {"tid", "dc-123"}, {"t", "pageview"}}));
  }
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_EQ(logLinesButEventsKept(),
            std::vector<std::string>(3,
                                     "[Site] event value under eid, ts, v, cid, sdkv left out: the "
                                     "SDK sets that key itself"));
}

TEST_F(ZEVSiteHostInputTest, AThrowingObserverNeverCostsAnEvent) {
  int calls = 0;
  ZEVSiteSupport::setEventObserver([&](std::string_view, std::string_view) {
    ++calls;
    throw std::runtime_error("observer broke");
  });
  for (int i = 0; i < 3; ++i) manager_->trackPageView("kept" + std::to_string(i));
  ZEVSiteSupport::setEventObserver([&](std::string_view, std::string_view) {
    ++calls;
    throw 42;  // not even a std::exception
  });
  manager_->trackPulse();
  manager_->trackPulse();
  platform_->advanceBy(std::chrono::seconds(1));  // the start-up event, on the pool
  ZEVSiteSupport::setEventObserver(nullptr);
  EXPECT_EQ(calls, 6);
  auto stored = storedUploads();
  ASSERT_EQ(stored.size(), 6u);
  EXPECT_EQ(ZEVSiteUpload::decode(stored[0]).get("dt"), "kept0");
  EXPECT_EQ(ZEVSiteUpload::decode(stored[5]).get("t"), "init");
  EXPECT_EQ(
      logLinesButEventsKept(),
      (std::vector<std::string>{"[Site] event observer threw (observer broke); the event is kept, "
                                "later throws of this observer are not logged",
                                "[Site] event observer threw (not a std::exception); the event is "
                                "kept, later throws of this observer are not logged"}));
  EXPECT_TRUE(ZEVSiteSupport::isActivated());
}

// An observer that tracks an event of its own while it looks at one: each event is staged
// as it was encoded, the observed one too (it is encoded into the thread's reused buffer,
// which the nested event must not overwrite). Then a huge event, refused, and a small one:
// the reused buffer never leaks the refused event's bytes into the next.
TEST_F(ZEVSiteHostInputTest, AnObserverTrackingFromInsideKeepsBothEventsIntact) {
  std::vector<std::string> observed;
  ZEVSiteSupport::setEventObserver([&](std::string_view, std::string_view upload) {
    observed.emplace_back(upload);
    if (observed.size() == 1) manager_->trackPageView("Inner with a longer title to overwrite");
  });
  manager_->trackPageView("Outer");
  ZEVSiteSupport::setEventObserver(nullptr);
  manager_->trackPageView(std::string(9000, 'x'));
  manager_->trackPageView("After");
  auto stored = storedUploads();
  ASSERT_EQ(stored.size(), 3u);
  // The nested event is staged first: it finishes while the outer one is being observed.
  EXPECT_EQ(ZEVSiteUpload::decode(stored[0]).get("dt"), "Inner with a longer title to overwrite");
  EXPECT_EQ(stored[1], observed[0]);
  EXPECT_EQ(ZEVSiteUpload::decode(stored[1]).get("dt"), "Outer");
  EXPECT_EQ(ZEVSiteUpload::decode(stored[2]).get("dt"), "After");
  EXPECT_EQ(stored[2].find("xxxx"), std::string::npos);
}
