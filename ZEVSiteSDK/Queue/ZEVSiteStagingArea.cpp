#include "ZEVSiteStagingArea.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr std::size_t kNowhere = SIZE_MAX;
constexpr std::size_t kInitialRecords = 64;

std::size_t powerOfTwoAtLeast(std::size_t count, std::size_t from) {
  std::size_t size = from;
  while (size < count) size *= 2;
  return size;
}

std::size_t pageBytes() {
  static const std::size_t bytes = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return bytes;
}

std::size_t roundUpToPage(std::size_t bytes) {
  return (bytes + pageBytes() - 1) / pageBytes() * pageBytes();
}

}  // namespace

zevsite::StagingArea::StagingArea(std::size_t maxLiveBytes)
    // A wrap wastes less than one event at the ring's end, so two of the largest events of
    // slack keep a place free for any event the live-byte bound admits.
    : ringCapacity_(roundUpToPage(maxLiveBytes + 2 * kLargestEventBytes)) {
  void* ring =
      ::mmap(nullptr, ringCapacity_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (ring == MAP_FAILED) throw std::bad_alloc();
  ring_ = static_cast<char*>(ring);
}

zevsite::StagingArea::StagingArea(zevsite::StagingArea&& other) noexcept : ringCapacity_(0) {
  *this = std::move(other);
}

// Swaps: the moved-from area keeps a valid (possibly unmapped) state and frees what it got.
zevsite::StagingArea& zevsite::StagingArea::operator=(zevsite::StagingArea&& other) noexcept {
  std::swap(ringCapacity_, other.ringCapacity_);
  std::swap(ring_, other.ring_);
  std::swap(touched_, other.touched_);
  std::swap(head_, other.head_);
  std::swap(tail_, other.tail_);
  std::swap(wrapped_, other.wrapped_);
  std::swap(liveBytes_, other.liveBytes_);
  std::swap(records_, other.records_);
  std::swap(firstRecord_, other.firstRecord_);
  std::swap(count_, other.count_);
  return *this;
}

zevsite::StagingArea::~StagingArea() {
  if (ring_) ::munmap(ring_, ringCapacity_);
}

std::size_t zevsite::StagingArea::placeFor(std::size_t bytes) const noexcept {
  if (count_ == 0) return ringCapacity_ >= bytes ? 0 : kNowhere;
  if (wrapped_) return head_ - tail_ >= bytes ? tail_ : kNowhere;
  if (ringCapacity_ - tail_ >= bytes) return tail_;
  return head_ >= bytes ? 0 : kNowhere;
}

bool zevsite::StagingArea::tryAppend(std::string_view name, std::string_view body,
                                     std::int64_t createdMillis, std::int64_t seenMillis) {
  const std::size_t bytes = name.size() + body.size();
  if (count_ == 0) head_ = tail_ = 0, wrapped_ = false;
  const std::size_t place = placeFor(bytes);
  if (place == kNowhere) return false;
  if (count_ == records_.size()) growRecords();
  if (count_ > 0 && !wrapped_ && place != tail_) wrapped_ = true;
  if (count_ == 0) head_ = place;
  std::memcpy(ring_ + place, name.data(), name.size());
  std::memcpy(ring_ + place + name.size(), body.data(), body.size());
  tail_ = place + bytes;
  touched_ = std::max(touched_, tail_);
  records_[(firstRecord_ + count_) % records_.size()] =
      Record{static_cast<std::uint32_t>(place), static_cast<std::uint32_t>(name.size()),
             static_cast<std::uint32_t>(body.size()), createdMillis, seenMillis};
  ++count_;
  liveBytes_ += bytes;
  return true;
}

zevsite::PendingEvent zevsite::StagingArea::at(std::size_t index) const noexcept {
  const Record& event = record(index);
  const char* start = ring_ + event.offset;
  return zevsite::PendingEvent{std::string_view(start, event.nameBytes),
                               std::string_view(start + event.nameBytes, event.bodyBytes),
                               event.createdMillis, event.seenMillis};
}

void zevsite::StagingArea::dropOldest() noexcept {
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

void zevsite::StagingArea::clear() noexcept {
  count_ = 0;
  firstRecord_ = 0;
  liveBytes_ = 0;
  head_ = tail_ = 0;
  wrapped_ = false;
}

void zevsite::StagingArea::growRecords() {
  std::vector<Record> records(std::max(kInitialRecords, 2 * records_.size()));
  for (std::size_t i = 0; i < count_; ++i) records[i] = record(i);
  records_ = std::move(records);
  firstRecord_ = 0;
}

void zevsite::StagingArea::fitFor(std::size_t bytes, std::size_t events) {
  if (count_ != 0) return;
  clear();
  const std::size_t keep =
      std::min(ringCapacity_, roundUpToPage(std::max(kInitialBytes, 2 * bytes)));
  if (touched_ > keep) {
    // The kernel takes these pages back; written again, they fault in as zero pages.
    ::madvise(ring_ + keep, roundUpToPage(touched_) - keep, MADV_DONTNEED);
  }
  for (std::size_t page = roundUpToPage(std::min(touched_, keep)); page < keep;
       page += pageBytes()) {
    ring_[page] = 0;
  }
  touched_ = keep;
  const std::size_t recordTarget = powerOfTwoAtLeast(2 * events, kInitialRecords);
  if (records_.size() < recordTarget || records_.size() > 4 * recordTarget) {
    records_ = std::vector<Record>(recordTarget);
  }
}
