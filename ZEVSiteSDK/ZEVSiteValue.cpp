#include <ZEVSiteSDK/ZEVSiteValue.h>

#include <algorithm>
#include <functional>
#include <new>
#include <unordered_map>
#include <utility>

ZEVSiteValue::ZEVSiteValue(const char* text) {
  if (text) storage_ = std::string(text);
}

ZEVSiteValue::ZEVSiteValue(const ZEVSiteText& text) {
  if (text) storage_ = *text;
}

ZEVSiteValue::ZEVSiteValue(ZEVSiteDictionary dictionary)
    : storage_(std::make_shared<ZEVSiteDictionary>(std::move(dictionary))) {}

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
  auto* value = std::get_if<std::shared_ptr<ZEVSiteDictionary>>(&storage_);
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

ZEVSiteDictionary::~ZEVSiteDictionary() {
  using Owned = std::shared_ptr<ZEVSiteDictionary>;
  std::vector<Owned> pending;
  auto takeNested = [&pending](ZEVSiteDictionary& dictionary) {
    for (auto& entry : dictionary.entries_) {
      if (auto* nested = std::get_if<Owned>(&entry.second.storage_); nested && *nested) {
        pending.push_back(std::move(*nested));
      }
    }
  };
  takeNested(*this);
  while (!pending.empty()) {
    Owned node = std::move(pending.back());
    pending.pop_back();
    // No weak references exist, so a count of 1 means nobody else can reach the node: its
    // nested dictionaries are moved to the list before it goes, leaving it shallow.
    if (node.use_count() == 1) takeNested(*node);
  }
}

namespace {

std::size_t hashKey(std::string_view key) { return std::hash<std::string_view>{}(key); }

}  // namespace

std::size_t ZEVSiteDictionary::find(std::string_view key) const noexcept {
  if (index_.empty()) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].first == key) return i;
    }
    return std::string_view::npos;
  }
  const std::size_t mask = index_.size() - 1;
  for (std::size_t slot = hashKey(key) & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t stored = index_[slot];
    if (stored == 0) return std::string_view::npos;
    if (entries_[stored - 1].first == key) return stored - 1;
  }
}

void ZEVSiteDictionary::indexEntry(std::size_t position) {
  const std::size_t mask = index_.size() - 1;
  std::size_t slot = hashKey(entries_[position].first) & mask;
  while (index_[slot] != 0) slot = (slot + 1) & mask;
  index_[slot] = static_cast<std::uint32_t>(position + 1);
}

void ZEVSiteDictionary::rebuildIndex() {
  index_.clear();
  if (entries_.size() < kIndexFrom) return;
  std::size_t slots = 64;
  while (slots < entries_.size() * 2) slots *= 2;  // at most half full
  index_.assign(slots, 0);
  for (std::size_t i = 0; i < entries_.size(); ++i) indexEntry(i);
}

void ZEVSiteDictionary::setValue(ZEVSiteValue value, std::string_view key) {
  if (value.isAbsent()) {
    removeValueForKey(key);
    return;
  }
  if (std::size_t at = find(key); at != std::string_view::npos) {
    entries_[at].second = std::move(value);
    return;
  }
  entries_.emplace_back(std::string(key), std::move(value));
  if (entries_.size() >= kIndexFrom && entries_.size() * 2 > index_.size()) {
    rebuildIndex();  // doubles the table: amortised constant per insertion
  } else if (!index_.empty()) {
    indexEntry(entries_.size() - 1);
  }
}

void ZEVSiteDictionary::removeValueForKey(std::string_view key) {
  std::size_t at = find(key);
  if (at == std::string_view::npos) return;
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(at));
  // Positions after it moved: the erase is linear anyway, so is rebuilding the index.
  rebuildIndex();
}

const ZEVSiteValue* ZEVSiteDictionary::valueForKey(std::string_view key) const noexcept {
  std::size_t at = find(key);
  return at == std::string_view::npos ? nullptr : &entries_[at].second;
}

bool ZEVSiteDictionary::operator==(const ZEVSiteDictionary& other) const noexcept {
  // Pairs of nested dictionaries still to compare, instead of recursion.
  std::vector<std::pair<const ZEVSiteDictionary*, const ZEVSiteDictionary*>> pending{
      {this, &other}};
  try {
    while (!pending.empty()) {
      auto [left, right] = pending.back();
      pending.pop_back();
      if (left == right) continue;
      if (left->entries_.size() != right->entries_.size()) return false;
      for (std::size_t i = 0; i < left->entries_.size(); ++i) {
        const auto& [leftKey, leftValue] = left->entries_[i];
        const auto& [rightKey, rightValue] = right->entries_[i];
        if (leftKey != rightKey || leftValue.kind() != rightValue.kind()) return false;
        if (leftValue.kind() == ZEVSiteValue::Kind::Dictionary) {
          pending.emplace_back(leftValue.dictionary(), rightValue.dictionary());
        } else if (!(leftValue == rightValue)) {
          return false;
        }
      }
    }
  } catch (const std::bad_alloc&) {
    return false;  // out of memory for the list: cannot tell them equal
  }
  return true;
}

bool ZEVSiteDictionary::nestedDeeperThan(int limit) const {
  // Depth-first through a list of (dictionary, its depth), stopping at the first one too
  // deep. A dictionary shared at several places is walked again only from a greater depth,
  // so shared sub-dictionaries cost at most `limit` visits each, not one per path.
  std::vector<std::pair<const ZEVSiteDictionary*, int>> pending{{this, 1}};
  std::unordered_map<const ZEVSiteDictionary*, int> deepestSeen;
  while (!pending.empty()) {
    auto [dictionary, depth] = pending.back();
    pending.pop_back();
    if (depth > limit) return true;
    for (const auto& entry : dictionary->entries_) {
      const ZEVSiteDictionary* nested = entry.second.dictionary();
      if (!nested) continue;
      auto [seen, inserted] = deepestSeen.try_emplace(nested, depth + 1);
      if (!inserted) {
        if (seen->second >= depth + 1) continue;
        seen->second = depth + 1;
      }
      pending.emplace_back(nested, depth + 1);
    }
  }
  return false;
}
