#include "ZEVSiteText16.h"

namespace zevsite {
namespace {

// Length in bytes of the well-formed UTF-8 sequence at the start of `text`, or 0.
std::size_t sequenceLength(std::string_view text) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  std::size_t length = lead < 0x80           ? 1
                       : (lead >> 5) == 0x6  ? 2
                       : (lead >> 4) == 0xE  ? 3
                       : (lead >> 3) == 0x1E ? 4
                                             : 0;
  if (length == 0 || length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

std::string dropUtf16Units(std::string_view text, std::size_t units) {
  std::size_t position = 0;
  std::size_t dropped = 0;
  while (dropped < units && position < text.size()) {
    std::size_t length = sequenceLength(text.substr(position));
    position += length == 0 ? 1 : length;
    dropped += length == 4 ? 2 : 1;
  }
  return std::string(text.substr(position));
}

}  // namespace zevsite
