#include "ZEVSiteSummaryFormat.h"

#include "ZEVSiteEventRecord.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace zevsite::collector {

namespace {

// The longest range a query may ask for: `daily` holds one entry per day.
constexpr std::int64_t kMaxRangeDays = 3660;
// Longer than any app id a host uses, short enough to keep a bad query cheap.
constexpr std::size_t kLongestAppId = 256;
constexpr std::int64_t kDefaultRangeDays = 30;

// Objects keep their members in the order written, as the API has always answered.
using Json = nlohmann::ordered_json;

std::string dumped(const Json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

template <class Item, class Member>
Json jsonList(const std::vector<Item>& items, Member&& member) {
  Json list = Json::array();
  for (const auto& item : items) list.push_back(member(item));
  return list;
}

Json totalsJson(const Summary::Totals& t) {
  return {{"events", t.events},
          {"pageviews", t.pageviews},
          {"classicEvents", t.classicEvents},
          {"customActions", t.customActions},
          {"starts", t.starts},
          {"installs", t.installs},
          {"pulses", t.pulses},
          {"customEvents", t.customEvents},
          {"clients", t.clients},
          {"sessions", t.sessions},
          {"users", t.users},
          {"avgSessionSeconds", t.avgSessionSeconds}};
}

// `text` cut to `width` bytes for a table cell, marked when cut.
std::string cell(const std::string& text, std::size_t width) {
  return text.size() <= width ? text : text.substr(0, width - 3) + "...";
}

void line(std::string& out, const char* format, auto... values) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, values...);
  out += buffer;
}

// The report's tables of platforms, app versions and locales.
void addProfileTables(std::string& out, const Summary& s) {
  line(out, "\n%-24s %-16s %10s %10s\n", "system", "version", "clients", "events");
  for (const auto& p : s.platforms) {
    line(out, "%-24s %-16s %10lld %10lld\n", cell(p.os, 24).c_str(), cell(p.osVersion, 16).c_str(),
         static_cast<long long>(p.clients), static_cast<long long>(p.events));
  }
  line(out, "\n%-41s %10s %10s\n", "app version", "clients", "events");
  for (const auto& v : s.appVersions) {
    line(out, "%-41s %10lld %10lld\n", cell(v.version, 41).c_str(),
         static_cast<long long>(v.clients), static_cast<long long>(v.events));
  }
  line(out, "\n%-41s %10s\n", "locale", "clients");
  for (const auto& l : s.locales) {
    line(out, "%-41s %10lld\n", cell(l.locale, 41).c_str(), static_cast<long long>(l.clients));
  }
}

}  // namespace

std::optional<std::int64_t> parseDay(std::string_view text) {
  using namespace std::chrono;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  auto digits = [&](std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  const year_month_day date{year(digits(0, 4)), month(static_cast<unsigned>(digits(5, 2))),
                            day(static_cast<unsigned>(digits(8, 2)))};
  if (!date.ok()) return std::nullopt;
  return sys_days(date).time_since_epoch().count();
}

std::string formatDay(std::int64_t dayNumber) { return dayOf(dayNumber * 86'400'000); }

std::vector<std::string> daysOfRange(const std::string& from, const std::string& to) {
  std::vector<std::string> days;
  const auto first = parseDay(from), last = parseDay(to);
  if (!first || !last) return days;
  for (std::int64_t day = *first; day <= *last; ++day) days.push_back(formatDay(day));
  return days;
}

std::int64_t today() {
  using namespace std::chrono;
  return floor<days>(system_clock::now()).time_since_epoch().count();
}

bool isQueryText(std::string_view text, std::size_t maxBytes) {
  std::string repaired(text);
  repairUtf8(repaired);
  const bool control = std::any_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
  return text.size() <= maxBytes && !control && repaired == text;
}

std::optional<SummaryQuery> summaryQuery(const std::string& app, const std::string& from,
                                         const std::string& to, std::int64_t today,
                                         std::string& problem) {
  if (app.empty()) {
    problem = "app is missing";
    return std::nullopt;
  }
  if (!isQueryText(app, kLongestAppId)) {
    problem = "app is not an app id: at most " + std::to_string(kLongestAppId) +
              " bytes of UTF-8 text without control characters";
    return std::nullopt;
  }
  const auto last = to.empty() ? std::optional(today) : parseDay(to);
  const auto first = from.empty()
                         ? (last ? std::optional(*last - kDefaultRangeDays + 1) : std::nullopt)
                         : parseDay(from);
  if (!first || !last) {
    problem = "from and to are days, YYYY-MM-DD";
    return std::nullopt;
  }
  if (*first > *last || *last - *first >= kMaxRangeDays) {
    problem = "from must not be after to, and the range at most " + std::to_string(kMaxRangeDays) +
              " days";
    return std::nullopt;
  }
  return SummaryQuery{appId(app), formatDay(*first), formatDay(*last)};
}

namespace {

// A text cell: quoted when it holds a separator, a quote or a line end; defused when a
// spreadsheet would read it as a formula.
std::string csvText(std::string_view text) {
  std::string cell;
  if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) {
    cell += '\'';
  }
  cell += text;
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

template <class Row, class Format>
std::string csvTable(const char* header, const std::vector<Row>& rows, Format format) {
  std::string csv = std::string(header) + "\r\n";
  for (const Row& row : rows) csv += format(row) + "\r\n";
  return csv;
}

}  // namespace

std::optional<std::string> summaryCsv(const Summary& summary, std::string_view table) {
  using S = Summary;
  auto number = [](std::int64_t value) { return std::to_string(value); };
  if (table == "daily") {
    return csvTable("day,pageviews,events,clients", summary.daily, [&](const S::Day& d) {
      return d.day + "," + number(d.pageviews) + "," + number(d.events) + "," + number(d.clients);
    });
  }
  if (table == "pages") {
    return csvTable("title,views", summary.topPages,
                    [&](const S::Page& p) { return csvText(p.title) + "," + number(p.views); });
  }
  if (table == "events") {
    return csvTable("category,action,count", summary.topEvents, [&](const S::Event& e) {
      return csvText(e.category) + "," + csvText(e.action) + "," + number(e.count);
    });
  }
  if (table == "custom") {
    return csvTable("name,count", summary.customEvents, [&](const S::CustomEvent& e) {
      return csvText(e.name) + "," + number(e.count);
    });
  }
  if (table == "properties") {
    return csvTable("name,key,value,count", summary.customEventProperties,
                    [&](const S::Property& p) {
                      return csvText(p.name) + "," + csvText(p.key) + "," + csvText(p.value) + "," +
                             number(p.count);
                    });
  }
  if (table == "campaigns") {
    return csvTable("campaign,source,starts", summary.campaigns, [&](const S::Campaign& c) {
      return csvText(c.campaign) + "," + csvText(c.source) + "," + number(c.starts);
    });
  }
  if (table == "platforms") {
    return csvTable("os,os_version,clients,events", summary.platforms, [&](const S::Platform& p) {
      return csvText(p.os) + "," + csvText(p.osVersion) + "," + number(p.clients) + "," +
             number(p.events);
    });
  }
  if (table == "versions") {
    return csvTable("version,clients,events", summary.appVersions, [&](const S::AppVersion& v) {
      return csvText(v.version) + "," + number(v.clients) + "," + number(v.events);
    });
  }
  if (table == "locales") {
    return csvTable("locale,clients", summary.locales, [&](const S::Locale& l) {
      return csvText(l.locale) + "," + number(l.clients);
    });
  }
  return std::nullopt;
}

std::string summaryJson(const Summary& summary) {
  using S = Summary;
  Json json = {{"app", summary.query.app},
               {"from", summary.query.from},
               {"to", summary.query.to},
               {"totals", totalsJson(summary.totals)}};
  json["daily"] = jsonList(summary.daily, [](const S::Day& d) {
    return Json{
        {"day", d.day}, {"pageviews", d.pageviews}, {"events", d.events}, {"clients", d.clients}};
  });
  json["topPages"] = jsonList(summary.topPages, [](const S::Page& p) {
    return Json{{"title", p.title}, {"views", p.views}};
  });
  json["topEvents"] = jsonList(summary.topEvents, [](const S::Event& e) {
    return Json{{"category", e.category}, {"action", e.action}, {"count", e.count}};
  });
  json["campaigns"] = jsonList(summary.campaigns, [](const S::Campaign& c) {
    return Json{{"campaign", c.campaign}, {"source", c.source}, {"starts", c.starts}};
  });
  json["customEvents"] = jsonList(summary.customEvents, [](const S::CustomEvent& e) {
    return Json{{"name", e.name}, {"count", e.count}};
  });
  json["customEventProperties"] = jsonList(summary.customEventProperties, [](const S::Property& p) {
    return Json{{"name", p.name}, {"key", p.key}, {"value", p.value}, {"count", p.count}};
  });
  json["platforms"] = jsonList(summary.platforms, [](const S::Platform& p) {
    return Json{
        {"os", p.os}, {"osVersion", p.osVersion}, {"clients", p.clients}, {"events", p.events}};
  });
  json["appVersions"] = jsonList(summary.appVersions, [](const S::AppVersion& v) {
    return Json{{"version", v.version}, {"clients", v.clients}, {"events", v.events}};
  });
  json["locales"] = jsonList(summary.locales, [](const S::Locale& l) {
    return Json{{"locale", l.locale}, {"clients", l.clients}};
  });
  return dumped(json);
}

std::string appsJson(const std::vector<std::string>& apps,
                     const std::vector<RegisteredApp>& registered) {
  Json names = Json::object();
  for (const auto& app : registered) names[app.id] = app.name;
  return dumped(Json{{"apps", apps}, {"names", names}});
}

std::string summaryReport(const Summary& s) {
  std::string out;
  const auto& t = s.totals;
  line(out, "app %s, %s to %s (UTC)\n\n", s.query.app.c_str(), s.query.from.c_str(),
       s.query.to.c_str());
  line(out, "%-16s %12s\n", "total", "count");
  for (auto [name, value] : {std::pair{"events", t.events},
                             {"page views", t.pageviews},
                             {"classic events", t.classicEvents},
                             {"custom actions", t.customActions},
                             {"starts", t.starts},
                             {"installs", t.installs},
                             {"pulses", t.pulses},
                             {"custom events", t.customEvents},
                             {"clients", t.clients},
                             {"sessions", t.sessions},
                             {"users", t.users}}) {
    line(out, "%-16s %12lld\n", name, static_cast<long long>(value));
  }
  line(out, "%-16s %12.1f\n", "avg. session (s)", t.avgSessionSeconds);
  line(out, "\n%-10s %10s %10s %10s\n", "day", "page views", "events", "clients");
  for (const auto& d : s.daily) {
    line(out, "%-10s %10lld %10lld %10lld\n", d.day.c_str(), static_cast<long long>(d.pageviews),
         static_cast<long long>(d.events), static_cast<long long>(d.clients));
  }
  line(out, "\n%-40s %10s\n", "top pages", "views");
  for (const auto& p : s.topPages) {
    line(out, "%-40s %10lld\n", cell(p.title, 40).c_str(), static_cast<long long>(p.views));
  }
  line(out, "\n%-24s %-24s %10s\n", "event category", "action", "count");
  for (const auto& e : s.topEvents) {
    line(out, "%-24s %-24s %10lld\n", cell(e.category, 24).c_str(), cell(e.action, 24).c_str(),
         static_cast<long long>(e.count));
  }
  line(out, "\n%-24s %-24s %10s\n", "campaign", "source", "starts");
  for (const auto& c : s.campaigns) {
    line(out, "%-24s %-24s %10lld\n", cell(c.campaign, 24).c_str(), cell(c.source, 24).c_str(),
         static_cast<long long>(c.starts));
  }
  line(out, "\n%-40s %10s\n", "custom event", "count");
  for (const auto& e : s.customEvents) {
    line(out, "%-40s %10lld\n", cell(e.name, 40).c_str(), static_cast<long long>(e.count));
  }
  line(out, "\n%-24s %-16s %-16s %10s\n", "custom event", "property", "value", "count");
  for (const auto& p : s.customEventProperties) {
    line(out, "%-24s %-16s %-16s %10lld\n", cell(p.name, 24).c_str(), cell(p.key, 16).c_str(),
         cell(p.value, 16).c_str(), static_cast<long long>(p.count));
  }
  addProfileTables(out, s);
  return out;
}

}  // namespace zevsite::collector
