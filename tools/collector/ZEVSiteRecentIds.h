// The event ids a collector saw last, at most a fixed number: what it needs to tell a
// repeated upload (an SDK sending again a batch whose answer it lost, seconds or minutes
// later) from a new one without keeping anything per event for ever. The store keeps each
// event once whatever this says; the window only spares it the work and keeps the counts and
// the printed events honest. 64-bit hashes of the ids, in insertion order. Not thread-safe:
// the collector guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace zevsite::collector {

class RecentIds {
 public:
  explicit RecentIds(std::size_t capacity) : capacity_(capacity) {
    ring_.reserve(capacity);
    set_.reserve(capacity);
  }

  bool contains(std::string_view id) const { return set_.count(hashOf(id)) > 0; }
  // Remembers `id`, forgetting the oldest when full; false when it was remembered already.
  bool insert(std::string_view id) {
    const std::uint64_t hash = hashOf(id);
    if (!set_.insert(hash).second) return false;
    if (ring_.size() < capacity_) {
      ring_.push_back(hash);
    } else {
      set_.erase(ring_[next_]);
      ring_[next_] = hash;
      next_ = (next_ + 1) % capacity_;
    }
    return true;
  }
  std::size_t size() const { return set_.size(); }

 private:
  static std::uint64_t hashOf(std::string_view id) { return std::hash<std::string_view>{}(id); }

  std::size_t capacity_;
  std::vector<std::uint64_t> ring_;  // the hashes in insertion order, a ring once full
  std::size_t next_ = 0;             // the oldest, once full
  std::unordered_set<std::uint64_t> set_;
};

}  // namespace zevsite::collector
