#include <ZEVSiteSDK/ZEVSiteValue.h>

#include <algorithm>

ZEVSiteValue::ZEVSiteValue(const char* text) {
  if (text) storage_ = std::string(text);
}

ZEVSiteValue::ZEVSiteValue(const ZEVSiteText& text) {
  if (text) storage_ = *text;
}

ZEVSiteValue::ZEVSiteValue(ZEVSiteDictionary dictionary)
    : storage_(std::make_shared<const ZEVSiteDictionary>(std::move(dictionary))) {}

ZEVSiteValue::ZEVSiteValue(std::initializer_list<Entry> entries)
    : ZEVSiteValue(ZEVSiteDictionary(entries)) {}

std::optional<std::int64_t> ZEVSiteValue::integer() const noexcept {
  if (auto* value = std::get_if<std::int64_t>(&storage_)) return *value;
  return std::nullopt;
}

std::optional<double> ZEVSiteValue::number() const noexcept {
  if (auto* value = std::get_if<double>(&storage_)) return *value;
  if (auto* value = std::get_if<std::int64_t>(&storage_)) return static_cast<double>(*value);
  return std::nullopt;
}

std::optional<bool> ZEVSiteValue::boolean() const noexcept {
  if (auto* value = std::get_if<bool>(&storage_)) return *value;
  return std::nullopt;
}

const ZEVSiteDictionary* ZEVSiteValue::dictionary() const noexcept {
  auto* value = std::get_if<std::shared_ptr<const ZEVSiteDictionary>>(&storage_);
  return value ? value->get() : nullptr;
}

bool ZEVSiteValue::operator==(const ZEVSiteValue& other) const noexcept {
  if (kind() != other.kind()) return false;
  if (kind() == Kind::Dictionary) return *dictionary() == *other.dictionary();
  return storage_ == other.storage_;
}

ZEVSiteDictionary::ZEVSiteDictionary(std::initializer_list<Entry> entries) {
  entries_.reserve(entries.size());
  for (const auto& [key, value] : entries) setValue(value, key);
}

void ZEVSiteDictionary::setValue(ZEVSiteValue value, std::string_view key) {
  if (value.isAbsent()) {
    removeValueForKey(key);
    return;
  }
  for (auto& entry : entries_) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::string(key), std::move(value));
}

void ZEVSiteDictionary::removeValueForKey(std::string_view key) {
  std::erase_if(entries_, [key](const Entry& entry) { return entry.first == key; });
}

const ZEVSiteValue* ZEVSiteDictionary::valueForKey(std::string_view key) const noexcept {
  for (const auto& entry : entries_) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}
