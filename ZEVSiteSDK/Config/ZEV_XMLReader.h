// Parses the SDK configuration document:
//
//   <config>
//     <offlineCache><length>10000</length><queueExpirationSecs>604800</queueExpirationSecs>
//                   <timeout>30</timeout></offlineCache>
//     <SDKConfig><idfa>false</idfa></SDKConfig>
//     <companies><company id="K">V</company></companies>
//   </config>
//
// Every section and field is optional (defaults as in ZEV_SDKConfig). Rejected: absent or
// empty data, malformed XML, a root other than one <config>, a number that is not a whole
// non-negative decimal (surrounding blanks allowed), a boolean other than true, false, 1, 0.
// No DTD or entity expansion. Stateless; any thread.
#pragma once

#include "ZEV_SDKConfig.h"

#include <optional>
#include <string>
#include <string_view>

class ZEV_XMLReader {
 public:
  // The configuration in `data` (absent when the download failed), or nothing.
  static std::optional<ZEV_SDKConfig> sdkConfigWithData(const std::optional<std::string>& data);

 private:
  static std::optional<ZEV_SDKConfig> parse(std::string_view data);
};
