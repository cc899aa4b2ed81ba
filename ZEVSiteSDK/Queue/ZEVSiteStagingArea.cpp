#include "ZEVSiteStagingArea.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kNowhere = SIZE_MAX;
constexpr std::size_t kInitialRecords = 64;

std::size_t powerOfTwoAtLeast(std::size_t bytes, std::size_t from) {
  std::size_t size = from;
  while (size < bytes) size *= 2;
  return size;
}

}  // namespace

ZEVSiteStagingArea::ZEVSiteStagingArea(std::size_t maxLiveBytes)
    // A wrap wastes less than one event at the ring's end, so two of the largest events of
    // slack keep a place free for any event the live-byte bound admits.
    : maxRingBytes_(maxLiveBytes + 2 * kLargestEventBytes) {}

std::size_t ZEVSiteStagingArea::placeFor(std::size_t bytes) const noexcept {
  if (count_ == 0) return ringCapacity_ >= bytes ? 0 : kNowhere;
  if (wrapped_) return head_ - tail_ >= bytes ? tail_ : kNowhere;
  if (ringCapacity_ - tail_ >= bytes) return tail_;
  return head_ >= bytes ? 0 : kNowhere;
}

bool ZEVSiteStagingArea::tryAppend(std::string_view name, std::string_view body,
                                   std::int64_t createdMillis) {
  const std::size_t bytes = name.size() + body.size();
  if (count_ == 0) head_ = tail_ = 0, wrapped_ = false;
  std::size_t place = placeFor(bytes);
  if (place == kNowhere && ringCapacity_ < maxRingBytes_) {
    growRing(liveBytes_ + bytes);
    place = placeFor(bytes);
  }
  if (place == kNowhere) return false;
  if (count_ == records_.size()) growRecords();
  if (count_ > 0 && !wrapped_ && place != tail_) wrapped_ = true;
  if (count_ == 0) head_ = place;
  std::memcpy(ring_.get() + place, name.data(), name.size());
  std::memcpy(ring_.get() + place + name.size(), body.data(), body.size());
  tail_ = place + bytes;
  records_[(firstRecord_ + count_) % records_.size()] =
      Record{static_cast<std::uint32_t>(place), static_cast<std::uint32_t>(name.size()),
             static_cast<std::uint32_t>(body.size()), createdMillis};
  ++count_;
  liveBytes_ += bytes;
  return true;
}

ZEVSitePendingEvent ZEVSiteStagingArea::at(std::size_t index) const noexcept {
  const Record& event = record(index);
  const char* start = ring_.get() + event.offset;
  return ZEVSitePendingEvent{std::string_view(start, event.nameBytes),
                             std::string_view(start + event.nameBytes, event.bodyBytes),
                             event.createdMillis};
}

void ZEVSiteStagingArea::dropOldest() noexcept {
  if (count_ == 0) return;
  const Record dropped = record(0);
  liveBytes_ -= dropped.nameBytes + dropped.bodyBytes;
  firstRecord_ = (firstRecord_ + 1) % records_.size();
  if (--count_ == 0) {
    clear();
    return;
  }
  head_ = record(0).offset;
  // The oldest event is now the first of the ring's start: the live bytes are one run again.
  if (wrapped_ && head_ < dropped.offset) wrapped_ = false;
}

void ZEVSiteStagingArea::clear() noexcept {
  count_ = 0;
  firstRecord_ = 0;
  liveBytes_ = 0;
  head_ = tail_ = 0;
  wrapped_ = false;
}

void ZEVSiteStagingArea::growRing(std::size_t atLeast) {
  const std::size_t capacity = std::min(
      maxRingBytes_, powerOfTwoAtLeast(atLeast, std::max(kInitialBytes, 2 * ringCapacity_)));
  if (capacity <= ringCapacity_) return;
  // Not zeroed: untouched pages of a large ring cost no memory until a burst fills them.
  auto ring = std::make_unique_for_overwrite<char[]>(capacity);
  std::size_t offset = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    Record& event = records_[(firstRecord_ + i) % records_.size()];
    const std::size_t bytes = event.nameBytes + event.bodyBytes;
    std::memcpy(ring.get() + offset, ring_.get() + event.offset, bytes);
    event.offset = static_cast<std::uint32_t>(offset);
    offset += bytes;
  }
  ring_ = std::move(ring);
  ringCapacity_ = capacity;
  head_ = 0;
  tail_ = offset;
  wrapped_ = false;
}

void ZEVSiteStagingArea::growRecords() {
  std::vector<Record> records(std::max(kInitialRecords, 2 * records_.size()));
  for (std::size_t i = 0; i < count_; ++i) records[i] = record(i);
  records_ = std::move(records);
  firstRecord_ = 0;
}

void ZEVSiteStagingArea::fitFor(std::size_t bytes, std::size_t events) {
  if (count_ != 0) return;
  const std::size_t ringTarget =
      std::min(maxRingBytes_, powerOfTwoAtLeast(2 * bytes, kInitialBytes));
  if (ringCapacity_ < ringTarget || ringCapacity_ > 4 * ringTarget) {
    ring_ = std::make_unique_for_overwrite<char[]>(ringTarget);
    ringCapacity_ = ringTarget;
  }
  const std::size_t recordTarget = powerOfTwoAtLeast(2 * events, kInitialRecords);
  if (records_.size() < recordTarget || records_.size() > 4 * recordTarget) {
    records_ = std::vector<Record>(recordTarget);
  }
  clear();
}
