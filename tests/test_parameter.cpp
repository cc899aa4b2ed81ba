#include "ZEVSiteParameter.h"
#include "ZEVSiteTestSupport.h"

#include <regex>
#include <set>
#include <thread>

class ZEVSiteParameterTest : public ZEVSiteTest {};

TEST_F(ZEVSiteParameterTest, EncodesValuesInOrderAndAppendsSystemAttributes) {
  ZEVSiteDictionary event{{"dt", "Home & Garden/100%"},
                          {"uni", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
                          {"ev", -9223372036854775807LL - 1},
                          {"d", 0.1},
                          {"b", true},
                          {"n", ZEVSiteNull{}},
                          {"j", {{"q", "a\"b"}, {"k", 2}}},
                          {"un-res._~", "A-z.0_9~"}};
  const std::int64_t before = platform_->currentTimeMillis();
  std::string upload = ZEVSiteParameter::systemUploadAttributes(event);
  EXPECT_EQ(upload.substr(0, upload.find("&v=")),
            "dt=Home%20%26%20Garden%2F100%25&uni=caf%C3%A9%20%F0%9F%98%80"
            "&ev=-9223372036854775808&d=0.1&b=1&n=&j=%7B%22q%22%3A%22a%5C%22b%22%2C%22k%22%3A2%7D"
            "&un-res._~=A-z.0_9~");
  auto decoded = ZEVSiteUpload::decode(upload);
  EXPECT_EQ(decoded.get("uni"), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(decoded.get("j"), R"({"q":"a\"b","k":2})");
  EXPECT_EQ(decoded.get("v"), "1");
  EXPECT_EQ(decoded.get("cid"), ZEVSiteManager::getCid());
  EXPECT_EQ(decoded.get("ts"), std::to_string(before));
  EXPECT_EQ(decoded.get("sdkv"), ZEVSITE_TEST_VERSION);
  EXPECT_EQ(ZEVSiteSupport::sdkVersion(), ZEVSITE_TEST_VERSION);
  EXPECT_EQ(ZEVSITE_VERSION_STRING, std::to_string(ZEVSITE_VERSION_MAJOR) + "." +
                                        std::to_string(ZEVSITE_VERSION_MINOR) + "." +
                                        std::to_string(ZEVSITE_VERSION_PATCH));
  EXPECT_STREQ(ZEVSITE_VERSION_STRING, ZEVSITE_TEST_VERSION);
  // After the event's own keys: v, cid, eid, ts and sdkv, then the context, which always
  // names the session.
  std::vector<std::string> systemKeys;
  for (std::size_t i = event.count(); i < decoded.fields.size(); ++i) {
    systemKeys.push_back(decoded.fields[i].first);
  }
  ASSERT_GE(systemKeys.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(systemKeys.begin(), systemKeys.begin() + 5),
            (std::vector<std::string>{"v", "cid", "eid", "ts", "sdkv"}));
  EXPECT_EQ(std::vector<std::string>(systemKeys.end() - 2, systemKeys.end()),
            (std::vector<std::string>{"sid", "sn"}));
  for (const std::string& key : systemKeys) EXPECT_TRUE(ZEVSiteUpload::isSdkAttribute(key)) << key;

  // Version 7 UUID whose first 48 bits are the event's time.
  std::string eid = *decoded.get("eid");
  EXPECT_TRUE(std::regex_match(
      eid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-7[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
      << eid;
  std::string millisHex = eid.substr(0, 8) + eid.substr(9, 4);
  EXPECT_EQ(std::stoll(millisHex, nullptr, 16), before);

  // The system attributes are the SDK's own: an event's values under their names are left
  // out (one log line; see test_host_input).
  auto own = ZEVSiteUpload::decode(ZEVSiteParameter::systemUploadAttributes(
      {{"v", "9"}, {"ts", 5}, {"eid", "mine"}, {"uid", "me"}, {"sid", "mine"}, {"mine", 1}}));
  EXPECT_EQ(own.get("v"), "1");
  EXPECT_NE(own.get("ts"), "5");
  EXPECT_NE(own.get("eid"), "mine");
  EXPECT_EQ(own.get("uid"), std::nullopt);
  EXPECT_NE(own.get("sid"), "mine");
  EXPECT_EQ(own.eventFields(), (std::vector<std::pair<std::string, std::string>>{{"mine", "1"}}));
}

TEST_F(ZEVSiteParameterTest, RefusesOversizedEventsAndGivesUniqueIdsAcrossThreads) {
  std::string fits(ZEVSiteParameter::kMaxUploadBytes - 200, 'x');
  EXPECT_FALSE(ZEVSiteParameter::systemUploadAttributes({{"a", fits}}).empty());
  EXPECT_TRUE(ZEVSiteParameter::systemUploadAttributes({{"a", fits + fits}}).empty());
  // Percent-encoding can triple the size: 3000 spaces become 9000 characters.
  EXPECT_TRUE(ZEVSiteParameter::systemUploadAttributes({{"a", std::string(3000, ' ')}}).empty());

  std::mutex mutex;
  std::set<std::string> ids;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      std::vector<std::string> mine;
      for (int i = 0; i < 2000; ++i) {
        mine.push_back(*ZEVSiteUpload::decode(ZEVSiteParameter::systemUploadAttributes({{"i", i}}))
                            .get("eid"));
      }
      std::lock_guard lock(mutex);
      ids.insert(mine.begin(), mine.end());
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(ids.size(), 8000u);
}
