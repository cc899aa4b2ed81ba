// Values and dictionaries that the host hands to the SDK: custom dimensions and metrics,
// custom actions, and the event parameters the SDK builds from them.
//
// A ZEVSiteValue is absent, the null placeholder, a bool, a signed 64-bit integer, a double,
// a UTF-8 string or a dictionary. Dictionaries keep their entries in insertion order, which
// is the order the SDK visits them in. Both types are plain values: copy them freely, share
// them between threads only for reading.
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
  std::variant<std::monostate, ZEVSiteNull, bool, std::int64_t, double, std::string,
               std::shared_ptr<const ZEVSiteDictionary>>
      storage_;
};

class ZEVSITE_EXPORT ZEVSiteDictionary {
 public:
  using Entry = ZEVSiteValue::Entry;
  using const_iterator = std::vector<Entry>::const_iterator;

  ZEVSiteDictionary() = default;
  // Later entries replace earlier ones with the same key; absent values are left out.
  ZEVSiteDictionary(std::initializer_list<Entry> entries);

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

  bool operator==(const ZEVSiteDictionary& other) const noexcept {
    return entries_ == other.entries_;
  }

 private:
  std::vector<Entry> entries_;
};
