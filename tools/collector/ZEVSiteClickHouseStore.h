// The ClickHouse analytics store (--db clickhouse:http://HOST:PORT/DATABASE), for more
// events than one machine holds and for several collectors writing to one database. Talks
// to ClickHouse's HTTP interface with libcurl: creates the database and a ReplacingMergeTree
// table keyed by the event id when missing (so a batch stored twice, even by two collectors,
// counts once), inserts each batch with one INSERT ... FORMAT TabSeparated, and counts
// distinct event ids when it reads.
// Inserts share one connection behind a lock; each query statement opens one of its own, so
// the summary's statements run in parallel. The table is created by whichever request comes
// first, so the collector starts while ClickHouse is down.
#pragma once

#include "ZEVSiteSqlSummary.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace zevsite::collector {

class ClickHouseStore : public AnalyticsStore {
 public:
  // `url`: http://HOST:PORT/DATABASE. Throws StoreError when it is not one.
  explicit ClickHouseStore(const std::string& url);
  ~ClickHouseStore() override;

  void insert(const std::vector<EventRecord>& records) override;
  Summary summary(const SummaryQuery& query) override;
  Retention retention(const RetentionQuery& query) override;
  Funnel funnel(const FunnelQuery& query) override;
  std::vector<std::string> apps() override;
  void registerApp(const std::string& id, const std::string& name) override;
  std::vector<RegisteredApp> registeredApps() override;

 private:
  class Connection;  // one libcurl handle and its reused HTTP connection

  void ensureTable();
  SqlDialect dialect();

  std::string serverURL_;  // http://HOST:PORT/
  std::string database_;
  std::string table_;      // database.events
  std::mutex writeMutex_;  // guards writer_: server threads storing batches
  std::unique_ptr<Connection> writer_;
  std::atomic<std::int64_t> lastRegistration_{0};  // version of the latest registerApp
  std::mutex tableMutex_;                          // guards tableReady_
  bool tableReady_ = false;
};

}  // namespace zevsite::collector
