// Events waiting for the writer thread, kept in one byte ring instead of one heap string per
// event: each event's name and upload string lie side by side in the ring, never split
// across its end, and a small record says where. Appending copies the bytes and dropping
// the oldest is O(1), so once the ring has grown to the size a burst needs, staging an
// event allocates nothing and the bytes are freed by no other thread than the one that
// allocated them.
//
// Not thread-safe: the event storage guards each area with its staging lock, or hands an
// area to its writer thread alone.
#pragma once

#include "ZEVSiteEventStore.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

class ZEVSiteStagingArea {
 public:
  // The ring starts this large and doubles (up to its capacity bound) when an event does not
  // fit; shrink() returns it here.
  static constexpr std::size_t kInitialBytes = 64 * 1024;

  // `maxLiveBytes` is the most bytes of names and upload strings the area holds at once;
  // the ring itself may grow to that plus room for the unused end a wrap leaves, so an event
  // of up to kLargestEventBytes always fits while the live bytes stay within the bound.
  explicit ZEVSiteStagingArea(std::size_t maxLiveBytes);
  ZEVSiteStagingArea(ZEVSiteStagingArea&&) noexcept = default;
  ZEVSiteStagingArea& operator=(ZEVSiteStagingArea&&) noexcept = default;

  // Name plus upload string of the largest event the ring is sized for: upload strings are
  // refused beyond 8 KiB, so this leaves ample room for the name.
  static constexpr std::size_t kLargestEventBytes = 16 * 1024;

  std::size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  // Bytes of names and upload strings held.
  std::size_t liveBytes() const noexcept { return liveBytes_; }
  // Bytes the ring has allocated.
  std::size_t ringBytes() const noexcept { return ringCapacity_; }

  // Copies the event in. False when it does not fit now: the caller drops the oldest (or
  // gives up on an event larger than the whole ring) and tries again.
  bool tryAppend(std::string_view name, std::string_view body, std::int64_t createdMillis);
  // The `index`-th event, oldest first; its views stay valid until the event is dropped,
  // the area cleared, or more is appended.
  ZEVSitePendingEvent at(std::size_t index) const noexcept;
  void dropOldest() noexcept;
  // Forgets every event and keeps the memory.
  void clear() noexcept;
  // Sizes an empty area for a batch like the last one (`bytes` and `events`): the writer
  // thread calls it on the area it has just written, which becomes the staging area at the
  // next batch, so host threads rarely grow a ring themselves, and a ring grown in a burst
  // is given back once batches are small again.
  void fitFor(std::size_t bytes, std::size_t events);

 private:
  struct Record {
    std::uint32_t offset;
    std::uint32_t nameBytes;
    std::uint32_t bodyBytes;
    std::int64_t createdMillis;
  };

  // Where `bytes` can go without splitting them, or SIZE_MAX when nowhere.
  std::size_t placeFor(std::size_t bytes) const noexcept;
  void growRing(std::size_t atLeast);
  void growRecords();
  const Record& record(std::size_t index) const noexcept {
    return records_[(firstRecord_ + index) % records_.size()];
  }

  std::size_t maxRingBytes_;
  std::unique_ptr<char[]> ring_;
  std::size_t ringCapacity_ = 0;
  // Live bytes run from head_ to tail_; when wrapped_, from head_ to the last record before
  // the ring's end and then from 0 to tail_.
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
  bool wrapped_ = false;
  std::size_t liveBytes_ = 0;
  // A circular array of records, oldest at firstRecord_.
  std::vector<Record> records_;
  std::size_t firstRecord_ = 0;
  std::size_t count_ = 0;
};
