// Fuzzes the configuration reader: any bytes must be parsed or rejected without a crash,
// and an accepted document must give non-negative limits.
#include "Config/ZEV_XMLReader.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<std::string> document(std::string(reinterpret_cast<const char*>(data), size));
  auto config = ZEV_XMLReader::sdkConfigWithData(document);
  if (config && (config->offlineCache.length < 0 || config->offlineCache.timeout < 0 ||
                 config->offlineCache.queueExpirationSecs < 0)) {
    std::abort();
  }
  return 0;
}
