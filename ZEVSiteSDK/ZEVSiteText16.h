// Cutting UTF-8 text by UTF-16 code units, the unit in which the SDK's key rules count.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zevsite {

// `text` without its first `units` UTF-16 code units. A character outside the Basic
// Multilingual Plane counts two units; when the cut would fall between its two halves the
// whole character goes, so the result stays valid UTF-8. A byte that is not valid UTF-8
// counts as one unit.
std::string dropUtf16Units(std::string_view text, std::size_t units);

}  // namespace zevsite
