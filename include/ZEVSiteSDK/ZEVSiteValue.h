/// @file
/// Values and dictionaries that the host hands to the SDK: custom dimensions and metrics,
/// custom actions, and the event parameters the SDK builds from them.
///
/// A ZEVSiteValue is absent, the null placeholder, a bool, a signed 64-bit integer, a double,
/// a UTF-8 string or a dictionary. Dictionaries keep their entries in insertion order, which
/// is the order the SDK visits them in. Both types are plain values: copy them freely, share
/// them between threads only for reading. Copying a value is shallow (nested dictionaries are
/// shared, never changed), and comparing and destroying never recurse, so a value nested any
/// depth is safe to hold; the SDK refuses to send events nested deeper than
/// ZEVSiteDictionary::kMaxNesting levels. A dictionary finds keys through a hash index once it
/// holds more than a few entries, so building one of n keys costs O(n).
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

/// Text that may be absent: std::nullopt stands for "no text", "" is an empty text.
using ZEVSiteText = std::optional<std::string>;

class ZEVSiteDictionary;

/// The null placeholder: a present value that stands for "nothing" (not the same as absent).
struct ZEVSiteNull {
  /// Every null placeholder equals every other.
  bool operator==(const ZEVSiteNull&) const = default;
};

/// One value the host hands to the SDK (see the file's description). The constructors are
/// implicit so that values and dictionary literals can be written in place; none of them
/// touches shared state, so any thread may build values.
class ZEVSITE_EXPORT ZEVSiteValue {
 public:
  /// What a value holds.
  enum class Kind {
    Absent,     ///< No value: left out of dictionaries and events.
    Null,       ///< The null placeholder, ZEVSiteNull.
    Bool,       ///< A bool.
    Integer,    ///< A signed 64-bit integer.
    Double,     ///< A double.
    String,     ///< A UTF-8 string.
    Dictionary  ///< A ZEVSiteDictionary.
  };
  /// One key and its value, as a dictionary holds them.
  using Entry = std::pair<std::string, ZEVSiteValue>;

  /// Absent.
  ZEVSiteValue() noexcept = default;
  /// Absent: std::nullopt stands for "no value".
  ZEVSiteValue(std::nullopt_t) noexcept {}
  /// The null placeholder.
  ZEVSiteValue(ZEVSiteNull) noexcept : storage_(ZEVSiteNull{}) {}
  /// A bool.
  ZEVSiteValue(bool value) noexcept : storage_(value) {}
  /// An integer of any type but bool, held as a signed 64-bit integer (an unsigned value
  /// above INT64_MAX wraps around).
  template <std::integral T>
  requires(!std::same_as<T, bool>) ZEVSiteValue(T value)
  noexcept : storage_(static_cast<std::int64_t>(value)) {}
  /// A floating-point number, held as a double.
  template <std::floating_point T>
  ZEVSiteValue(T value) noexcept : storage_(static_cast<double>(value)) {}
  /// A copy of the text; a null pointer gives an absent value.
  ZEVSiteValue(const char* text);
  /// The text as a string value (meant to be UTF-8).
  ZEVSiteValue(std::string text) : storage_(std::move(text)) {}
  /// A copy of the text as a string value (meant to be UTF-8).
  ZEVSiteValue(std::string_view text) : storage_(std::string(text)) {}
  /// The text as a string value; absent text gives an absent value.
  ZEVSiteValue(const ZEVSiteText& text);
  /// A dictionary value; the dictionary is never changed once the value holds it.
  ZEVSiteValue(ZEVSiteDictionary dictionary);
  /// Dictionary literal: {{"customDimension1", "blue"}, {"customMetrics2", 3}}. Built as
  /// ZEVSiteDictionary's constructor builds it.
  ZEVSiteValue(std::initializer_list<Entry> entries);

  /// What the value holds.
  Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }
  /// True for an absent value (not for the null placeholder).
  bool isAbsent() const noexcept { return kind() == Kind::Absent; }

  // Typed views: nullptr or nullopt when the value is of another kind.

  /// The string, or nullptr for another kind. Valid as long as the value.
  const std::string* string() const noexcept { return std::get_if<std::string>(&storage_); }
  /// The integer, or nullopt for another kind (a double included).
  std::optional<std::int64_t> integer() const noexcept;
  /// The double, or an integer converted to double; nullopt for every other kind.
  std::optional<double> number() const noexcept;
  /// The bool, or nullopt for another kind.
  std::optional<bool> boolean() const noexcept;
  /// The dictionary, or nullptr for another kind. Valid as long as the value; it may be
  /// shared with copies of the value.
  const ZEVSiteDictionary* dictionary() const noexcept;

  /// Same kind and same content; nested dictionaries are compared by content. An integer
  /// never equals a double.
  bool operator==(const ZEVSiteValue& other) const noexcept;

 private:
  friend class ZEVSiteDictionary;  // takes nested dictionaries apart without recursion

  // A dictionary is never changed once it is held by a value, except by the destructor of
  // its sole owner.
  std::variant<std::monostate, ZEVSiteNull, bool, std::int64_t, double, std::string,
               std::shared_ptr<ZEVSiteDictionary>>
      storage_;
};

/// Keys and values in insertion order (see the file's description). A plain value: one
/// thread may change a dictionary while no other uses it; any number may read it at once.
class ZEVSITE_EXPORT ZEVSiteDictionary {
 public:
  /// One key and its value.
  using Entry = ZEVSiteValue::Entry;
  /// Visits the entries in insertion order, read-only.
  using const_iterator = std::vector<Entry>::const_iterator;

  /// Deepest nesting of dictionaries in one value of an event the SDK sends (a dictionary
  /// value counting as 1, a dictionary inside it as 2); a deeper value is refused.
  static constexpr int kMaxNesting = 32;

  /// An empty dictionary.
  ZEVSiteDictionary() = default;
  /// Later entries replace earlier ones with the same key; absent values are left out.
  ZEVSiteDictionary(std::initializer_list<Entry> entries);
  ///@{
  /// Copies are shallow: nested dictionaries are shared, never changed. Moving leaves the
  /// source valid but unspecified.
  ZEVSiteDictionary(const ZEVSiteDictionary&) = default;
  ZEVSiteDictionary(ZEVSiteDictionary&&) noexcept = default;
  ZEVSiteDictionary& operator=(const ZEVSiteDictionary&) = default;
  ZEVSiteDictionary& operator=(ZEVSiteDictionary&&) noexcept = default;
  ///@}

  /// Takes nested dictionaries it owns alone apart through a list, never recursing.
  ~ZEVSiteDictionary();

  /// Stores `value` under `key`, keeping the key's place if it exists and appending it
  /// otherwise. An absent value removes the key. May invalidate iterators and pointers into
  /// the dictionary.
  void setValue(ZEVSiteValue value, std::string_view key);
  /// Removes `key` and its value, if present; the other entries keep their order. May
  /// invalidate iterators and pointers into the dictionary.
  void removeValueForKey(std::string_view key);
  /// The value under `key`, or nullptr when the key is missing. The pointer is valid until
  /// the dictionary changes.
  const ZEVSiteValue* valueForKey(std::string_view key) const noexcept;

  /// The number of entries.
  std::size_t count() const noexcept { return entries_.size(); }
  /// True when there are no entries.
  bool empty() const noexcept { return entries_.empty(); }
  /// Makes room for `n` entries, as std::vector::reserve does.
  void reserve(std::size_t n) { entries_.reserve(n); }
  ///@{
  /// The entries in insertion order.
  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }
  ///@}

  /// Same entries in the same order, nested dictionaries compared by content.
  bool operator==(const ZEVSiteDictionary& other) const noexcept;
  /// True when dictionaries are nested more than `limit` deep (this one counting as 1).
  /// Never recurses.
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
