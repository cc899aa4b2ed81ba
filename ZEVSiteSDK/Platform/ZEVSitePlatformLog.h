// Where the platform layer's few lines go (a refused home directory, a damaged user-defaults
// file, a background task that threw). The platform knows nothing of the SDK's logger: the
// logger installs itself as the sink when it is linked in. Without a sink, lines are dropped.
#pragma once

#include <initializer_list>
#include <string_view>

namespace zevsite::platformlog {

using Sink = void (*)(std::string_view line);
// Any thread.
void setSink(Sink sink);
// Hands the line made of `parts` to the sink, if any. Any thread; never throws (a line that
// cannot be made is dropped).
void write(std::initializer_list<std::string_view> parts) noexcept;

}  // namespace zevsite::platformlog
