#include "ZEVSiteAnalyticsStore.h"

#include "ZEVSiteClickHouseStore.h"
#include "ZEVSiteSqliteStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace zevsite::collector {

void makeOwnerOnlyFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw StoreError("cannot open " + path + ": " + std::strerror(errno));
  const bool restricted = ::fchmod(fd, 0600) == 0;
  const int fchmodError = errno;
  ::close(fd);
  if (!restricted) {
    throw StoreError("cannot make " + path + " owner-only: " + std::strerror(fchmodError));
  }
}

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
