#include "ZEVSiteEventPack.h"

#include <algorithm>
#include <limits>

namespace {

constexpr char kFormat = 1;

void putVarint(std::string& out, std::uint64_t value) {
  char buffer[10];
  std::size_t size = 0;
  while (value >= 0x80) {
    buffer[size++] = static_cast<char>((value & 0x7f) | 0x80);
    value >>= 7;
  }
  buffer[size++] = static_cast<char>(value);
  out.append(buffer, size);
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
  const std::size_t most = std::min(a.size(), b.size());
  return static_cast<std::size_t>(std::mismatch(a.begin(), a.begin() + most, b.begin()).first -
                                  a.begin());
}

// The suffix `a` and `b` share beyond their first `skip` bytes.
std::size_t sharedSuffix(std::string_view a, std::string_view b, std::size_t skip) {
  const std::size_t most = std::min(a.size(), b.size()) - skip;
  return static_cast<std::size_t>(
      std::mismatch(a.rbegin(), a.rbegin() + most, b.rbegin()).first - a.rbegin());
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

bool readBody(Reader& reader, const std::string& previous, std::string& current) {
  std::size_t prefix = 0, suffix = 0, fresh = 0;
  std::string_view bytes;
  if (!reader.size(prefix) || !reader.size(suffix) || prefix > previous.size() ||
      suffix > previous.size() - prefix || !reader.size(fresh) || !reader.take(fresh, bytes)) {
    return false;
  }
  current.reserve(prefix + fresh + suffix);
  current.assign(previous, 0, prefix);
  current.append(bytes);
  current.append(previous, previous.size() - suffix, suffix);
  return true;
}

}  // namespace

void zevsite::EventPackWriter::start(std::int64_t firstId) {
  bytes_.assign(1, kFormat);
  events_ = 0;
  firstId_ = previousId_ = firstId;
  previousCreated_ = previousSeen_ = 0;
  oldestSeen_ = std::numeric_limits<std::int64_t>::max();
  newestSeen_ = std::numeric_limits<std::int64_t>::min();
  previousName_ = {};
  previousBody_ = {};
}

void zevsite::EventPackWriter::add(std::int64_t id, std::string_view name, std::string_view body,
                                   std::int64_t createdMillis, std::int64_t seenMillis) {
  putVarint(bytes_, static_cast<std::uint64_t>(wrappingSub(id, previousId_)));
  putVarint(bytes_, zigzag(wrappingSub(createdMillis, previousCreated_)));
  putVarint(bytes_, zigzag(wrappingSub(seenMillis, previousSeen_)));
  const std::size_t namePrefix = sharedPrefix(previousName_, name);
  putVarint(bytes_, namePrefix);
  putVarint(bytes_, name.size() - namePrefix);
  bytes_.append(name.substr(namePrefix));
  const std::size_t prefix = sharedPrefix(previousBody_, body);
  const std::size_t suffix = sharedSuffix(previousBody_, body, prefix);
  putVarint(bytes_, prefix);
  putVarint(bytes_, suffix);
  putVarint(bytes_, body.size() - prefix - suffix);
  bytes_.append(body.substr(prefix, body.size() - prefix - suffix));
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
