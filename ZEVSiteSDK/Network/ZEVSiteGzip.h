// gzip for upload bodies (zlib). A pure function; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zevsite::net {

// `data` as one gzip member (RFC 1952), or nothing when zlib failed (out of memory): the
// caller then sends the body as it is.
std::optional<std::string> gzipCompress(std::string_view data);

}  // namespace zevsite::net
