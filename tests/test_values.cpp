#include <ZEVSiteSDK/ZEVSiteValue.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> keysOf(const ZEVSiteDictionary& dictionary) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : dictionary) keys.push_back(key);
  return keys;
}

// Host code passes dictionaries as literals to a const ZEVSiteValue& parameter.
ZEVSiteValue passThrough(const ZEVSiteValue& value) { return value; }

}  // namespace

TEST(ZEVSiteValue, KindsAndLiterals) {
  EXPECT_EQ(ZEVSiteValue{}.kind(), ZEVSiteValue::Kind::Absent);
  EXPECT_EQ(ZEVSiteValue(std::nullopt).kind(), ZEVSiteValue::Kind::Absent);
  EXPECT_EQ(ZEVSiteValue(ZEVSiteText{}).kind(), ZEVSiteValue::Kind::Absent);
  EXPECT_EQ(ZEVSiteValue(static_cast<const char*>(nullptr)).kind(), ZEVSiteValue::Kind::Absent);
  EXPECT_EQ(ZEVSiteValue(ZEVSiteNull{}).kind(), ZEVSiteValue::Kind::Null);
  EXPECT_EQ(ZEVSiteValue(true).kind(), ZEVSiteValue::Kind::Bool);
  EXPECT_EQ(ZEVSiteValue(3).integer(), 3);
  EXPECT_EQ(ZEVSiteValue(-9223372036854775807LL - 1).integer(), INT64_MIN);
  EXPECT_EQ(ZEVSiteValue(2.5).number(), 2.5);
  EXPECT_EQ(*ZEVSiteValue("text").string(), "text");
  EXPECT_EQ(*ZEVSiteValue(ZEVSiteText("")).string(), "");
  EXPECT_EQ(ZEVSiteValue("3").integer(), std::nullopt);  // a string never becomes a number

  ZEVSiteValue single = passThrough({{"customActionId", "a"}});
  ASSERT_NE(single.dictionary(), nullptr);
  EXPECT_EQ(single.dictionary()->count(), 1u);
  ZEVSiteValue mixed =
      passThrough({{"b", "blue"}, {"a", 3}, {"c", ZEVSiteNull{}}, {"d", {{"nested", true}}}});
  ASSERT_NE(mixed.dictionary(), nullptr);
  EXPECT_EQ(keysOf(*mixed.dictionary()), (std::vector<std::string>{"b", "a", "c", "d"}));
  EXPECT_EQ(mixed.dictionary()->valueForKey("a")->integer(), 3);
  EXPECT_NE(mixed.dictionary()->valueForKey("d")->dictionary(), nullptr);
  EXPECT_EQ(passThrough({}).kind(), ZEVSiteValue::Kind::Absent);
}

TEST(ZEVSiteDictionary, SetValueKeepsOrderReplacesInPlaceAndAbsentRemoves) {
  ZEVSiteDictionary dictionary;
  dictionary.setValue("1", "one");
  dictionary.setValue(2, "two");
  dictionary.setValue(3, "three");
  dictionary.setValue("uno", "one");  // replaced where it stands
  EXPECT_EQ(keysOf(dictionary), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(*dictionary.valueForKey("one")->string(), "uno");

  dictionary.setValue(ZEVSiteValue{}, "two");
  dictionary.setValue(ZEVSiteText{}, "missing");
  EXPECT_EQ(keysOf(dictionary), (std::vector<std::string>{"one", "three"}));
  EXPECT_EQ(dictionary.valueForKey("two"), nullptr);

  dictionary.setValue("", "empty");  // an empty string is a value
  ASSERT_NE(dictionary.valueForKey("empty"), nullptr);

  ZEVSiteDictionary copy = dictionary;
  copy.setValue(1, "one");
  EXPECT_EQ(*dictionary.valueForKey("one")->string(), "uno");
  EXPECT_FALSE(copy == dictionary);

  ZEVSiteDictionary duplicated{{"k", 1}, {"k", 2}, {"gone", ZEVSiteValue{}}};
  EXPECT_EQ(duplicated.count(), 1u);
  EXPECT_EQ(duplicated.valueForKey("k")->integer(), 2);
}
