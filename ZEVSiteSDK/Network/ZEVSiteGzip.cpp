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

namespace {

// One compressor per thread, reset between bodies: initialising one allocates and clears
// about 256 KiB of tables, several times the work of compressing a batch.
class Compressor {
 public:
  Compressor() {
    ready_ = deflateInit2(&stream_, kLevel, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                          Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~Compressor() {
    if (ready_) deflateEnd(&stream_);
  }
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  std::optional<std::string> compress(std::string_view data) {
    if (!ready_ || deflateReset(&stream_) != Z_OK) return std::nullopt;
    std::string out(deflateBound(&stream_, static_cast<uLong>(data.size())), '\0');
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream_.avail_in = static_cast<uInt>(data.size());
    stream_.next_out = reinterpret_cast<Bytef*>(out.data());
    stream_.avail_out = static_cast<uInt>(out.size());
    // deflateBound leaves room for the whole stream, so one call finishes it.
    const int result = deflate(&stream_, Z_FINISH);
    const std::size_t written = out.size() - stream_.avail_out;
    stream_.next_in = stream_.next_out = nullptr;
    if (result != Z_STREAM_END) return std::nullopt;
    out.resize(written);
    return out;
  }

 private:
  z_stream stream_{};
  bool ready_ = false;
};

}  // namespace

std::optional<std::string> gzipCompress(std::string_view data) {
  thread_local Compressor compressor;
  return compressor.compress(data);
}

}  // namespace zevsite::net
