#include "ZEVSiteEventPack.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>

namespace {

constexpr char kFormat = 1;

// Writes `value` at `out` and returns the end; at most kMaxVarintBytes.
constexpr std::size_t kMaxVarintBytes = 10;
char* putVarint(char* out, std::uint64_t value) {
  while (value >= 0x80) {
    *out++ = static_cast<char>((value & 0x7f) | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<char>(value);
  return out;
}

char* putBytes(char* out, std::string_view bytes) {
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  return out + bytes.size();
}

// Words compare as bytes in memory order only where the first byte is the least significant.
constexpr bool kWordsCompare = std::endian::native == std::endian::little;

// Where `a` and `b` first differ within `size` bytes (or `size`), eight bytes at a time.
std::size_t firstDifference(const char* a, const char* b, std::size_t size) {
  std::size_t i = 0;
  for (; kWordsCompare && i + 8 <= size; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return i + static_cast<std::size_t>(std::countr_zero(x ^ y)) / 8;
  }
  while (i < size && a[i] == b[i]) ++i;
  return i;
}

// How many bytes `a` and `b` share at their ends, looking at most `size` bytes back.
std::size_t sharedBack(const char* aEnd, const char* bEnd, std::size_t size) {
  std::size_t i = 0;
  for (; kWordsCompare && i + 8 <= size; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, aEnd - i - 8, 8);
    std::memcpy(&y, bEnd - i - 8, 8);
    if (x != y) return i + static_cast<std::size_t>(std::countl_zero(x ^ y)) / 8;
  }
  while (i < size &&
         aEnd[-1 - static_cast<std::ptrdiff_t>(i)] == bEnd[-1 - static_cast<std::ptrdiff_t>(i)]) {
    ++i;
  }
  return i;
}

// Differences of times may be negative (a wall clock set back): zigzag keeps them short.
std::uint64_t zigzag(std::int64_t value) {
  return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}
std::int64_t unzigzag(std::uint64_t value) {
  return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

// Wrapping arithmetic: the steps are taken and undone modulo 2^64, so no id or time overflows.
std::int64_t wrappingSub(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
std::int64_t wrappingAdd(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

std::size_t sharedPrefix(std::string_view a, std::string_view b) {
  return firstDifference(a.data(), b.data(), std::min(a.size(), b.size()));
}

// The suffix `a` and `b` share beyond their first `skip` bytes.
std::size_t sharedSuffix(std::string_view a, std::string_view b, std::size_t skip) {
  return sharedBack(a.data() + a.size(), b.data() + b.size(), std::min(a.size(), b.size()) - skip);
}

// Reads the row's bytes in order; every read checks what is left.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool done() const { return position_ == bytes_.size(); }
  bool varint(std::uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (position_ == bytes_.size()) return false;
      const auto byte = static_cast<unsigned char>(bytes_[position_++]);
      value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
      if (!(byte & 0x80)) return true;
    }
    return false;
  }
  bool size(std::size_t& value) {
    std::uint64_t raw = 0;
    if (!varint(raw) || raw > bytes_.size()) return false;
    value = static_cast<std::size_t>(raw);
    return true;
  }
  bool take(std::size_t count, std::string_view& out) {
    if (count > bytes_.size() - position_) return false;
    out = bytes_.substr(position_, count);
    position_ += count;
    return true;
  }

 private:
  std::string_view bytes_;
  std::size_t position_ = 0;
};

// Rebuilds `current` from the previous string and what the row says of the difference.
bool readName(Reader& reader, const std::string& previous, std::string& current) {
  std::size_t prefix = 0, fresh = 0;
  std::string_view bytes;
  if (!reader.size(prefix) || prefix > previous.size() || !reader.size(fresh) ||
      !reader.take(fresh, bytes)) {
    return false;
  }
  current.assign(previous, 0, prefix);
  current.append(bytes);
  return true;
}

// The part of a body between what it shares with the previous one at both ends, written
// against the previous body's bytes at the same place. When both are as long (an upload
// string whose event id, time or a value changed in place) it is written as runs of kept
// and changed bytes, so a change in the front and one at the back cost only their bytes;
// otherwise whole. Tagged with the low bit: 1 for runs.
constexpr std::size_t kShortestKeptRun = 4;  // shorter runs of equal bytes cost more to skip

// The most bytes putMiddle writes for a middle of `size` bytes: every changed run but the
// first follows a kept run of kShortestKeptRun bytes at least, and costs two varints.
constexpr std::size_t mostMiddleBytes(std::size_t size) {
  return kMaxVarintBytes + size + (size / kShortestKeptRun + 1) * 2 * kMaxVarintBytes;
}

char* putMiddle(char* out, std::string_view previous, std::string_view middle) {
  if (middle.empty() || previous.size() != middle.size()) {
    out = putVarint(out, std::uint64_t{middle.size()} << 1);
    return putBytes(out, middle);
  }
  out = putVarint(out, (std::uint64_t{middle.size()} << 1) | 1);
  std::size_t position = 0;
  while (position < middle.size()) {
    const std::size_t kept =
        position + firstDifference(middle.data() + position, previous.data() + position,
                                   middle.size() - position);
    // The changed run goes on over short runs of equal bytes, up to a long one or the end.
    std::size_t changedEnd = kept, equalRun = 0;
    for (std::size_t i = kept; i < middle.size() && equalRun < kShortestKeptRun; ++i) {
      if (middle[i] == previous[i]) {
        ++equalRun;
      } else {
        equalRun = 0;
        changedEnd = i + 1;
      }
    }
    out = putVarint(out, kept - position);
    out = putVarint(out, changedEnd - kept);
    out = putBytes(out, middle.substr(kept, changedEnd - kept));
    position = changedEnd;
  }
  return out;
}

bool readMiddle(Reader& reader, std::string_view previous, std::string& current) {
  std::uint64_t tagged = 0;
  if (!reader.varint(tagged)) return false;
  const std::uint64_t size = tagged >> 1;
  std::string_view bytes;
  if (!(tagged & 1)) {
    if (!reader.take(static_cast<std::size_t>(size), bytes)) return false;
    current.append(bytes);
    return true;
  }
  if (size != previous.size() || size == 0) return false;
  std::size_t position = 0;
  while (position < size) {
    std::uint64_t kept = 0, changed = 0;
    if (!reader.varint(kept) || kept > size - position) return false;
    current.append(previous.substr(position, kept));
    position += kept;
    if (!reader.varint(changed) || changed > size - position || !reader.take(changed, bytes)) {
      return false;
    }
    if (kept == 0 && changed == 0) return false;  // no progress: not a row this wrote
    current.append(bytes);
    position += changed;
  }
  return true;
}

bool readBody(Reader& reader, const std::string& previous, std::string& current) {
  std::size_t prefix = 0, suffix = 0;
  if (!reader.size(prefix) || !reader.size(suffix) || prefix > previous.size() ||
      suffix > previous.size() - prefix) {
    return false;
  }
  current.assign(previous, 0, prefix);
  const std::string_view previousMiddle =
      std::string_view(previous).substr(prefix, previous.size() - prefix - suffix);
  if (!readMiddle(reader, previousMiddle, current)) return false;
  current.append(previous, previous.size() - suffix, suffix);
  return true;
}

}  // namespace

void zevsite::EventPackWriter::start(std::int64_t firstId) {
  size_ = 0;
  *reserve(1) = kFormat;
  size_ = 1;
  events_ = 0;
  firstId_ = previousId_ = firstId;
  previousCreated_ = previousSeen_ = 0;
  oldestSeen_ = std::numeric_limits<std::int64_t>::max();
  newestSeen_ = std::numeric_limits<std::int64_t>::min();
  previousName_ = {};
  previousBody_ = {};
}

char* zevsite::EventPackWriter::reserve(std::size_t bytes) {
  if (capacity_ - size_ < bytes) {
    const std::size_t capacity = std::max(2 * capacity_, size_ + bytes);
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_ > 0) std::memcpy(grown.get(), buffer_.get(), size_);
    buffer_ = std::move(grown);
    capacity_ = capacity;
  }
  return buffer_.get() + size_;
}

void zevsite::EventPackWriter::add(std::int64_t id, std::string_view name, std::string_view body,
                                   std::int64_t createdMillis, std::int64_t seenMillis) {
  const std::size_t namePrefix = sharedPrefix(previousName_, name);
  const std::size_t prefix = sharedPrefix(previousBody_, body);
  const std::size_t suffix = sharedSuffix(previousBody_, body, prefix);
  const std::string_view middle = body.substr(prefix, body.size() - prefix - suffix);
  char* out = reserve(7 * kMaxVarintBytes + name.size() + mostMiddleBytes(middle.size()));
  char* const begin = out;
  out = putVarint(out, static_cast<std::uint64_t>(wrappingSub(id, previousId_)));
  out = putVarint(out, zigzag(wrappingSub(createdMillis, previousCreated_)));
  out = putVarint(out, zigzag(wrappingSub(seenMillis, previousSeen_)));
  out = putVarint(out, namePrefix);
  out = putVarint(out, name.size() - namePrefix);
  out = putBytes(out, name.substr(namePrefix));
  out = putVarint(out, prefix);
  out = putVarint(out, suffix);
  out =
      putMiddle(out, previousBody_.substr(prefix, previousBody_.size() - prefix - suffix), middle);
  size_ += static_cast<std::size_t>(out - begin);
  previousId_ = id;
  previousCreated_ = createdMillis;
  previousSeen_ = seenMillis;
  oldestSeen_ = std::min(oldestSeen_, seenMillis);
  newestSeen_ = std::max(newestSeen_, seenMillis);
  previousName_ = name;
  previousBody_ = body;
  ++events_;
}

bool zevsite::unpackEvents(std::string_view packed, std::int64_t firstId,
                           std::vector<StoredEvent>& out) {
  if (packed.empty() || packed[0] != kFormat) return false;
  Reader reader(packed.substr(1));
  std::int64_t id = firstId, created = 0, seen = 0;
  std::string name, body;
  while (!reader.done()) {
    std::uint64_t idStep = 0, createdStep = 0, seenStep = 0;
    if (!reader.varint(idStep) || !reader.varint(createdStep) || !reader.varint(seenStep)) {
      return false;
    }
    StoredEvent event;
    if (!readName(reader, name, event.name) || !readBody(reader, body, event.body)) return false;
    id = wrappingAdd(id, static_cast<std::int64_t>(idStep));
    created = wrappingAdd(created, unzigzag(createdStep));
    seen = wrappingAdd(seen, unzigzag(seenStep));
    event.rowId = id;
    event.createdMillis = created;
    event.seenMillis = seen;
    name = event.name;
    body = event.body;
    out.push_back(std::move(event));
  }
  return true;
}
