// The SQLite analytics store (--db sqlite:PATH), the collector's default: one row per event
// in a WAL database, event ids unique, each insert one transaction. The same
// transaction adds the events it stored for the first time to small per-day tables (counts
// per kind, page, event and campaign; each day's clients with their sessions and profiles),
// which the summary and retention read instead of the events. A funnel reads the events of
// its range in the order they happened, through an index of their times. Inserts go through one
// connection behind a lock; each query statement opens a connection of its own, so the
// summary's statements run in parallel and never hold up ingestion. A thread of the store's
// own copies the WAL back into the database (and syncs it), so a commit never waits for that.
#pragma once

#include "ZEVSiteSqlSummary.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct sqlite3;
struct sqlite3_stmt;

namespace zevsite::collector {

class SqliteStore : public AnalyticsStore {
 public:
  // Opens or creates the database at `path`. Throws StoreError.
  explicit SqliteStore(const std::string& path);
  ~SqliteStore() override;

  void insert(const std::vector<EventRecord>& records) override;
  Summary summary(const SummaryQuery& query) override;
  Retention retention(const RetentionQuery& query) override;
  Funnel funnel(const FunnelQuery& query) override;
  std::vector<std::string> apps() override;
  void registerApp(const std::string& id, const std::string& name) override;
  std::vector<RegisteredApp> registeredApps() override;

 private:
  struct ConnectionCloser {
    void operator()(sqlite3* db) const;
  };
  struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const;
  };
  using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;
  using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

  static Connection open(const std::string& path);
  Statement prepare(const char* sql);
  // Runs `sql` on a connection of its own and calls `row` with the statement at each row.
  void scan(const std::string& sql, const std::function<void(sqlite3_stmt*)>& row);
  SqlRows select(const std::string& sql);
  // The summary's rows of the clients of each day and of the range, sessions, users,
  // platforms, app versions and locales for `range` (a WHERE clause), counted from the
  // per-day profiles.
  SummaryRows clientRows(const std::string& range);
  SqlDialect dialect();
  void insertLocked(const std::vector<EventRecord>& records);
  static int walCommitted(void* store, sqlite3* db, const char* name, int walPages);
  void checkpointLoop();

  const std::string path_;
  // Guards writer_ and the statements below: server threads storing batches.
  std::mutex writeMutex_;
  Connection writer_;
  Statement insertEvent_, addKind_, addPage_, addEvent_, addCampaign_, addProperty_, addProfile_;

  // Guards walPages_ and stopping_: set by the writer after each commit (and the destructor),
  // read by the checkpoint thread.
  std::mutex checkpointMutex_;
  std::condition_variable checkpointWanted_;  // with checkpointMutex_
  int walPages_ = 0;                          // pages in the WAL after the last commit
  bool stopping_ = false;
  // Runs checkpointLoop on a connection of its own; started by the constructor, joined by
  // the destructor.
  std::thread checkpointer_;
};

}  // namespace zevsite::collector
