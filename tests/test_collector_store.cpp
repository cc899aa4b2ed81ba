// The collector as the SDK's analytics backend, through real HTTP, with each store: SQLite
// in a temporary directory, and a real ClickHouse server whose URL scripts/test.sh puts in
// ZEVSITE_TEST_CLICKHOUSE_URL. The same cases run against both, so both give the same
// answers.
#include "Platform/ZEVSiteSystemInfo.h"
#include "ZEVSiteRawClient.h"
#include "ZEVSiteRecordingCollector.h"
#include "ZEVSiteSummaryFormat.h"
#include "ZEVSiteTestSupport.h"

#include <httplib.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

// `value` percent-encoded as the SDK does.
std::string percentEncoded(const std::string& value) {
  std::string out;
  for (unsigned char c : value) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      out += escaped;
    }
  }
  return out;
}

// An upload string of `fields`, percent-encoded as the SDK does.
std::string upload(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string out;
  for (const auto& [key, value] : fields)
    out += (out.empty() ? "" : "&") + key + '=' + percentEncoded(value);
  return out;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string body;
  for (const auto& line : lines) body += (body.empty() ? "" : "\n") + line;
  return body;
}

std::string gzip(const std::string& data) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// Milliseconds since the epoch at noon (UTC) of `day`.
std::int64_t noonOf(const std::string& day) {
  return *zevsite::collector::parseDay(day) * 86'400'000 + 12 * 3'600'000;
}

// An HTTP client for a server given as "http://HOST:PORT..." (the collector, ClickHouse).
httplib::Client clientFor(const std::string& url) {
  const std::size_t hostStart = url.find("://") + 3;
  const std::size_t colon = url.find(':', hostStart);
  const std::size_t slash = url.find('/', colon);
  httplib::Client client(url.substr(hostStart, colon - hostStart),
                         std::stoi(url.substr(colon + 1, slash - colon - 1)));
  client.set_read_timeout(30, 0);
  return client;
}

// An event's times as a store holds them: ts (corrected by the device's clock error), the
// device's own ts and the UTC day, as text.
struct StoredTimes {
  std::string ts, deviceTs, day;
  bool operator==(const StoredTimes&) const = default;
};
std::ostream& operator<<(std::ostream& out, const StoredTimes& times) {
  return out << "{ts " << times.ts << ", device_ts " << times.deviceTs << ", " << times.day << "}";
}
StoredTimes storedTimes(std::int64_t ts, std::int64_t deviceTs) {
  return {std::to_string(ts), std::to_string(deviceTs), zevsite::collector::dayOf(ts)};
}

// The columns of the events table as the collector made it before it kept device times, and
// before it kept each event's context.
const char* const kColumnsBeforeDeviceTimes =
    "app, event, eid, cid, ts, received, day, title, category, action, label, value, caid,"
    " action_labels, action_values, campaign, source, inst, dims";
const char* const kColumnsBeforeContext =
    "app, event, eid, cid, ts, received, day, title, category, action, label, value, caid,"
    " action_labels, action_values, campaign, source, inst, dims, device_ts, properties";
// The context columns, as both stores name them.
const char* const kContextColumns =
    "uid, app_version, app_build, os, os_version, arch, locale, tz, screen, sid, sn";

// Each name of a column list ("a, b, c").
std::vector<std::string> columnNames(const std::string& columns) {
  std::vector<std::string> names;
  std::istringstream list(columns);
  for (std::string name; std::getline(list, name, ',');) {
    names.push_back(name.substr(name.find_first_not_of(' ')));
  }
  return names;
}

// The SQLite store in a temporary directory; failures are made by renaming its table away
// from a connection of the test's own.
class SqliteBackend {
 public:
  SqliteBackend() : directory_(makeTemporaryDirectory()) {}
  ~SqliteBackend() { std::filesystem::remove_all(directory_); }
  static std::string skipReason() { return {}; }
  std::string url() const { return "sqlite:" + path(); }
  void renameTable(const std::string& from, const std::string& to) {
    execute("ALTER TABLE " + from + " RENAME TO " + to);
  }
  void execute(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  // The events table made again with only `columns`, with its rows, as an older collector
  // made it: also without the per-day table of sessions and profiles it did not keep.
  void makeOlderTable(const std::string& columns) {
    std::string definitions;
    for (const std::string& name : columnNames(columns)) {
      const bool integer = name == "ts" || name == "received" || name == "value" ||
                           name == "inst" || name == "device_ts";
      definitions += (definitions.empty() ? "" : ", ") + name +
                     (integer ? " INTEGER NOT NULL" : " TEXT NOT NULL") +
                     (name == "eid" ? " UNIQUE" : "");
    }
    execute("CREATE TABLE events_before (" + definitions + "); INSERT INTO events_before SELECT " +
            columns +
            " FROM events; DROP TABLE events; ALTER TABLE events_before RENAME TO events;"
            " DROP TABLE day_profiles; PRAGMA user_version = 1;");
  }
  // Each stored event's `columns` by event id, as text.
  std::map<std::string, std::vector<std::string>> columnsOf(const std::string& columns) {
    std::map<std::string, std::vector<std::string>> rows;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, ("SELECT eid, " + columns + " FROM events").c_str(), -1,
                                 &statement, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
      auto& row = rows[reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))];
      for (int i = 1; i < sqlite3_column_count(statement); ++i) {
        const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
        row.push_back(value ? value : "NULL");
      }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
  }
  // Each stored event's times by event id.
  std::map<std::string, StoredTimes> times() {
    std::map<std::string, StoredTimes> times;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT eid, ts, device_ts, day FROM events", -1, &statement,
                                 nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    auto text = [&](int column) {
      const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
      return value ? std::string(value) : std::string("NULL");
    };
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
      times[text(0)] = {text(1), text(2), text(3)};
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return times;
  }

 private:
  std::string path() const { return directory_ + "/events.sqlite"; }
  std::string directory_;
};

// A database of its own on the ClickHouse server of ZEVSITE_TEST_CLICKHOUSE_URL.
class ClickHouseBackend {
 public:
  ClickHouseBackend() {
    static std::atomic<int> counter{0};
    database_ = "zevsite_test_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
  }
  ~ClickHouseBackend() {
    if (!server().empty()) run("DROP DATABASE IF EXISTS " + database_);
  }
  static std::string skipReason() {
    return server().empty() ? "ZEVSITE_TEST_CLICKHOUSE_URL is not set (scripts/test.sh starts a "
                              "ClickHouse server and sets it)"
                            : std::string();
  }
  std::string url() const { return "clickhouse:" + server() + "/" + database_; }
  void renameTable(const std::string& from, const std::string& to) {
    EXPECT_TRUE(run("RENAME TABLE " + database_ + "." + from + " TO " + database_ + "." + to));
  }
  // The events table made again with only `columns`, with its rows, as an older collector
  // made it.
  void makeOlderTable(const std::string& columns) {
    const std::string before = database_ + ".events_before", events = database_ + ".events";
    std::string definitions;
    for (const std::string& name : columnNames(columns)) {
      const bool integer =
          name == "ts" || name == "received" || name == "value" || name == "device_ts";
      definitions += (definitions.empty() ? "" : ", ") + name +
                     (integer          ? " Int64"
                      : name == "day"  ? " Date"
                      : name == "inst" ? " UInt8"
                                       : " String");
    }
    EXPECT_TRUE(run("CREATE TABLE " + before + " (" + definitions +
                    ") ENGINE = ReplacingMergeTree()"
                    " PARTITION BY toYYYYMM(day) ORDER BY (app, day, eid)"));
    EXPECT_TRUE(run("INSERT INTO " + before + " SELECT " + columns + " FROM " + events));
    EXPECT_TRUE(run("DROP TABLE " + events));
    EXPECT_TRUE(run("RENAME TABLE " + before + " TO " + events));
  }
  // Each stored event's `columns` by event id, as text.
  std::map<std::string, std::vector<std::string>> columnsOf(const std::string& columns) {
    std::map<std::string, std::vector<std::string>> rows;
    auto answer =
        clientFor(server() + "/")
            .Post("/",
                  "SELECT eid, " + columns + " FROM " + database_ + ".events FORMAT TabSeparated",
                  "text/plain");
    EXPECT_TRUE(answer && answer->status == 200) << (answer ? answer->body : "no answer");
    std::istringstream lines(answer ? answer->body : "");
    for (std::string line; std::getline(lines, line);) {
      std::istringstream values(line);
      std::string eid;
      std::getline(values, eid, '\t');
      auto& row = rows[eid];
      for (std::string value; std::getline(values, value, '\t');) row.push_back(value);
    }
    return rows;
  }
  // Each stored event's times by event id.
  std::map<std::string, StoredTimes> times() {
    std::map<std::string, StoredTimes> times;
    auto answer = clientFor(server() + "/")
                      .Post("/",
                            "SELECT eid, ts, device_ts, formatDateTime(day, '%F') FROM " +
                                database_ + ".events FORMAT TabSeparated",
                            "text/plain");
    EXPECT_TRUE(answer && answer->status == 200) << (answer ? answer->body : "no answer");
    std::istringstream rows(answer ? answer->body : "");
    for (std::string eid, ts, deviceTs, day;
         std::getline(rows, eid, '\t') && std::getline(rows, ts, '\t') &&
         std::getline(rows, deviceTs, '\t') && std::getline(rows, day);) {
      times[eid] = {ts, deviceTs, day};
    }
    return times;
  }

 private:
  static std::string server() {
    const char* url = std::getenv("ZEVSITE_TEST_CLICKHOUSE_URL");
    return url ? url : "";
  }
  bool run(const std::string& sql) {
    auto answer = clientFor(server() + "/").Post("/", sql, "text/plain");
    return answer && answer->status == 200;
  }
  std::string database_;
};

struct Collector {
  std::unique_ptr<ZEVSiteRecordingCollector> collector =
      std::make_unique<ZEVSiteRecordingCollector>();
  std::string url;
  std::vector<std::string> logLines;
  std::mutex logMutex;  // guards logLines (written on server threads)

  // Posts `body` to /collect (gzip when `compressed`) with `headers`; the status, or -1.
  int post(const std::string& body, bool compressed = false, httplib::Headers headers = {}) {
    if (compressed) headers.emplace("Content-Encoding", "gzip");
    auto answer = clientFor(url).Post("/collect", headers, compressed ? gzip(body) : body,
                                      "text/plain; charset=utf-8");
    return answer ? answer->status : -1;
  }
  // GET `path`: status and body.
  std::pair<int, std::string> get(const std::string& path) {
    auto answer = clientFor(url).Get(path.c_str());
    return answer ? std::pair{answer->status, answer->body} : std::pair{-1, std::string()};
  }
  bool logged(const std::string& text) {
    std::lock_guard lock(logMutex);
    for (const auto& line : logLines) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

}  // namespace

template <class Backend>
class ZEVSiteCollectorStoreTest : public ZEVSiteTest {
 protected:
  void SetUp() override {
    ZEVSiteTest::SetUp();
    if (std::string reason = Backend::skipReason(); !reason.empty()) GTEST_SKIP() << reason;
  }
  void TearDown() override {
    ZEVSiteSupport::shutdown(5s);
    for (auto& collector : collectors_) collector->collector->stop();
    ZEVSiteNetworkStatusSimple::setProvider(nullptr);
    ZEVSiteTest::TearDown();
  }

  // A collector on the backend's store; with `clock`, that is the collector's clock.
  Collector& startCollector(zevsite::collector::UploadLimits limits = {},
                            std::function<std::int64_t()> clock = nullptr,
                            bool onlyRegisteredApps = false) {
    auto& collector = *collectors_.emplace_back(std::make_unique<Collector>());
    collector.collector->setStore(zevsite::collector::openAnalyticsStore(backend_.url()));
    collector.collector->setLimits(limits);
    if (clock) collector.collector->setClock(std::move(clock));
    collector.collector->setOnlyRegisteredApps(onlyRegisteredApps);
    collector.collector->setLog([&collector](const std::string& line) {
      std::lock_guard lock(collector.logMutex);
      collector.logLines.push_back(line);
    });
    collector.url = collector.collector->start();
    return collector;
  }

  // Stops `collector` and closes its store.
  void closeCollector(Collector& collector) {
    collector.collector->stop();
    collector.collector = std::make_unique<ZEVSiteRecordingCollector>();
  }

  Backend backend_;
  std::vector<std::unique_ptr<Collector>> collectors_;
};

using ZEVSiteStoreBackends = ::testing::Types<SqliteBackend, ClickHouseBackend>;
class ZEVSiteBackendNames {
 public:
  template <class T>
  static std::string GetName(int) {
    return std::is_same_v<T, SqliteBackend> ? "SQLite" : "ClickHouse";
  }
};
TYPED_TEST_SUITE(ZEVSiteCollectorStoreTest, ZEVSiteStoreBackends, ZEVSiteBackendNames);

namespace {

// A known set of events of app 7 over 2026-03-01 and 03-02, one of app 8, and one of app 7
// the day before; `c1`..`c3` are the clients. c1 has a session each day and signs in (as
// "alice", with a newer app) on 03-02; c2 is "bob" throughout, and its first session runs
// past midnight; c3's SDK sends no context.
std::vector<std::string> knownEvents() {
  using F = std::vector<std::pair<std::string, std::string>>;
  auto at = [](const std::string& day, int hour, int minute) {
    return std::to_string(*zevsite::collector::parseDay(day) * 86'400'000 + hour * 3'600'000 +
                          minute * 60'000);
  };
  const std::string d0 = "2026-02-28", d1 = "2026-03-01", d2 = "2026-03-02";
  int id = 0;
  auto event = [&](const std::string& app, const std::string& client, const std::string& ts,
                   F fields, const F& context = {}) {
    fields.insert(fields.begin(), {{"tid", "dc-" + app}});
    fields.insert(fields.end(), {{"v", "1"},
                                 {"cid", client},
                                 {"eid", "known-" + std::to_string(++id)},
                                 {"ts", ts},
                                 {"sdkv", "0.1.0"}});
    fields.insert(fields.end(), context.begin(), context.end());
    return upload(fields);
  };
  auto c1 = [](const std::string& session, const std::string& number, const F& more) {
    F context = {{"os", "Debian GNU/Linux"},
                 {"osv", "12"},
                 {"arch", "x86_64"},
                 {"lc", "en-US"},
                 {"tz", "60"},
                 {"sr", "1920x1080"},
                 {"sid", session},
                 {"sn", number}};
    context.insert(context.end(), more.begin(), more.end());
    return context;
  };
  const F c1Earlier = c1("a0a0a0a0a0a0a0a0", "1", {{"av", "2.0"}, {"ab", "200"}});
  const F c1First = c1("a1a1a1a1a1a1a1a1", "2", {{"av", "2.0"}, {"ab", "200"}});
  const F c1Second = c1("a2a2a2a2a2a2a2a2", "3", {{"uid", "alice"}, {"av", "2.1"}, {"ab", "210"}});
  auto c2 = [](const std::string& session, const std::string& number) {
    return F{{"uid", "bob"},      {"av", "1.9"},   {"os", "Ubuntu"}, {"osv", "24.04"},
             {"arch", "aarch64"}, {"lc", "de-DE"}, {"tz", "-300"},   {"sr", "2560x1440"},
             {"sid", session},    {"sn", number}};
  };
  const F c2Night = c2("b1b1b1b1b1b1b1b1", "7"), c2Noon = c2("b2b2b2b2b2b2b2b2", "8");
  return {
      event("7", "c1", at(d1, 10, 1),
            F{{"t", "pageview"}, {"dt", "Home"}, {"cd1", "blue"}, {"cm1", "3"}}, c1First),
      event("7", "c2", at(d1, 23, 50), F{{"t", "pageview"}, {"dt", "Home"}}, c2Night),
      event("7", "c1", at(d2, 9, 0), F{{"t", "pageview"}, {"dt", "Home"}}, c1Second),
      event("7", "c3", at(d2, 12, 0),
            F{{"t", "pageview"}, {"dt", "<script>alert(\"x\")</script>"}}),
      event("7", "c1", at(d1, 10, 5),
            F{{"t", "event"}, {"ec", "shop"}, {"ea", "buy"}, {"ev", "1999"}}, c1First),
      event("7", "c2", at(d2, 0, 10),
            F{{"t", "event"}, {"ec", "shop"}, {"ea", "buy"}, {"el", "sku"}}, c2Night),
      event("7", "c1", at(d2, 9, 2), F{{"t", "event"}, {"ec", "shop"}, {"ea", "view"}}, c1Second),
      event("7", "c2", at(d2, 12, 5),
            F{{"t", "event"}, {"caid", "share"}, {"cal1", "twitter"}, {"cav1", "1"}}, c2Noon),
      event("7", "c1", at(d1, 10, 0),
            F{{"t", "init"}, {"inst", "1"}, {"qxc", "spring"}, {"qxs", "banner"}}, c1First),
      event("7", "c2", at(d2, 12, 0),
            F{{"t", "init"}, {"inst", "0"}, {"qxc", "spring"}, {"qxs", "banner"}}, c2Noon),
      event("7", "c3", at(d2, 12, 0), F{{"t", "init"}, {"inst", "1"}}),
      event("7", "c1", at(d2, 9, 10), F{{"t", "pulse"}}, c1Second),
      event("8", "c9", at(d1, 12, 0), F{{"t", "pageview"}, {"dt", "Other"}},
            F{{"os", "Windows"}, {"av", "9.9"}, {"lc", "fr-FR"}, {"sid", "c9c9c9c9c9c9c9c9"}}),
      event("7", "c1", at(d0, 12, 0), F{{"t", "pageview"}, {"dt", "Earlier"}}, c1Earlier),
      // Custom events, named by the host, with properties of their own.
      event("7", "c1", at(d1, 10, 30),
            F{{"t", "signup_completed"}, {"plan", "pro"}, {"screen", "Home"}}, c1First),
      event("7", "c2", at(d2, 12, 6), F{{"t", "signup_completed"}, {"plan", "pro"}}, c2Noon),
      event("7", "c3", at(d2, 12, 0), F{{"t", "level_up"}, {"level", "3"}}),
  };
}

// The summary of the known events from 2026-03-01 to 03-03. Sessions: c1's of 30 and 10
// minutes, c2's of 20 (across midnight) and 6: 990 s on average. Users: alice, bob, and the
// clients of events without a user id, c1 (on 03-01) and c3. Without the context: as a store
// answers once the events' context is gone.
std::string knownSummary(bool withContext) {
  return std::string(R"({"app":"7","from":"2026-03-01","to":"2026-03-03",)"
                     R"("totals":{"events":15,"pageviews":4,"classicEvents":3,"customActions":1,)"
                     R"("starts":3,"installs":2,"pulses":1,"customEvents":3,"clients":3,)") +
         (withContext ? R"("sessions":4,"users":4,"avgSessionSeconds":990.0},)"
                      : R"("sessions":0,"users":3,"avgSessionSeconds":0.0},)") +
         R"("daily":[{"day":"2026-03-01","pageviews":2,"events":5,"clients":2},)"
         R"({"day":"2026-03-02","pageviews":2,"events":10,"clients":3},)"
         R"({"day":"2026-03-03","pageviews":0,"events":0,"clients":0}],)"
         R"("topPages":[{"title":"Home","views":3},)"
         R"({"title":"<script>alert(\"x\")</script>","views":1}],)"
         R"("topEvents":[{"category":"shop","action":"buy","count":2},)"
         R"({"category":"shop","action":"view","count":1}],)"
         R"("campaigns":[{"campaign":"spring","source":"banner","starts":2}],)"
         R"("customEvents":[{"name":"signup_completed","count":2},{"name":"level_up","count":1}],)"
         R"("customEventProperties":[{"name":"signup_completed","key":"plan","value":"pro","count":2},)"
         R"({"name":"level_up","key":"level","value":"3","count":1},)"
         R"({"name":"signup_completed","key":"screen","value":"Home","count":1}],)" +
         (withContext
              ? R"("platforms":[{"os":"Debian GNU/Linux","osVersion":"12","clients":1,"events":7},)"
                R"({"os":"Ubuntu","osVersion":"24.04","clients":1,"events":5}],)"
                R"("appVersions":[{"version":"1.9","clients":1,"events":5},)"
                R"({"version":"2.0","clients":1,"events":4},{"version":"2.1","clients":1,"events":3}],)"
                R"("locales":[{"locale":"de-DE","clients":1},{"locale":"en-US","clients":1}]})"
              : R"("platforms":[],"appVersions":[],"locales":[]})");
}

const std::string kKnownSummary = knownSummary(true);
const char* const kKnownSummaryPath = "/api/summary?app=7&from=2026-03-01&to=2026-03-03";

}  // namespace

TYPED_TEST(ZEVSiteCollectorStoreTest, KnownEventsGiveKnownCountsAndLists) {
  Collector& collector = this->startCollector();
  ASSERT_EQ(collector.post(joinLines(knownEvents())), 200);
  EXPECT_EQ(collector.get(kKnownSummaryPath), std::pair(200, std::string(kKnownSummary)));
  // "dc-7", as the SDK sends it, names the same app.
  EXPECT_EQ(collector.get("/api/summary?app=dc-7&from=2026-03-01&to=2026-03-03").second,
            kKnownSummary);
  EXPECT_EQ(collector.get("/api/apps"),
            std::pair(200, std::string(R"({"apps":["7","8"],"names":{}})")));
  // The context's lists as CSV tables, and in the report's tables.
  const std::string range = "app=7&from=2026-03-01&to=2026-03-03";
  EXPECT_EQ(collector.get("/api/summary.csv?" + range + "&table=platforms").second,
            "os,os_version,clients,events\r\nDebian GNU/Linux,12,1,7\r\nUbuntu,24.04,1,5\r\n");
  EXPECT_EQ(collector.get("/api/summary.csv?" + range + "&table=versions").second,
            "version,clients,events\r\n1.9,1,5\r\n2.0,1,4\r\n2.1,1,3\r\n");
  EXPECT_EQ(collector.get("/api/summary.csv?" + range + "&table=locales").second,
            "locale,clients\r\nde-DE,1\r\nen-US,1\r\n");
  const std::string report =
      zevsite::collector::summaryReport(zevsite::collector::openAnalyticsStore(this->backend_.url())
                                            ->summary({"7", "2026-03-01", "2026-03-03"}));
  for (const char* line : {"sessions                    4\n", "users                       4\n",
                           "avg. session (s)        990.0\n",
                           "Debian GNU/Linux         12                        1          7\n",
                           "1.9                                                1          5\n",
                           "de-DE                                              1\n"}) {
    EXPECT_NE(report.find(line), std::string::npos) << line << report;
  }

  // Lists hold the 20 largest counts, largest first.
  std::vector<std::string> pages;
  const std::string ts = std::to_string(noonOf("2026-03-01"));
  for (int page = 0; page < 25; ++page) {
    for (int view = 0; view <= page; ++view) {
      pages.push_back(upload({{"tid", "dc-9"},
                              {"t", "pageview"},
                              {"dt", "p" + std::to_string(page)},
                              {"cid", "c"},
                              {"eid", "p" + std::to_string(page) + "-" + std::to_string(view)},
                              {"ts", ts}}));
    }
  }
  for (std::size_t at = 0; at < pages.size(); at += 100) {
    std::vector<std::string> batch(pages.begin() + at,
                                   pages.begin() + std::min(pages.size(), at + 100));
    ASSERT_EQ(collector.post(joinLines(batch)), 200);
  }
  auto [status, body] = collector.get("/api/summary?app=9&from=2026-03-01&to=2026-03-01");
  ASSERT_EQ(status, 200);
  EXPECT_NE(body.find(R"("topPages":[{"title":"p24","views":25},{"title":"p23","views":24},)"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find(R"({"title":"p5","views":6}],)"), std::string::npos) << body;
  EXPECT_EQ(body.find(R"("p4")"), std::string::npos) << body;

  // Without dates: the last 30 days up to today; bad arguments are 400.
  std::tie(status, body) = collector.get("/api/summary?app=7");
  ASSERT_EQ(status, 200);
  const std::string today = zevsite::collector::formatDay(zevsite::collector::today());
  EXPECT_NE(
      body.find(R"("from":")" + zevsite::collector::formatDay(zevsite::collector::today() - 29) +
                R"(","to":")" + today + "\""),
      std::string::npos)
      << body;
  EXPECT_NE(body.find(R"({"day":")" + today + R"(","pageviews":0,"events":0,"clients":0}])"),
            std::string::npos);
  for (const char* bad :
       {"/api/summary", "/api/summary?app=7&from=2026-02-30&to=2026-03-03",
        "/api/summary?app=7&from=2026-03-03&to=2026-03-01", "/api/summary?app=7&from=1.3.2026"}) {
    EXPECT_EQ(collector.get(bad).first, 400) << bad;
  }
}

namespace {

// The funnel of app 7 over `range` ("from=...&to=...") with `steps`, as the API answers it.
std::string funnelPath(const std::string& range, const std::vector<std::string>& steps) {
  std::string path = "/api/funnel?app=7&" + range;
  for (const auto& step : steps) path += "&step=" + percentEncoded(step);
  return path;
}

// The "steps" the funnel of the known events answers, as {step, clients} pairs.
std::string funnelSteps(const std::vector<std::pair<std::string, int>>& steps) {
  std::string json = R"({"app":"7","from":"2026-03-01","to":"2026-03-03","steps":[)";
  for (std::size_t i = 0; i < steps.size(); ++i) {
    json += (i == 0 ? "" : ",") + std::string(R"({"step":)") +
            zevsite::collector::jsonString(steps[i].first) + R"(,"clients":)" +
            std::to_string(steps[i].second) + "}";
  }
  return json + "]}";
}

}  // namespace

// Retention by day and by week (from Monday), and funnels in order, of the known events:
// c1 and c2 start on Sunday 03-01 and come back on Monday 03-02, when c3 starts; c1 first
// saw page 03-01 the day before. A funnel step counts a client at or after its time of the
// step before, and only within the range.
TYPED_TEST(ZEVSiteCollectorStoreTest, RetentionAndFunnelsOfKnownEvents) {
  Collector& collector = this->startCollector();
  ASSERT_EQ(collector.post(joinLines(knownEvents())), 200);
  const std::string range = "from=2026-03-01&to=2026-03-03";
  EXPECT_EQ(collector.get("/api/retention?app=7&" + range + "&period=day"),
            std::pair(200, std::string(R"({"app":"7","from":"2026-03-01","to":"2026-03-03",)"
                                       R"("period":"day","cohorts":[)"
                                       R"({"cohort":"2026-03-01","size":2,"retained":[2,2,0]},)"
                                       R"({"cohort":"2026-03-02","size":1,"retained":[1,0]}]})")));
  EXPECT_EQ(collector.get("/api/retention?app=7&" + range).second,
            R"({"app":"7","from":"2026-03-01","to":"2026-03-03","period":"week","cohorts":[)"
            R"({"cohort":"2026-02-23","size":2,"retained":[2,2]},)"
            R"({"cohort":"2026-03-02","size":1,"retained":[1]}]})");
  EXPECT_EQ(collector.get("/api/retention?app=7&from=2026-02-28&to=2026-03-03&period=day").second,
            R"({"app":"7","from":"2026-02-28","to":"2026-03-03","period":"day","cohorts":[)"
            R"({"cohort":"2026-02-28","size":1,"retained":[1,1,1,0]},)"
            R"({"cohort":"2026-03-01","size":1,"retained":[1,1,0]},)"
            R"({"cohort":"2026-03-02","size":1,"retained":[1,0]}]})");
  EXPECT_EQ(collector.get("/api/retention?app=7&from=2026-03-03&to=2026-03-03").second,
            R"({"app":"7","from":"2026-03-03","to":"2026-03-03","period":"week","cohorts":[]})");

  const std::string script = "pageview:<script>alert(\"x\")</script>";
  const std::vector<std::vector<std::pair<std::string, int>>> funnels = {
      // c2 signed up after its only view of Home.
      {{"custom:signup_completed", 2}, {"pageview:Home", 1}},
      {{"pageview:Home", 2}, {"action:share", 1}, {"event:shop/view", 0}},
      // c1 bought between its two views of Home: the later one counts.
      {{"event:shop/buy", 2}, {"pageview:Home", 1}},
      // A step repeated, and one at the very time of the step before.
      {{"pageview:Home", 2}, {"pageview:Home", 2}},
      {{script, 1}, {"custom:level_up", 1}},
      {{"pageview:it's", 0}, {"event:shop/buy/x", 0}},
      {{"pageview:Home", 2},
       {"pageview:Home", 2},
       {"pageview:Home", 2},
       {"pageview:Home", 2},
       {"pageview:Home", 2},
       {"pageview:Home", 2},
       {"pageview:Home", 2},
       {"event:shop/buy", 2},
       {"pageview:Home", 1},
       {"custom:signup_completed", 0}},
  };
  for (const auto& funnel : funnels) {
    std::vector<std::string> steps;
    for (const auto& [step, clients] : funnel) steps.push_back(step);
    EXPECT_EQ(collector.get(funnelPath(range, steps)), std::pair(200, funnelSteps(funnel)))
        << steps.front();
  }
  // Within 03-02 only: c1's sign-up and c2's view of Home were the day before.
  EXPECT_NE(
      collector
          .get(funnelPath("from=2026-03-02&to=2026-03-02",
                          {"pageview:Home", "custom:signup_completed"}))
          .second.find(
              R"("steps":[{"step":"pageview:Home","clients":1},{"step":"custom:signup_completed","clients":0}]})"),
      std::string::npos);

  // Arguments that are not a valid query are 400, and cost the store nothing.
  const std::vector<std::string> bad = {
      "/api/retention?" + range,
      "/api/retention?app=7&" + range + "&period=month",
      "/api/retention?app=7&from=2024-12-31&to=2026-01-01&period=day",
      "/api/retention?app=7&from=2026-03-03&to=2026-03-01",
      "/api/funnel?app=7&" + range,
      funnelPath(range, std::vector<std::string>(11, "pageview:Home")),
      funnelPath(range, {"page:Home"}),
      funnelPath(range, {"pageview"}),
      funnelPath(range, {"event:shop"}),
      funnelPath(range, {"custom:"}),
      funnelPath(range, {"custom:pageview"}),
      funnelPath(range, {"action:"}),
      funnelPath(range, {"pageview:a\nb"}),
      funnelPath(range, {"pageview:\xFF"}),
      funnelPath(range, {"pageview:" + std::string(600, 'x')}),
      funnelPath("from=2026-02-30&to=2026-03-03", {"pageview:Home"}),
  };
  for (const std::string& path : bad) EXPECT_EQ(collector.get(path).first, 400) << path;
  EXPECT_EQ(collector.get("/api/retention?app=7&from=2025-01-01&to=2026-01-01&period=day").first,
            200);
}

// Requests no correct client sends are refused before any route runs, and store nothing:
// conflicting Content-Length headers, Content-Length with Transfer-Encoding (the shapes of
// request smuggling), and more header fields than any client sends. The same event sent
// correctly is then stored.
TYPED_TEST(ZEVSiteCollectorStoreTest, AmbiguousOrBloatedRequestsAreRefused) {
  Collector& collector = this->startCollector();
  const std::string line = knownEvents().front();
  const std::string start =
      "POST /collect HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Type: text/plain; charset=utf-8\r\n";
  const std::string length = "Content-Length: " + std::to_string(line.size()) + "\r\n";
  EXPECT_EQ(rawStatusLine(collector.url, start + length + "Content-Length: " +
                                             std::to_string(line.size() - 1) + "\r\n\r\n" + line),
            "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(
      rawStatusLine(collector.url, start + length + "Transfer-Encoding: chunked\r\n\r\n" + line),
      "HTTP/1.1 400 Bad Request");
  std::string bloated = start;
  for (int i = 0; i < 150; ++i) bloated += "X-Filler-" + std::to_string(i) + ": 1\r\n";
  EXPECT_EQ(rawStatusLine(collector.url, bloated + length + "\r\n" + line),
            "HTTP/1.1 431 Request Header Fields Too Large");
  EXPECT_EQ(collector.get("/api/apps").second, R"({"apps":[],"names":{}})");
  // Two equal Content-Length headers are one length: accepted.
  EXPECT_EQ(rawStatusLine(collector.url, start + length + length + "\r\n" + line),
            "HTTP/1.1 200 OK");
  EXPECT_EQ(collector.get("/api/apps").second, R"({"apps":["7"],"names":{}})");
}

// Bytes that are not UTF-8 (escaped or raw, a truncated sequence, an overlong form, a
// surrogate) are stored as U+FFFD, so what the summary answers is valid UTF-8; campaigns
// are shown percent-decoded; a query
// parameter that is no app id is 400, and no client sees the store's own error text.
TYPED_TEST(ZEVSiteCollectorStoreTest, OnlyValidTextIsStoredAndBadQueriesAre400) {
  Collector& collector = this->startCollector();
  const std::string replacement = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::string, std::string>> titles = {
      {"a\xFF\xFE"
       "b",
       "a" + replacement + replacement + "b"},
      {"cut \xE2\x82", "cut " + replacement + replacement},
      {"overlong \xC0\xAF", "overlong " + replacement + replacement},
      {"surrogate \xED\xA0\x80", "surrogate " + replacement + replacement + replacement},
      {"kept \xE2\x82\xAC \xF0\x9F\x98\x80", "kept \xE2\x82\xAC \xF0\x9F\x98\x80"},
  };
  std::vector<std::string> lines;
  int id = 0;
  for (const auto& [title, stored] : titles) {
    lines.push_back(upload({{"tid", "dc-9"},
                            {"t", "pageview"},
                            {"dt", title},
                            {"v", "1"},
                            {"cid", "c1"},
                            {"eid", "utf8-" + std::to_string(++id)},
                            {"ts", std::to_string(noonOf("2026-03-01"))}}));
  }
  // Campaigns as deep links carry them: percent-encoded, shown decoded, one spelling or the
  // other counted as one.
  for (const std::string& campaign : {std::string("spring%20sale"), std::string("spring sale")}) {
    lines.push_back(upload({{"tid", "dc-9"},
                            {"t", "init"},
                            {"inst", "1"},
                            {"qxc", campaign},
                            {"qxs", "news%2Fletter"},
                            {"v", "1"},
                            {"cid", "c1"},
                            {"eid", "utf8-" + std::to_string(++id)},
                            {"ts", std::to_string(noonOf("2026-03-01"))}}));
  }
  // A raw byte outside any escape too.
  lines.push_back("tid=dc-9&t=pageview&dt=raw\xFF&v=1&cid=c1&eid=utf8-raw&ts=" +
                  std::to_string(noonOf("2026-03-01")));
  ASSERT_EQ(collector.post(joinLines(lines)), 200);
  const auto [status, body] = collector.get("/api/summary?app=9&from=2026-03-01&to=2026-03-01");
  ASSERT_EQ(status, 200);
  std::string repairedBody = body;
  zevsite::collector::repairUtf8(repairedBody);
  EXPECT_EQ(repairedBody, body) << "the summary is not valid UTF-8";
  for (const auto& [title, stored] : titles) {
    EXPECT_NE(body.find(stored), std::string::npos) << stored;
  }
  EXPECT_NE(body.find("raw" + replacement), std::string::npos);
  EXPECT_NE(
      body.find(R"("campaigns":[{"campaign":"spring sale","source":"news/letter","starts":2}])"),
      std::string::npos)
      << body;

  for (const std::string& app :
       {std::string("123%00x"), std::string("a%0Ab"), std::string("%FF"), std::string(300, '7')}) {
    const auto [badStatus, badBody] =
        collector.get("/api/summary?app=" + app + "&from=2026-03-01&to=2026-03-01");
    EXPECT_EQ(badStatus, 400) << app;
    EXPECT_NE(badBody.find("app is not an app id"), std::string::npos) << badBody;
  }
}

// Registered apps: names kept (the latest registration wins) and shown with the apps; with
// only registered apps accepted, an unregistered app's events are refused and not stored,
// and an app registered while the collector runs is accepted within seconds.
TYPED_TEST(ZEVSiteCollectorStoreTest, OnlyRegisteredAppsAreStoredWhenAsked) {
  auto store = zevsite::collector::openAnalyticsStore(this->backend_.url());
  store->registerApp("7", "Shop");
  store->registerApp("8", "Blog \"north\"\tédition");
  store->registerApp("7", "Shop & Co");
  const std::vector<zevsite::collector::RegisteredApp> registered = {
      {"7", "Shop & Co"}, {"8", "Blog \"north\"\tédition"}};
  EXPECT_EQ(store->registeredApps(), registered);

  std::atomic<std::int64_t> now{noonOf("2026-03-01")};
  Collector& collector = this->startCollector(
      {}, [&] { return now.load(); }, true);
  int id = 0;
  auto event = [&](const std::string& app) {
    return upload({{"tid", "dc-" + app},
                   {"t", "pageview"},
                   {"dt", "Home"},
                   {"v", "1"},
                   {"cid", "client-1"},
                   {"eid", "registered-" + std::to_string(++id)},
                   {"ts", std::to_string(now.load())},
                   {"sdkv", "0.1.0"}});
  };
  // A request of a registered and an unregistered app stores the first only.
  EXPECT_EQ(collector.post(joinLines({event("7"), event("9"), event("7")})), 200);
  EXPECT_EQ(collector.collector->eventCount(), 2u);
  EXPECT_TRUE(collector.logged("refused 1 event(s) of apps that are not registered"));
  // A request of unregistered apps only is refused whole.
  EXPECT_EQ(collector.post(joinLines({event("9"), event("10")})), 403);
  EXPECT_EQ(collector.collector->eventCount(), 2u);
  EXPECT_EQ(collector.get("/api/apps").second,
            R"({"apps":["7"],"names":{"7":"Shop & Co","8":"Blog \"north\"\tédition"}})");
  // Registered while the collector runs: accepted once the collector reads the list again.
  store->registerApp("9", "Games");
  now += 1000;
  EXPECT_EQ(collector.post(event("9")), 403);
  now += 2000;
  EXPECT_EQ(collector.post(event("9")), 200);
  EXPECT_EQ(collector.collector->eventCount(), 3u);
  EXPECT_EQ(collector.get("/api/apps").first, 200);
  EXPECT_NE(collector.get("/api/apps").second.find(R"("apps":["7","9"])"), std::string::npos);
}

// A batch sent twice, to one collector or to two on one store, plain or gzip, counts once.
TYPED_TEST(ZEVSiteCollectorStoreTest, DuplicatesCountOnceAcrossRequestsAndCollectors) {
  Collector& first = this->startCollector();
  Collector& second = this->startCollector();
  const auto events = knownEvents();
  std::vector<std::string> firstHalf(events.begin(), events.begin() + 7);
  std::vector<std::string> secondHalf(events.begin() + 5, events.end());
  ASSERT_EQ(first.post(joinLines(firstHalf)), 200);
  ASSERT_EQ(first.post(joinLines(firstHalf)), 200);
  ASSERT_EQ(second.post(joinLines(firstHalf), /*compressed=*/true), 200);
  // Repeated inside one request too.
  secondHalf.push_back(secondHalf.front());
  ASSERT_EQ(second.post(joinLines(secondHalf), /*compressed=*/true), 200);
  ASSERT_EQ(first.post(joinLines(secondHalf)), 200);
  EXPECT_EQ(first.get(kKnownSummaryPath).second, kKnownSummary);
  EXPECT_EQ(second.get(kKnownSummaryPath).second, kKnownSummary);
  // first: the repeated half, then events 5 and 6 and the line repeated in the request.
  EXPECT_EQ(first.collector->duplicates(), 7u + 3u);
  EXPECT_EQ(second.collector->duplicates(), 3u);

  // What a collector keeps in memory is the same for gzip and plain bodies.
  auto fields = [](ZEVSiteRecordingCollector& collector) {
    std::vector<std::vector<std::pair<std::string, std::string>>> all;
    for (const auto& event : collector.events()) all.push_back(event.fields);
    return all;
  };
  auto firstFields = fields(*first.collector);
  ASSERT_EQ(firstFields.size(), events.size());
  std::vector<std::vector<std::pair<std::string, std::string>>> expected;
  for (const auto& event : firstHalf)
    expected.push_back(zevsite::collector::Collector::decode(event));
  auto secondFields = fields(*second.collector);
  secondFields.resize(firstHalf.size());
  EXPECT_EQ(secondFields, expected);
}

// Lines that are not an event's upload string are counted, logged and skipped; requests
// past a bound are answered 413 and nothing of them is kept.
TYPED_TEST(ZEVSiteCollectorStoreTest, MalformedLinesAreSkippedAndBoundsAnswer413) {
  zevsite::collector::UploadLimits limits;
  limits.maxLines = 30;
  limits.maxBodyBytes = 64 * 1024;
  Collector& collector = this->startCollector(limits);
  std::vector<std::string> lines = knownEvents();
  const std::string ts = std::to_string(noonOf("2026-03-01"));
  const std::vector<std::string> malformed = {
      "garbage",
      "",
      upload({{"tid", "dc-7"}, {"t", "pageview"}, {"cid", "c1"}}),                  // no eid
      upload({{"tid", "dc-7"}, {"eid", "m1"}, {"cid", "c1"}}),                      // no t
      upload({{"t", "pageview"}, {"eid", "m2"}, {"cid", "c1"}}),                    // no tid
      upload({{"tid", "dc-7"}, {"t", "pageview"}, {"eid", "m3"}, {"ts", "soon"}}),  // bad ts
      upload({{"tid", "dc-7"}, {"t", "pageview"}, {"eid", "m4"}, {"ts", "99999999999999999"}}),
      upload({{"tid", "dc-7"}, {"t", "pageview"}, {"eid", std::string(65, 'e')}}),
      "%%%&&&===&eid",
  };
  lines.insert(lines.begin() + 3, malformed.begin(), malformed.end() - 2);
  lines.insert(lines.end(), malformed.end() - 2, malformed.end());
  ASSERT_LE(lines.size(), limits.maxLines);
  ASSERT_EQ(collector.post(joinLines(lines)), 200);
  EXPECT_EQ(collector.collector->malformedLines(), malformed.size());
  EXPECT_EQ(collector.collector->eventCount(), knownEvents().size());
  EXPECT_TRUE(collector.logged("skipped 9 malformed line(s)"));
  EXPECT_EQ(collector.get(kKnownSummaryPath).second, kKnownSummary);

  auto pageView = [&](const std::string& id, std::string title = "Late") {
    return upload({{"tid", "dc-7"},
                   {"t", "pageview"},
                   {"dt", title},
                   {"cid", "c4"},
                   {"eid", id},
                   {"ts", ts}});
  };
  auto totalEvents = [&] {
    auto [status, body] = collector.get("/api/summary?app=7&from=2026-03-01&to=2026-03-01");
    const std::size_t at = body.find("\"events\":");
    return at == std::string::npos ? -1 : std::atoi(body.c_str() + at + 9);
  };
  const int before = totalEvents();
  ASSERT_EQ(before, 5);
  // One line too many; then a body too large as sent; then one too large once inflated.
  std::vector<std::string> tooMany;
  for (std::size_t i = 0; i <= limits.maxLines; ++i)
    tooMany.push_back(pageView("many" + std::to_string(i)));
  EXPECT_EQ(collector.post(joinLines(tooMany)), 413);
  EXPECT_EQ(collector.post(pageView("large", std::string(80 * 1024, 'x'))), 413);
  const std::string bomb = pageView("bomb", std::string(17u << 20, 'x'));
  ASSERT_LT(gzip(bomb).size(), limits.maxBodyBytes);
  EXPECT_EQ(collector.post(bomb, /*compressed=*/true), 413);
  EXPECT_EQ(totalEvents(), before);
  EXPECT_EQ(collector.collector->eventCount(), knownEvents().size());
  // The collector still takes what is within its bounds, gzip or plain.
  tooMany.pop_back();
  EXPECT_EQ(collector.post(joinLines(tooMany), /*compressed=*/true), 200);
  EXPECT_EQ(totalEvents(), before + static_cast<int>(limits.maxLines));
}

// While the store fails, batches are answered 503 with Retry-After and the SDK keeps them;
// once the store is back, the SDK delivers every event, once.
TYPED_TEST(ZEVSiteCollectorStoreTest, AStoreFailureIsAnswered503AndTheSdkDeliversAfterIt) {
  Collector& collector = this->startCollector();
  // The SDK's writer and sender run on this thread, inside flush and the clock's moves.
  this->platform_->driveWorkers();
  ZEVSiteNetworkStatusSimple::setProvider([] { return ZEVSiteNetworkStatus_WiFi; });
  ZEVSiteSupport::setRequestTimeout(10s);
  ZEVSiteSupport::setCollectURL(collector.url);
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("7", "store");
  this->platform_->runUntilIdle();
  manager->trackPageView("before");
  ASSERT_TRUE(ZEVSiteSupport::flush(10s));
  ASSERT_EQ(collector.collector->eventCount(), 1u);

  this->backend_.renameTable("events", "events_away");
  for (int i = 0; i < 5; ++i) manager->trackPageView("during" + std::to_string(i));
  auto answered503 = [&] {
    for (const auto& [uploads, status] : collector.collector->requests()) {
      if (status == 503) return true;
    }
    return false;
  };
  ASSERT_TRUE(ZEVSiteSupport::flush(10s));  // an attempt was made, and answered
  ASSERT_TRUE(answered503());
  EXPECT_TRUE(collector.logged("answered 503"));
  EXPECT_EQ(collector.collector->eventCount(), 1u);
  EXPECT_GE(this->storedUploads().size(), 5u);  // the SDK kept them

  this->backend_.renameTable("events_away", "events");
  // The SDK's backoff waits run on the manual clock: move it on until the batch is retried.
  bool deliveredAll = false;
  for (int step = 0; step < 120 && !deliveredAll; ++step) {
    this->platform_->advanceBy(1s);
    deliveredAll = collector.collector->eventCount() >= 6;
  }
  ASSERT_TRUE(deliveredAll);
  const std::string today = zevsite::collector::formatDay(zevsite::collector::today());
  auto [status, body] = collector.get("/api/summary?app=7&from=" + today + "&to=" + today);
  EXPECT_NE(body.find(R"("pageviews":6,)"), std::string::npos) << body;
  for (const char* title : {"before", "during0", "during4"}) {
    EXPECT_NE(body.find(std::string(R"("title":")") + title + R"(","views":1})"), std::string::npos)
        << title;
  }
  EXPECT_EQ(collector.collector->duplicates(), 0u);
}

namespace {

constexpr std::int64_t kHour = 3'600'000;
// 2001-01-01 00:00 UTC: a device clock 25 years behind a collector in 2026.
constexpr std::int64_t kYear2001 = 978'307'200'000;

std::string pageViewAt(const std::string& eventId, std::int64_t ts) {
  return upload({{"tid", "dc-7"},
                 {"t", "pageview"},
                 {"dt", "Home"},
                 {"cid", "c1"},
                 {"eid", eventId},
                 {"ts", std::to_string(ts)}});
}

httplib::Headers sentAt(const std::string& value) {
  return {{zevsite::collector::kSentAtHeader, value}};
}

// The JSON Lines file's line of the event `eventId`, or "".
std::string jsonLineOf(const std::string& path, const std::string& eventId) {
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    if (line.find("\"eid\":\"" + eventId + "\"") != std::string::npos) return line;
  }
  return {};
}

}  // namespace

// A device whose clock is years off says so in the sent-at header: its events count on the
// days they happened by the collector's clock, and the stores keep the time the device gave.
// Without the header, or with one that is not a time, events keep their times.
TYPED_TEST(ZEVSiteCollectorStoreTest, TheSentAtHeaderCorrectsEventTimesByTheDeviceClockError) {
  // The collector's clock stands at 2026-03-15 12:00 UTC.
  const std::int64_t now = noonOf("2026-03-15");
  Collector& collector = this->startCollector({}, [now] { return now; });
  const std::string directory = makeTemporaryDirectory();
  const std::string jsonLines = directory + "/events.jsonl";
  ASSERT_TRUE(collector.collector->writeJsonLines(jsonLines));

  // Sent at 2001-01-01 00:00 by the device's clock: events of 3 h and 36 h before (by that
  // clock) happened 3 h and 36 h before now; one without ts happened when it was sent.
  std::vector<std::string> late = {
      pageViewAt("late-1", kYear2001 - 3 * kHour),
      upload({{"tid", "dc-7"},
              {"t", "event"},
              {"ec", "shop"},
              {"ea", "buy"},
              {"cid", "c1"},
              {"eid", "late-2"},
              {"ts", std::to_string(kYear2001 - 36 * kHour)}}),
      upload(
          {{"tid", "dc-7"}, {"t", "pageview"}, {"dt", "Home"}, {"cid", "c1"}, {"eid", "late-3"}})};
  ASSERT_EQ(collector.post(joinLines(late), false, sentAt(std::to_string(kYear2001))), 200);
  auto times = this->backend_.times();
  EXPECT_EQ(times["late-1"], storedTimes(now - 3 * kHour, kYear2001 - 3 * kHour));
  EXPECT_EQ(times["late-2"], storedTimes(now - 36 * kHour, kYear2001 - 36 * kHour));
  EXPECT_EQ(times["late-2"].day, "2026-03-14");
  EXPECT_EQ(times["late-3"], storedTimes(now, kYear2001));
  EXPECT_EQ(collector.get("/api/summary?app=7&from=2026-03-14&to=2026-03-15").second,
            R"({"app":"7","from":"2026-03-14","to":"2026-03-15",)"
            R"("totals":{"events":3,"pageviews":2,"classicEvents":1,"customActions":0,)"
            R"("starts":0,"installs":0,"pulses":0,"customEvents":0,"clients":1,)"
            R"("sessions":0,"users":1,"avgSessionSeconds":0.0},)"
            R"("daily":[{"day":"2026-03-14","pageviews":0,"events":1,"clients":1},)"
            R"({"day":"2026-03-15","pageviews":2,"events":2,"clients":1}],)"
            R"("topPages":[{"title":"Home","views":2}],)"
            R"("topEvents":[{"category":"shop","action":"buy","count":1}],"campaigns":[],)"
            R"("customEvents":[],"customEventProperties":[],"platforms":[],"appVersions":[],)"
            R"("locales":[]})");
  EXPECT_NE(collector.get("/api/summary?app=7&from=2000-12-30&to=2001-01-01")
                .second.find(R"("totals":{"events":0,)"),
            std::string::npos);
  // The default range ends on the collector's today.
  const std::string lastDays = collector.get("/api/summary?app=7").second;
  EXPECT_NE(lastDays.find(R"("to":"2026-03-15","totals":{"events":3,)"), std::string::npos)
      << lastDays;
  // --jsonl: "ts" is the corrected time, "device_ts" the one the device sent.
  EXPECT_NE(jsonLineOf(jsonLines, "late-1")
                .find("\"ts\":\"" + std::to_string(now - 3 * kHour) + "\",\"device_ts\":\"" +
                      std::to_string(kYear2001 - 3 * kHour) + "\""),
            std::string::npos)
      << jsonLineOf(jsonLines, "late-1");

  // No header: stored as the device gave it.
  const std::int64_t march1 = noonOf("2026-03-01");
  ASSERT_EQ(collector.post(pageViewAt("plain", march1)), 200);
  EXPECT_EQ(this->backend_.times()["plain"], storedTimes(march1, march1));
  EXPECT_NE(jsonLineOf(jsonLines, "plain")
                .find("\"ts\":\"" + std::to_string(march1) + "\",\"device_ts\":\"" +
                      std::to_string(march1) + "\""),
            std::string::npos);

  // A header that is not a time the stores take is logged and ignored; the request is taken.
  const std::vector<std::string> notTimes = {
      "",
      "soon",
      "-5",
      "12x",
      "+978307200000",
      "0x10",
      "978307200000.5",
      "99999999999999999999",
      "4102444800000",  // 2100-01-01, past the last event time the stores take
  };
  const std::int64_t march2 = noonOf("2026-03-02");
  for (std::size_t i = 0; i < notTimes.size(); ++i) {
    const std::string eventId = "not-a-time-" + std::to_string(i);
    ASSERT_EQ(collector.post(pageViewAt(eventId, march2), false, sentAt(notTimes[i])), 200)
        << notTimes[i];
    EXPECT_EQ(this->backend_.times()[eventId], storedTimes(march2, march2)) << notTimes[i];
  }
  EXPECT_TRUE(collector.logged("ignored X-ZEVSite-Sent-At \"soon\""));

  // A clock ahead moves times back; corrected times stay within what the stores take (from
  // the epoch to the end of 2099) whatever the device sent.
  const std::int64_t late2099 = noonOf("2099-12-31");
  ASSERT_EQ(collector.post(
                joinLines({pageViewAt("ahead-1", late2099 - kHour), pageViewAt("ahead-2", 1000)}),
                false, sentAt(std::to_string(late2099))),
            200);
  ASSERT_EQ(
      collector.post(joinLines({pageViewAt("booted-1", 5000), pageViewAt("booted-2", late2099)}),
                     false, sentAt("0")),
      200);
  times = this->backend_.times();
  EXPECT_EQ(times["ahead-1"], storedTimes(now - kHour, late2099 - kHour));
  EXPECT_EQ(times["ahead-2"], storedTimes(0, 1000));
  EXPECT_EQ(times["booted-1"], storedTimes(now + 5000, 5000));
  EXPECT_EQ(times["booted-2"], storedTimes(zevsite::collector::kEndOfEventTimes - 1, late2099));
  EXPECT_EQ(times["booted-2"].day, "2099-12-31");
  for (const char* day : {"1970-01-01", "2099-12-31"}) {
    const std::string summary =
        collector.get(std::string("/api/summary?app=7&from=") + day + "&to=" + day).second;
    EXPECT_NE(summary.find(std::string(R"("daily":[{"day":")") + day + R"(","pageviews":1,)"),
              std::string::npos)
        << summary;
  }
  std::filesystem::remove_all(directory);
}

// A table made before device times were kept gets the column when the store opens: its rows'
// device time is their ts, the summary is the same (but for the context, which such a table
// never held), and new events are stored with both.
TYPED_TEST(ZEVSiteCollectorStoreTest, ATableFromBeforeDeviceTimesGetsThemWhenOpened) {
  const std::int64_t now = noonOf("2026-03-15");
  auto clock = [now] { return now; };
  Collector& before = this->startCollector({}, clock);
  ASSERT_EQ(before.post(joinLines(knownEvents())), 200);
  const std::map<std::string, StoredTimes> stored = this->backend_.times();
  ASSERT_EQ(stored.size(), knownEvents().size());
  this->closeCollector(before);
  this->backend_.makeOlderTable(kColumnsBeforeDeviceTimes);

  Collector& after = this->startCollector({}, clock);
  EXPECT_EQ(after.get(kKnownSummaryPath), std::pair(200, knownSummary(false)));
  EXPECT_EQ(this->backend_.times(), stored);
  for (const auto& [eventId, times] : stored) EXPECT_EQ(times.deviceTs, times.ts) << eventId;
  ASSERT_EQ(
      after.post(pageViewAt("late", kYear2001 - kHour), false, sentAt(std::to_string(kYear2001))),
      200);
  EXPECT_EQ(this->backend_.times()["late"], storedTimes(now - kHour, kYear2001 - kHour));
  EXPECT_NE(after.get("/api/summary?app=7&from=2026-03-15&to=2026-03-15")
                .second.find(R"("totals":{"events":1,"pageviews":1,)"),
            std::string::npos);
  this->closeCollector(after);

  // Opened again, the table is left as it is.
  Collector& again = this->startCollector({}, clock);
  EXPECT_EQ(again.get(kKnownSummaryPath).second, knownSummary(false));
  ASSERT_EQ(again.post(pageViewAt("again", noonOf("2026-03-02"))), 200);
  EXPECT_EQ(this->backend_.times().size(), knownEvents().size() + 2);
}

// A table made before each event's context was kept gets its columns when the store opens:
// its rows have none (each client a user, no session, platform, version or locale), and a
// new event is stored with every attribute in its column and counted.
TYPED_TEST(ZEVSiteCollectorStoreTest, ATableFromBeforeTheContextGetsItsColumnsWhenOpened) {
  Collector& before = this->startCollector();
  ASSERT_EQ(before.post(joinLines(knownEvents())), 200);
  this->closeCollector(before);
  this->backend_.makeOlderTable(kColumnsBeforeContext);

  Collector& after = this->startCollector();
  EXPECT_EQ(after.get(kKnownSummaryPath), std::pair(200, knownSummary(false)));
  const auto older = this->backend_.columnsOf(kContextColumns);
  ASSERT_EQ(older.size(), knownEvents().size());
  const std::vector<std::string> none = {"", "", "", "", "", "", "", "0", "", "", "0"};
  for (const auto& [eventId, values] : older) EXPECT_EQ(values, none) << eventId;

  const std::string noon = std::to_string(noonOf("2026-03-03"));
  auto event = [&](const std::string& eventId, const std::string& ts) {
    return upload({{"tid", "dc-7"},
                   {"t", "pageview"},
                   {"dt", "Home"},
                   {"cid", "c4"},
                   {"eid", eventId},
                   {"ts", ts},
                   {"uid", "Zoë <z@x>"},
                   {"av", "3.0-beta"},
                   {"ab", "300"},
                   {"os", "Fedora Linux"},
                   {"osv", "40"},
                   {"arch", "aarch64"},
                   {"lc", "pt-BR"},
                   {"tz", "-180"},
                   {"sr", "1280x800"},
                   {"sid", "0123456789abcdef"},
                   {"sn", "42"}});
  };
  ASSERT_EQ(
      after.post(joinLines({event("context-1", noon),
                            event("context-2", std::to_string(noonOf("2026-03-03") + 90'500))})),
      200);
  EXPECT_EQ(
      this->backend_.columnsOf(kContextColumns)["context-1"],
      (std::vector<std::string>{"Zoë <z@x>", "3.0-beta", "300", "Fedora Linux", "40", "aarch64",
                                "pt-BR", "-180", "1280x800", "0123456789abcdef", "42"}));
  const std::string summary = after.get("/api/summary?app=7&from=2026-03-03&to=2026-03-03").second;
  EXPECT_NE(summary.find(R"("clients":1,"sessions":1,"users":1,"avgSessionSeconds":90.5},)"),
            std::string::npos)
      << summary;
  EXPECT_NE(
      summary.find(R"("platforms":[{"os":"Fedora Linux","osVersion":"40","clients":1,"events":2}],)"
                   R"("appVersions":[{"version":"3.0-beta","clients":1,"events":2}],)"
                   R"("locales":[{"locale":"pt-BR","clients":1}]})"),
      std::string::npos)
      << summary;
  this->closeCollector(after);

  // Opened again, the table is left as it is.
  Collector& again = this->startCollector();
  EXPECT_EQ(again.get("/api/summary?app=7&from=2026-03-03&to=2026-03-03").second, summary);
  EXPECT_EQ(this->backend_.columnsOf(kContextColumns).size(), knownEvents().size() + 2);
}

// A database written before the per-day tables the summary reads gets them filled from its
// events when it is opened: the same answers as before.
// A host tracks through the SDK, with its context, two users and two sessions, into a
// collector on each store: the summary counts them, lists the app versions and the platform,
// and a funnel follows the client from a page to its sign-up.
TYPED_TEST(ZEVSiteCollectorStoreTest, AHostsUsersSessionsAndVersionsReachTheSummary) {
  Collector& collector = this->startCollector();
  this->platform_->driveWorkers();
  // Offline until the end: the events go out in one request, whose clock correction moves
  // them all alike, so the sessions keep their lengths.
  std::atomic<ZEVSiteNetworkStatus> network{ZEVSiteNetworkStatus_None};
  ZEVSiteNetworkStatusSimple::setProvider([&network] { return network.load(); });
  ZEVSiteSupport::setCollectURL(collector.url);
  ZEVSiteSupport::setAppVersion("5.0", "500");
  ZEVSiteSupport::setUserId("ann");
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("8", "store");
  manager->trackPageView("Home");
  this->platform_->advanceBy(10s);  // the start-up event goes out after a second
  manager->trackEvent("shop", "buy", "", 1);

  // A return after the timeout: a new session, for another user on a newer version.
  ZEVSiteSupport::setApplicationActive(false);
  this->platform_->advanceBy(31min);
  ZEVSiteSupport::setApplicationActive(true);
  ZEVSiteSupport::setUserId("ben");
  ZEVSiteSupport::setAppVersion("5.1", "510");
  manager->trackPageView("Home");
  this->platform_->advanceBy(20s);
  manager->trackEventName("signup", std::nullopt, {{"plan", "pro"}});
  EXPECT_EQ(collector.collector->eventCount(), 0u);
  network = ZEVSiteNetworkStatus_WiFi;
  ASSERT_TRUE(ZEVSiteSupport::flush(10s));
  ASSERT_EQ(collector.collector->eventCount(), 5u);

  // From yesterday: the events' corrected times end now, and began half an hour ago.
  const auto today = zevsite::collector::today();
  const std::string range = "app=8&from=" + zevsite::collector::formatDay(today - 1) +
                            "&to=" + zevsite::collector::formatDay(today);
  auto [status, body] = collector.get("/api/summary?" + range);
  ASSERT_EQ(status, 200) << body;
  const auto summary = nlohmann::json::parse(body);
  EXPECT_EQ(summary["totals"]["sessions"], 2);
  EXPECT_EQ(summary["totals"]["users"], 2);
  // Session one: Home, the start-up a second later, the purchase at 10 s; session two: 20 s.
  EXPECT_DOUBLE_EQ(summary["totals"]["avgSessionSeconds"].get<double>(), 15.0);
  EXPECT_EQ(summary["appVersions"],
            nlohmann::json::parse(R"([{"version":"5.0","clients":1,"events":3},)"
                                  R"({"version":"5.1","clients":1,"events":2}])"));
  ASSERT_EQ(summary["platforms"].size(), 1u);
  EXPECT_EQ(summary["platforms"][0]["os"], zevsite::systemInfo().osName);
  EXPECT_EQ(summary["platforms"][0]["events"], 5);

  auto [funnelStatus, funnelBody] =
      collector.get("/api/funnel?" + range + "&step=pageview:Home&step=custom:signup");
  ASSERT_EQ(funnelStatus, 200) << funnelBody;
  EXPECT_EQ(nlohmann::json::parse(funnelBody)["steps"],
            nlohmann::json::parse(R"([{"step":"pageview:Home","clients":1},)"
                                  R"({"step":"custom:signup","clients":1}])"));
}

TEST(ZEVSiteSqliteStoreTest, AnOlderDatabaseGetsItsPerDayTablesFromItsEvents) {
  SqliteBackend backend;
  auto startCollector = [&](Collector& collector) {
    collector.collector->setStore(zevsite::collector::openAnalyticsStore(backend.url()));
    collector.collector->setLog([](const std::string&) {});
    collector.url = collector.collector->start();
  };
  {
    Collector collector;
    startCollector(collector);
    ASSERT_EQ(collector.post(joinLines(knownEvents())), 200);
    collector.collector->stop();
  }
  // As such a database was: the events alone, schema version 0.
  backend.execute(
      "DROP TABLE day_kinds; DROP TABLE day_profiles; DROP TABLE day_pages;"
      " DROP TABLE day_events; DROP TABLE day_campaigns; PRAGMA user_version = 0;");
  Collector collector;
  startCollector(collector);
  EXPECT_EQ(collector.get(kKnownSummaryPath), std::pair(200, std::string(kKnownSummary)));
  EXPECT_EQ(collector.get("/api/apps").second, R"({"apps":["7","8"],"names":{}})");
  // Opened again, it is not filled twice.
  collector.collector->stop();
  Collector again;
  startCollector(again);
  EXPECT_EQ(again.get(kKnownSummaryPath).second, kKnownSummary);
  again.collector->stop();
}

// The store's files and the --jsonl file (written also when only counting) hold every event:
// owner-only whatever the umask, also when an earlier
// version left them readable by others. A reader that asks for an existing store gets an error
// for a misspelt path, and no empty store is made there.
TEST(ZEVSiteSqliteStoreTest, FilesAreOwnerOnlyAndReadersNeverMakeAStore) {
  SqliteBackend backend;
  const std::string path = backend.url().substr(std::string("sqlite:").size());
  const mode_t previousMask = ::umask(022);
  auto permissions = [](const std::string& file) {
    return std::filesystem::status(file).permissions() & std::filesystem::perms::all;
  };
  {
    Collector collector;
    collector.collector->setStore(zevsite::collector::openAnalyticsStore(backend.url()));
    collector.collector->setLog([](const std::string&) {});
    ASSERT_TRUE(collector.collector->writeJsonLines(path + ".jsonl"));
    // Counting only, the --jsonl file is still written.
    collector.collector->countOnly(0);
    collector.url = collector.collector->start();
    ASSERT_EQ(collector.post(joinLines(knownEvents())), 200);
    std::ifstream jsonLines(path + ".jsonl");
    std::size_t lines = 0;
    for (std::string line; std::getline(jsonLines, line);) lines += line.rfind("{\"tid\":", 0) == 0;
    EXPECT_EQ(lines, knownEvents().size());
    for (const std::string& file : {path, path + "-wal", path + "-shm", path + ".jsonl"}) {
      ASSERT_TRUE(std::filesystem::exists(file)) << file;
      EXPECT_EQ(permissions(file),
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
          << file;
    }
    collector.collector->stop();
  }
  std::filesystem::permissions(
      path, std::filesystem::perms::others_read | std::filesystem::perms::group_read,
      std::filesystem::perm_options::add);
  {
    auto reopened = zevsite::collector::openAnalyticsStore(
        backend.url(), zevsite::collector::StoreAccess::ExistingOnly);
    EXPECT_EQ(reopened->apps(), (std::vector<std::string>{"7", "8"}));
    EXPECT_EQ(permissions(path),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  const std::string misspelt = path + ".typo";
  try {
    zevsite::collector::openAnalyticsStore("sqlite:" + misspelt,
                                           zevsite::collector::StoreAccess::ExistingOnly);
    ADD_FAILURE() << "a missing store was opened";
  } catch (const zevsite::collector::StoreError& error) {
    EXPECT_NE(std::string(error.what()).find("no store at " + misspelt), std::string::npos)
        << error.what();
  }
  EXPECT_FALSE(std::filesystem::exists(misspelt));
  ::umask(previousMask);
}

// Retention and funnels answer only whom the summary answers: without a token of the
// collector's, 401 and nothing of the data; with one, the answer.
TEST(ZEVSiteCollectorAccessTest, RetentionAndFunnelsNeedAToken) {
  const std::string directory = makeTemporaryDirectory();
  zevsite::collector::Collector collector;
  collector.setStore(
      zevsite::collector::openAnalyticsStore("sqlite:" + directory + "/events.sqlite"));
  collector.setLog([](const std::string&) {});
  collector.setAccess({{"retention-token"}, {}, {}});
  const std::string url = collector.start();
  auto client = clientFor(url);
  ASSERT_EQ(client.Post("/collect", knownEvents().front(), "text/plain")->status, 200);
  const httplib::Headers bearer = {{"Authorization", "Bearer retention-token"}};
  const std::vector<std::pair<std::string, std::string>> answers = {
      {"/api/retention?app=7&from=2026-03-01&to=2026-03-03",
       R"("cohorts":[{"cohort":"2026-02-23","size":1,"retained":[1,0]}]})"},
      {"/api/funnel?app=7&from=2026-03-01&to=2026-03-03&step=pageview%3AHome",
       R"("steps":[{"step":"pageview:Home","clients":1}]})"}};
  for (const auto& [path, answer] : answers) {
    auto refused = client.Get(path);
    ASSERT_TRUE(refused) << path;
    EXPECT_EQ(refused->status, 401) << path;
    EXPECT_EQ(refused->body.find(answer), std::string::npos) << path;
    auto answered = client.Get(path, bearer);
    ASSERT_TRUE(answered) << path;
    EXPECT_EQ(answered->status, 200) << path;
    EXPECT_NE(answered->body.find(answer), std::string::npos) << answered->body;
  }
  collector.stop();
  std::filesystem::remove_all(directory);
}

// The collector's window of recent event ids: a repeat within it is seen, the oldest go once
// it is full, and it never holds more than its capacity.
TEST(ZEVSiteRecentIdsTest, RemembersTheLatestIdsOnly) {
  zevsite::collector::RecentIds ids(3);
  EXPECT_TRUE(ids.insert("a"));
  EXPECT_TRUE(ids.insert("b"));
  EXPECT_FALSE(ids.insert("a"));
  EXPECT_TRUE(ids.insert("c"));
  EXPECT_TRUE(ids.insert("d"));  // "a" goes
  EXPECT_FALSE(ids.contains("a"));
  EXPECT_TRUE(ids.contains("b") && ids.contains("c") && ids.contains("d"));
  for (int i = 0; i < 100; ++i) ids.insert("id-" + std::to_string(i));
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_TRUE(ids.contains("id-99") && ids.contains("id-98") && ids.contains("id-97"));
  EXPECT_FALSE(ids.contains("id-96"));
  EXPECT_TRUE(ids.insert("a"));  // forgotten long ago: new again
}

// Each context attribute lands in its column, never among a custom event's properties; a
// value that is not one (a number out of range or not a number, a malformed session id or
// screen size, text longer than any id) is stored as 0 or empty, and the event still is.
TEST(ZEVSiteEventRecordTest, ContextAttributesAreColumnsAndBadValuesAreDropped) {
  zevsite::collector::EventRecord record;
  const std::string good =
      "tid=dc-7&t=signup&eid=e1&cid=c1&ts=1000&plan=pro&uid=u%201&av=2.0&ab=20&os=Debian%20GNU%2F"
      "Linux&osv=12&arch=x86_64&lc=en-US&tz=-300&sr=1920x1080&sid=0123456789abcdef&sn=3&level=9";
  ASSERT_EQ(zevsite::collector::decodeRecord(good, 5000, 0, record), "");
  EXPECT_EQ(record.properties, R"({"plan":"pro","level":"9"})");
  EXPECT_EQ(std::vector<std::string>({record.userId, record.appVersion, record.appBuild, record.os,
                                      record.osVersion, record.arch, record.locale, record.screen,
                                      record.sessionId}),
            std::vector<std::string>({"u 1", "2.0", "20", "Debian GNU/Linux", "12", "x86_64",
                                      "en-US", "1920x1080", "0123456789abcdef"}));
  EXPECT_EQ(record.utcOffset, -300);
  EXPECT_EQ(record.sessionNumber, 3);

  struct Case {
    std::string fields;
    std::int64_t utcOffset, sessionNumber;
    std::string screen, sessionId, userId;
  };
  const std::string longId(257, 'u');
  const std::vector<Case> cases = {
      {"tz=1080&sn=9223372036854775807&sr=1x1&sid=ffffffffffffffff&uid=" + std::string(256, 'u'),
       1080, 9223372036854775807, "1x1", "ffffffffffffffff", std::string(256, 'u')},
      {"tz=1081&sn=0&sr=1920X1080&sid=0123456789ABCDEF&uid=" + longId, 0, 0, "", "", ""},
      {"tz=-1081&sn=-3&sr=0x1080&sid=0123456789abcde", 0, 0, "", "", ""},
      {"tz=%2B60&sn=9223372036854775808&sr=1920x&sid=0123456789abcdef0", 0, 0, "", "", ""},
      {"tz=60min&sn=two&sr=x1080&sid=0123456789abcdeg", 0, 0, "", "", ""},
      {"tz=&sn=&sr=1234567x1&sid=", 0, 0, "", "", ""},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(
        zevsite::collector::decodeRecord("tid=7&t=pageview&eid=e2&" + c.fields, 5000, 0, record),
        "")
        << c.fields;
    EXPECT_EQ(record.utcOffset, c.utcOffset) << c.fields;
    EXPECT_EQ(record.sessionNumber, c.sessionNumber) << c.fields;
    EXPECT_EQ(record.screen, c.screen) << c.fields;
    EXPECT_EQ(record.sessionId, c.sessionId) << c.fields;
    EXPECT_EQ(record.userId, c.userId) << c.fields;
  }
  // Text that is not UTF-8 is repaired, as every stored value is.
  ASSERT_EQ(zevsite::collector::decodeRecord("tid=7&t=pageview&eid=e3&os=A%FFB", 5000, 0, record),
            "");
  EXPECT_EQ(record.os,
            "A\xEF\xBF\xBD"
            "B");
}
