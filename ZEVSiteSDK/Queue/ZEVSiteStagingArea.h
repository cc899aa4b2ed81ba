// Events waiting for the writer thread, kept in one byte ring instead of one heap string per
// event: each event's name and upload string lie side by side in the ring, never split
// across its end, and a small record says where. Appending copies the bytes and dropping
// the oldest is O(1), so staging an event allocates nothing once the records have grown to
// a burst's count.
//
// The ring is mapped once at its full size and costs no memory until written: an emptied
// ring starts again at its beginning, so a quiet host touches only its first pages. Between
// batches the writer thread gives back the pages a burst touched and faults in those the
// next batch will need, so host threads seldom fault pages in themselves.
//
// Not thread-safe: the event storage guards each area with its staging lock, or hands an
// area to its writer thread alone.
#pragma once

#include "ZEVSiteEventStore.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zevsite {
class StagingArea {
 public:
  // Bytes of a ring kept faulted in however quiet the host is.
  static constexpr std::size_t kInitialBytes = 64 * 1024;
  // Name plus upload string of the largest event the ring is sized for: upload strings are
  // refused beyond 8 KiB, so this leaves ample room for the name.
  static constexpr std::size_t kLargestEventBytes = 16 * 1024;

  // `maxLiveBytes` is the most bytes of names and upload strings the area holds at once.
  // The ring is that plus room for the unused end a wrap leaves, so an event of up to
  // kLargestEventBytes always fits while the live bytes stay within the bound. Throws
  // std::bad_alloc when the ring cannot be mapped.
  explicit StagingArea(std::size_t maxLiveBytes);
  StagingArea(StagingArea&& other) noexcept;
  StagingArea& operator=(StagingArea&& other) noexcept;
  ~StagingArea();

  std::size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  // Bytes of names and upload strings held.
  std::size_t liveBytes() const noexcept { return liveBytes_; }
  // Bytes of the ring written or faulted in since it was last given back: the most of it
  // that can be resident.
  std::size_t touchedBytes() const noexcept { return touched_; }

  // Copies the event in. False when it does not fit now: the caller drops the oldest (or
  // gives up on an event larger than the whole ring) and tries again. Within the live-byte
  // bound an event of up to kLargestEventBytes always fits.
  bool tryAppend(std::string_view name, std::string_view body, std::int64_t createdMillis,
                 std::int64_t seenMillis);
  // The `index`-th event, oldest first; its views stay valid until the event is dropped or
  // the area cleared.
  PendingEvent at(std::size_t index) const noexcept;
  void dropOldest() noexcept;
  // Forgets every event and keeps the memory.
  void clear() noexcept;
  // Readies an empty area for a batch like the last one (`bytes` and `events`): faults in
  // twice its bytes (kInitialBytes at least), gives back the pages beyond, and sizes the
  // records likewise. The writer thread calls it on the area it has just written, which
  // becomes the staging area at the next batch.
  void fitFor(std::size_t bytes, std::size_t events);

 private:
  struct Record {
    std::uint32_t offset;
    std::uint32_t nameBytes;
    std::uint32_t bodyBytes;
    std::int64_t createdMillis;
    std::int64_t seenMillis;
  };

  // Where `bytes` can go without splitting them, or SIZE_MAX when nowhere.
  std::size_t placeFor(std::size_t bytes) const noexcept;
  void growRecords();
  const Record& record(std::size_t index) const noexcept {
    return records_[(firstRecord_ + index) % records_.size()];
  }

  std::size_t ringCapacity_;
  char* ring_ = nullptr;  // mapped, ringCapacity_ bytes
  std::size_t touched_ = 0;
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
}  // namespace zevsite
