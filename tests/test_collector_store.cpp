// The collector as the SDK's analytics backend, through real HTTP, with each store: SQLite
// in a temporary directory, and a real ClickHouse server whose URL scripts/test.sh puts in
// ZEVSITE_TEST_CLICKHOUSE_URL. The same cases run against both, so both give the same
// answers.
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
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

// An upload string of `fields`, percent-encoded as the SDK does.
std::string upload(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string out;
  for (const auto& [key, value] : fields) {
    if (!out.empty()) out += '&';
    out += key + '=';
    for (unsigned char c : value) {
      if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
        out += static_cast<char>(c);
      } else {
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", c);
        out += escaped;
      }
    }
  }
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

// The columns of the events table as the collector made it before it kept device times.
const char* const kColumnsBeforeDeviceTimes =
    "app, event, eid, cid, ts, received, day, title, category, action, label, value, caid,"
    " action_labels, action_values, campaign, source, inst, dims";

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
  // The events table made again as the collector made it before device times, with its rows.
  void makeTableBeforeDeviceTimes() {
    execute(std::string("CREATE TABLE events_before (app TEXT NOT NULL, event TEXT NOT NULL,"
                        " eid TEXT NOT NULL UNIQUE, cid TEXT NOT NULL, ts INTEGER NOT NULL,"
                        " received INTEGER NOT NULL, day TEXT NOT NULL, title TEXT NOT NULL,"
                        " category TEXT NOT NULL, action TEXT NOT NULL, label TEXT NOT NULL,"
                        " value INTEGER NOT NULL, caid TEXT NOT NULL, action_labels TEXT NOT NULL,"
                        " action_values TEXT NOT NULL, campaign TEXT NOT NULL,"
                        " source TEXT NOT NULL, inst INTEGER NOT NULL, dims TEXT NOT NULL);"
                        " INSERT INTO events_before SELECT ") +
            kColumnsBeforeDeviceTimes +
            " FROM events; DROP TABLE events; ALTER TABLE events_before RENAME TO events;");
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
  // The events table made again as the collector made it before device times, with its rows.
  void makeTableBeforeDeviceTimes() {
    const std::string before = database_ + ".events_before", events = database_ + ".events";
    EXPECT_TRUE(run("CREATE TABLE " + before +
                    " (app String, event String, eid String, cid String, ts Int64,"
                    " received Int64, day Date, title String, category String, action String,"
                    " label String, value Int64, caid String, action_labels String,"
                    " action_values String, campaign String, source String, inst UInt8,"
                    " dims String) ENGINE = ReplacingMergeTree()"
                    " PARTITION BY toYYYYMM(day) ORDER BY (app, day, eid)"));
    EXPECT_TRUE(
        run("INSERT INTO " + before + " SELECT " + kColumnsBeforeDeviceTimes + " FROM " + events));
    EXPECT_TRUE(run("DROP TABLE " + events));
    EXPECT_TRUE(run("RENAME TABLE " + before + " TO " + events));
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
// the day before; `c1`..`c3` are the clients.
std::vector<std::string> knownEvents() {
  const auto d0 = std::to_string(noonOf("2026-02-28")), d1 = std::to_string(noonOf("2026-03-01")),
             d2 = std::to_string(noonOf("2026-03-02"));
  int id = 0;
  auto event = [&](const std::string& app, const std::string& client, const std::string& ts,
                   std::vector<std::pair<std::string, std::string>> fields) {
    fields.insert(fields.begin(), {{"tid", "dc-" + app}});
    fields.insert(fields.end(), {{"v", "1"},
                                 {"cid", client},
                                 {"eid", "known-" + std::to_string(++id)},
                                 {"ts", ts},
                                 {"sdkv", "0.1.0"}});
    return upload(fields);
  };
  using F = std::vector<std::pair<std::string, std::string>>;
  return {
      event("7", "c1", d1, F{{"t", "pageview"}, {"dt", "Home"}, {"cd1", "blue"}, {"cm1", "3"}}),
      event("7", "c2", d1, F{{"t", "pageview"}, {"dt", "Home"}}),
      event("7", "c1", d2, F{{"t", "pageview"}, {"dt", "Home"}}),
      event("7", "c3", d2, F{{"t", "pageview"}, {"dt", "<script>alert(\"x\")</script>"}}),
      event("7", "c1", d1, F{{"t", "event"}, {"ec", "shop"}, {"ea", "buy"}, {"ev", "1999"}}),
      event("7", "c2", d2, F{{"t", "event"}, {"ec", "shop"}, {"ea", "buy"}, {"el", "sku"}}),
      event("7", "c1", d2, F{{"t", "event"}, {"ec", "shop"}, {"ea", "view"}}),
      event("7", "c2", d2,
            F{{"t", "event"}, {"caid", "share"}, {"cal1", "twitter"}, {"cav1", "1"}}),
      event("7", "c1", d1, F{{"t", "init"}, {"inst", "1"}, {"qxc", "spring"}, {"qxs", "banner"}}),
      event("7", "c2", d2, F{{"t", "init"}, {"inst", "0"}, {"qxc", "spring"}, {"qxs", "banner"}}),
      event("7", "c3", d2, F{{"t", "init"}, {"inst", "1"}}),
      event("7", "c1", d2, F{{"t", "pulse"}}),
      event("8", "c9", d1, F{{"t", "pageview"}, {"dt", "Other"}}),
      event("7", "c1", d0, F{{"t", "pageview"}, {"dt", "Earlier"}}),
      // Custom events, named by the host, with properties of their own.
      event("7", "c1", d1, F{{"t", "signup_completed"}, {"plan", "pro"}, {"screen", "Home"}}),
      event("7", "c2", d2, F{{"t", "signup_completed"}, {"plan", "pro"}}),
      event("7", "c3", d2, F{{"t", "level_up"}, {"level", "3"}}),
  };
}

const char* const kKnownSummary =
    R"({"app":"7","from":"2026-03-01","to":"2026-03-03",)"
    R"("totals":{"events":15,"pageviews":4,"classicEvents":3,"customActions":1,)"
    R"("starts":3,"installs":2,"pulses":1,"customEvents":3,"clients":3},)"
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
    R"({"name":"signup_completed","key":"screen","value":"Home","count":1}]})";

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
            R"("starts":0,"installs":0,"pulses":0,"customEvents":0,"clients":1},)"
            R"("daily":[{"day":"2026-03-14","pageviews":0,"events":1,"clients":1},)"
            R"({"day":"2026-03-15","pageviews":2,"events":2,"clients":1}],)"
            R"("topPages":[{"title":"Home","views":2}],)"
            R"("topEvents":[{"category":"shop","action":"buy","count":1}],"campaigns":[],)"
            R"("customEvents":[],"customEventProperties":[]})");
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
// device time is their ts, the summary is the same, and new events are stored with both.
TYPED_TEST(ZEVSiteCollectorStoreTest, ATableFromBeforeDeviceTimesGetsThemWhenOpened) {
  const std::int64_t now = noonOf("2026-03-15");
  auto clock = [now] { return now; };
  Collector& before = this->startCollector({}, clock);
  ASSERT_EQ(before.post(joinLines(knownEvents())), 200);
  const std::map<std::string, StoredTimes> stored = this->backend_.times();
  ASSERT_EQ(stored.size(), knownEvents().size());
  this->closeCollector(before);
  this->backend_.makeTableBeforeDeviceTimes();

  Collector& after = this->startCollector({}, clock);
  EXPECT_EQ(after.get(kKnownSummaryPath), std::pair(200, std::string(kKnownSummary)));
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
  EXPECT_EQ(again.get(kKnownSummaryPath).second, kKnownSummary);
  ASSERT_EQ(again.post(pageViewAt("again", noonOf("2026-03-02"))), 200);
  EXPECT_EQ(this->backend_.times().size(), knownEvents().size() + 2);
}

// A database written before the per-day tables the summary reads gets them filled from its
// events when it is opened: the same answers as before.
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
      "DROP TABLE day_kinds; DROP TABLE day_clients; DROP TABLE day_pages; DROP TABLE day_events;"
      " DROP TABLE day_campaigns; PRAGMA user_version = 0;");
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
