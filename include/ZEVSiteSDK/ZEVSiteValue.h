// Values and dictionaries that the host hands to the SDK: custom dimensions and metrics,
// custom actions, and the event parameters the SDK builds from them.
//
// A ZEVSiteValue is absent, the null placeholder, a bool, a signed 64-bit integer, a double,
// a UTF-8 string or a dictionary. Dictionaries keep their entries in insertion order, which
// is the order the SDK visits them in. Both types are plain values: copy them freely, share
// them between threads only for reading. Copying a value is shallow (nested dictionaries are
// shared, never changed), and comparing and destroying never recurse, so a value nested any
// depth is safe to hold; the SDK refuses to send events nested deeper than
// ZEVSiteDictionary::kMaxNesting levels. A dictionary finds keys through a hash index once it
// holds more than a few entries, so building one of n keys costs O(n).
#pragma once

#include <ZEVSiteSDK/ZEVSiteExport.h>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// Text that may be absent: std::nullopt stands for "no text", "" is an empty text.
using ZEVSiteText = std::optional<std::string>;

class ZEVSiteDictionary;

// The null placeholder: a present value that stands for "nothing" (not the same as absent).
struct ZEVSiteNull {
  bool operator==(const ZEVSiteNull&) const = default;
};

class ZEVSITE_EXPORT ZEVSiteValue {
 public:
  enum class Kind { Absent, Null, Bool, Integer, Double, String, Dictionary };
  using Entry = std::pair<std::string, ZEVSiteValue>;

  // Absent.
  ZEVSiteValue() noexcept = default;
  ZEVSiteValue(std::nullopt_t) noexcept {}
  ZEVSiteValue(ZEVSiteNull) noexcept : storage_(ZEVSiteNull{}) {}
  ZEVSiteValue(bool value) noexcept : storage_(value) {}
  template <std::integral T>
  requires(!std::same_as<T, bool>) ZEVSiteValue(T value)
  noexcept : storage_(static_cast<std::int64_t>(value)) {}
  template <std::floating_point T>
  ZEVSiteValue(T value) noexcept : storage_(static_cast<double>(value)) {}
  // A null pointer gives an absent value.
  ZEVSiteValue(const char* text);
  ZEVSiteValue(std::string text) : storage_(std::move(text)) {}
  ZEVSiteValue(std::string_view text) : storage_(std::string(text)) {}
  // Absent text gives an absent value.
  ZEVSiteValue(const ZEVSiteText& text);
  ZEVSiteValue(ZEVSiteDictionary dictionary);
  // Dictionary literal: {{"customDimension1", "blue"}, {"customMetrics2", 3}}.
  ZEVSiteValue(std::initializer_list<Entry> entries);

  Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }
  bool isAbsent() const noexcept { return kind() == Kind::Absent; }

  // Typed views: nullptr or nullopt when the value is of another kind.
  const std::string* string() const noexcept { return std::get_if<std::string>(&storage_); }
  std::optional<std::int64_t> integer() const noexcept;
  std::optional<double> number() const noexcept;
  std::optional<bool> boolean() const noexcept;
  const ZEVSiteDictionary* dictionary() const noexcept;

  bool operator==(const ZEVSiteValue& other) const noexcept;

 private:
  friend class ZEVSiteDictionary;  // takes nested dictionaries apart without recursion

  // A dictionary is never changed once it is held by a value, except by the destructor of
  // its sole owner.
  std::variant<std::monostate, ZEVSiteNull, bool, std::int64_t, double, std::string,
               std::shared_ptr<ZEVSiteDictionary>>
      storage_;
};

class ZEVSITE_EXPORT ZEVSiteDictionary {
 public:
  using Entry = ZEVSiteValue::Entry;
  using const_iterator = std::vector<Entry>::const_iterator;

  // Deepest nesting of dictionaries in one value of an event the SDK sends (a dictionary
  // value counting as 1, a dictionary inside it as 2); a deeper value is refused.
  static constexpr int kMaxNesting = 32;

  ZEVSiteDictionary() = default;
  // Later entries replace earlier ones with the same key; absent values are left out.
  ZEVSiteDictionary(std::initializer_list<Entry> entries);
  ZEVSiteDictionary(const ZEVSiteDictionary&) = default;
  ZEVSiteDictionary(ZEVSiteDictionary&&) noexcept = default;
  ZEVSiteDictionary& operator=(const ZEVSiteDictionary&) = default;
  ZEVSiteDictionary& operator=(ZEVSiteDictionary&&) noexcept = default;
  // Takes nested dictionaries it owns alone apart through a list, never recursing.
  ~ZEVSiteDictionary();

  // Stores `value` under `key`, keeping the key's place if it exists and appending it
  // otherwise. An absent value removes the key.
  void setValue(ZEVSiteValue value, std::string_view key);
  void removeValueForKey(std::string_view key);
  // The value under `key`, or nullptr when the key is missing.
  const ZEVSiteValue* valueForKey(std::string_view key) const noexcept;

  std::size_t count() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  void reserve(std::size_t n) { entries_.reserve(n); }
  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }

  // Same entries in the same order, nested dictionaries compared by content.
  bool operator==(const ZEVSiteDictionary& other) const noexcept;
  // True when dictionaries are nested more than `limit` deep (this one counting as 1).
  bool nestedDeeperThan(int limit) const;

 private:
  // Position of `key` in entries_, or npos.
  std::size_t find(std::string_view key) const noexcept;
  void rebuildIndex();
  void indexEntry(std::size_t position);

  std::vector<Entry> entries_;
  // Open-addressing hash index into entries_ (position + 1, 0 for a free slot), kept once
  // the dictionary holds kIndexFrom entries; empty below that, where a scan is cheaper.
  std::vector<std::uint32_t> index_;
  static constexpr std::size_t kIndexFrom = 16;
};
