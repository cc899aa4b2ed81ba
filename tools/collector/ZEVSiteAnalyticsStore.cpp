#include "ZEVSiteAnalyticsStore.h"

#include "ZEVSiteClickHouseStore.h"
#include "ZEVSiteSqliteStore.h"

namespace zevsite::collector {

std::unique_ptr<AnalyticsStore> openAnalyticsStore(const std::string& url) {
  const std::size_t colon = url.find(':');
  const std::string scheme = url.substr(0, colon);
  const std::string rest = colon == std::string::npos ? "" : url.substr(colon + 1);
  if (scheme == "sqlite" && !rest.empty()) return std::make_unique<SqliteStore>(rest);
  if (scheme == "clickhouse") return std::make_unique<ClickHouseStore>(rest);
  throw StoreError("--db takes sqlite:PATH or clickhouse:http://HOST:PORT/DATABASE, not " + url);
}

}  // namespace zevsite::collector
