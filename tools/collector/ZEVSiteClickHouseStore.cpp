#include "ZEVSiteClickHouseStore.h"

#include <curl/curl.h>

#include <mutex>
#include <regex>

namespace {

constexpr long kRequestTimeoutSeconds = 30;

std::string quoteLiteral(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

// One value of ClickHouse's TabSeparated output, unescaped.
std::string unescapeTsv(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    switch (char c = text[++i]) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case '0':
        out += '\0';
        break;
      default:
        out += c;
    }
  }
  return out;
}

ZEVSiteSqlRows parseTsv(std::string_view text) {
  ZEVSiteSqlRows rows;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    auto& row = rows.emplace_back();
    for (;;) {
      std::size_t tab = line.find('\t');
      row.push_back(unescapeTsv(line.substr(0, tab)));
      if (tab == std::string_view::npos) break;
      line.remove_prefix(tab + 1);
    }
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return rows;
}

void appendRow(std::string& body, const ZEVSiteEventRecord& r) {
  auto text = [&](const char* name, const std::string& value) {
    body += body.back() == '{' ? "\"" : ",\"";
    body += name;
    body += "\":" + zevsiteJsonString(value);
  };
  auto integer = [&](const char* name, std::int64_t value) {
    body += ",\"";
    body += name;
    body += "\":" + std::to_string(value);
  };
  body += "{";
  text("app", r.app), text("event", r.event), text("eid", r.eventId), text("cid", r.clientId);
  integer("ts", r.eventTime), integer("received", r.receivedTime);
  text("day", r.day), text("title", r.title), text("category", r.category);
  text("action", r.action), text("label", r.label), integer("value", r.value);
  text("caid", r.customActionId), text("action_labels", r.actionLabels);
  text("action_values", r.actionValues), text("campaign", r.campaign);
  text("source", r.source), integer("inst", r.firstLaunch), text("dims", r.dimensions);
  body += "}\n";
}

}  // namespace

class ZEVSiteClickHouseStore::Connection {
 public:
  explicit Connection(std::string serverURL) : serverURL_(std::move(serverURL)) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    handle_.reset(curl_easy_init());
    if (!handle_) throw ZEVSiteStoreError("libcurl cannot make a handle");
  }

  // POSTs `body` to the server with `query` as the URL's query parameter (empty: the body
  // is the statement); returns the answer, or throws when it is not 200.
  std::string post(const std::string& query, const std::string& body) {
    std::string url = serverURL_;
    if (!query.empty()) {
      char* escaped =
          curl_easy_escape(handle_.get(), query.c_str(), static_cast<int>(query.size()));
      url += "?query=" + std::string(escaped);
      curl_free(escaped);
    }
    std::string answer;
    CURL* curl = handle_.get();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Connection::collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    const CURLcode rc = curl_easy_perform(curl);
    if (rc != CURLE_OK) {
      throw ZEVSiteStoreError("ClickHouse at " + serverURL_ + ": " + curl_easy_strerror(rc));
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
      throw ZEVSiteStoreError("ClickHouse answered " + std::to_string(status) + ": " +
                              answer.substr(0, 500));
    }
    return answer;
  }

 private:
  static std::size_t collect(char* data, std::size_t size, std::size_t count, void* answer) {
    static_cast<std::string*>(answer)->append(data, size * count);
    return size * count;
  }
  struct HandleCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
  };

  std::string serverURL_;
  std::unique_ptr<CURL, HandleCleanup> handle_;
};

ZEVSiteClickHouseStore::ZEVSiteClickHouseStore(const std::string& url) {
  static const std::regex form(R"((https?://[^/]+/)([A-Za-z_][A-Za-z0-9_]*)/?)");
  std::smatch match;
  if (!std::regex_match(url, match, form)) {
    throw ZEVSiteStoreError("not a ClickHouse URL (http://HOST:PORT/DATABASE): " + url);
  }
  serverURL_ = match[1];
  database_ = match[2];
  table_ = database_ + ".events";
  writer_ = std::make_unique<Connection>(serverURL_);
}

ZEVSiteClickHouseStore::~ZEVSiteClickHouseStore() = default;

void ZEVSiteClickHouseStore::ensureTable() {
  std::lock_guard lock(tableMutex_);
  if (tableReady_) return;
  Connection connection(serverURL_);
  connection.post("", "CREATE DATABASE IF NOT EXISTS " + database_);
  // ORDER BY is the replacing key: rows with one event id (always of one app and one day)
  // are merged into one; FINAL applies that to rows not merged yet.
  connection.post("", "CREATE TABLE IF NOT EXISTS " + table_ +
                          " (app String, event String, eid String, cid String, ts Int64,"
                          " received Int64, day Date, title String, category String, action String,"
                          " label String, value Int64, caid String, action_labels String,"
                          " action_values String, campaign String, source String, inst UInt8,"
                          " dims String) ENGINE = ReplacingMergeTree()"
                          " PARTITION BY toYYYYMM(day) ORDER BY (app, day, eid)");
  tableReady_ = true;
}

void ZEVSiteClickHouseStore::insert(const std::vector<ZEVSiteEventRecord>& records) {
  if (records.empty()) return;
  std::string body;
  body.reserve(records.size() * 512);
  for (const auto& record : records) appendRow(body, record);
  std::lock_guard lock(writeMutex_);
  ensureTable();
  writer_->post("INSERT INTO " + table_ + " FORMAT JSONEachRow", body);
}

ZEVSiteSqlDialect ZEVSiteClickHouseStore::dialect() {
  // Each statement on a connection of its own, so the summary's statements run in parallel
  // on the server.
  return {quoteLiteral, table_ + " FINAL",
          [this](const std::string& sql) {
            return parseTsv(Connection(serverURL_).post("", sql + " FORMAT TabSeparated"));
          },
          /*concurrent=*/true};
}

ZEVSiteSummary ZEVSiteClickHouseStore::summary(const ZEVSiteSummaryQuery& query) {
  ensureTable();
  return zevsiteSqlSummary(dialect(), query);
}

std::vector<std::string> ZEVSiteClickHouseStore::apps() {
  ensureTable();
  return zevsiteSqlApps(dialect());
}
