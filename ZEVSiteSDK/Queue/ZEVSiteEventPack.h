// Many events in one stored row, each written as its difference from the one before.
//
// Consecutive upload strings of one process share most of their bytes: the page or event
// and its parameters at the front, the context (user, version, system, session) at the end.
// Each event keeps only the bytes between the prefix and the suffix it shares with the
// previous one (and, where the two are as long, only the bytes that changed in place: the
// event id and time), and its id and times as varint deltas, so a burst's row stores about
// a tenth of its upload strings' bytes. Encoding compares the two strings byte by byte and
// copies what differs: far cheaper than a general compressor, and the writer's thread is
// the one that must keep up with the host.
//
// Layout: a format byte, then per event: the id's step from the previous id (the first
// from the row's first id), the created and seen times' steps (zigzag), the name as shared
// prefix plus new bytes, and the body as shared prefix, shared suffix and the middle (whole,
// or as runs of kept and changed bytes); every number is an unsigned LEB128 varint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zevsite {
// An event on its way into the store; the bytes viewed belong to the caller.
struct PendingEvent {
  std::string_view name;
  std::string_view body;
  std::int64_t createdMillis = 0;  // the wall clock when it was accepted
  std::int64_t seenMillis = 0;     // the store's clock when it was accepted
};

// An event read back from the store, with its id.
struct StoredEvent {
  std::int64_t rowId = 0;
  std::string name;
  std::string body;
  std::int64_t createdMillis = 0;  // the wall clock when it was made, as its "ts" says
  std::int64_t seenMillis = 0;     // the store's clock when it was stored
};

class EventPackWriter {
 public:
  // Starts a new row whose first event will have id `firstId`.
  void start(std::int64_t firstId);
  // Appends an event; ids must grow within a row. The bytes viewed must stay valid until the
  // next add or start: the next event is written against them.
  void add(std::int64_t id, std::string_view name, std::string_view body,
           std::int64_t createdMillis, std::int64_t seenMillis);
  std::string_view bytes() const noexcept { return {buffer_.get(), size_}; }
  std::size_t events() const noexcept { return events_; }
  std::int64_t firstId() const noexcept { return firstId_; }
  std::int64_t lastId() const noexcept { return previousId_; }
  std::int64_t oldestSeenMillis() const noexcept { return oldestSeen_; }
  std::int64_t newestSeenMillis() const noexcept { return newestSeen_; }

 private:
  // Room for `bytes` more at the end of the row; returns where they go.
  char* reserve(std::size_t bytes);

  // The row's bytes so far: written through a pointer, so no byte is written twice.
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0, capacity_ = 0;
  std::size_t events_ = 0;
  std::int64_t firstId_ = 0, previousId_ = 0, previousCreated_ = 0, previousSeen_ = 0;
  std::int64_t oldestSeen_ = 0, newestSeen_ = 0;
  // The previous event's name and body, which the next one is written against.
  std::string_view previousName_, previousBody_;
};

// Appends the events of a row written by EventPackWriter to `out`, oldest first. False when
// the bytes are not a well-formed row (nothing is read past them); the events read before
// the fault are kept in `out`.
bool unpackEvents(std::string_view packed, std::int64_t firstId, std::vector<StoredEvent>& out);
}  // namespace zevsite
