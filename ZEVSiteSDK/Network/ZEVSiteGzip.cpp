#include "ZEVSiteGzip.h"

#include <zlib.h>

namespace zevsite::net {
namespace {

// 15 window bits, plus 16 for the gzip wrapper instead of zlib's.
constexpr int kGzipWindowBits = 15 + 16;
// Level 6 (zlib's default): upload strings share most of their keys and values, so the
// higher levels gain little and cost the phone's CPU.
constexpr int kLevel = 6;
constexpr int kMemoryLevel = 8;

}  // namespace

std::optional<std::string> gzipCompress(std::string_view data) {
  z_stream stream{};
  if (deflateInit2(&stream, kLevel, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    return std::nullopt;
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  // deflateBound leaves room for the whole stream, so one call finishes it.
  const int result = deflate(&stream, Z_FINISH);
  const std::size_t written = out.size() - stream.avail_out;
  deflateEnd(&stream);
  if (result != Z_STREAM_END) return std::nullopt;
  out.resize(written);
  return out;
}

}  // namespace zevsite::net
