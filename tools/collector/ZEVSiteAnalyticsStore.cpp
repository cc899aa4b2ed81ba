#include "ZEVSiteAnalyticsStore.h"

#include "ZEVSiteClickHouseStore.h"
#include "ZEVSiteSqliteStore.h"

#include <filesystem>

namespace zevsite::collector {

std::unique_ptr<AnalyticsStore> openAnalyticsStore(const std::string& url, StoreAccess access) {
  const std::size_t colon = url.find(':');
  const std::string scheme = url.substr(0, colon);
  const std::string rest = colon == std::string::npos ? "" : url.substr(colon + 1);
  if (scheme == "sqlite" && !rest.empty()) {
    std::error_code error;
    if (access == StoreAccess::ExistingOnly && !std::filesystem::is_regular_file(rest, error)) {
      throw StoreError("no store at " + rest +
                       ": the collector makes it when it first runs with --db " + url +
                       "; check the path");
    }
    return std::make_unique<SqliteStore>(rest);
  }
  if (scheme == "clickhouse") return std::make_unique<ClickHouseStore>(rest);
  throw StoreError("--db takes sqlite:PATH or clickhouse:http://HOST:PORT/DATABASE, not " + url);
}

}  // namespace zevsite::collector
