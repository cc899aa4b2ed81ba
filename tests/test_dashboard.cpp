// The collector's dashboard in a real browser: Debian's chromium, headless, loads the page
// from a collector holding a known set of events; the test reads the DOM after the page's
// scripts ran and saves a screenshot.
#include "ZEVSiteCollector.h"
#include "ZEVSiteSummaryFormat.h"
#include "ZEVSiteTestSupport.h"

#include <httplib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <regex>

namespace {

constexpr const char* kChromium = "/usr/bin/chromium";

// Runs headless chromium on `url` with `extraArguments`; its standard output.
std::string runChromium(const std::string& url, const std::string& profile,
                        std::vector<std::string> extraArguments) {
  std::vector<std::string> arguments = {
      "60", kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
      "--no-first-run", "--disable-background-networking", "--disable-component-update",
      "--disable-sync", "--user-data-dir=" + profile, "--window-size=1280,1000",
      // Lets the page's fetches and charts finish first.
      "--virtual-time-budget=5000"};
  arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
  arguments.push_back(url);
  ZEVSiteChild child = spawnChild("/usr/bin/timeout", arguments, /*readOutput=*/true);
  if (child.pid <= 0) return {};
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = ::read(child.outputFd, buffer, sizeof buffer)) > 0;)
    output.append(buffer, n);
  ::close(child.outputFd);
  ::waitpid(child.pid, nullptr, 0);
  return output;
}

std::string pageView(const std::string& title, const std::string& client, int id, std::int64_t ts) {
  return "tid=dc-42&t=pageview&dt=" + title + "&cid=" + client + "&eid=dash-" + std::to_string(id) +
         "&ts=" + std::to_string(ts);
}

// The number after `"name":` in `json` (the first one: totals come first).
std::string jsonNumber(const std::string& json, const std::string& name) {
  std::smatch match;
  std::regex_search(json, match, std::regex("\"" + name + "\":(\\d+)"));
  return match.size() > 1 ? match[1].str() : "missing";
}

// The text of the element with `id` in `dom`, or "missing".
std::string elementText(const std::string& dom, const std::string& id) {
  std::smatch match;
  std::regex_search(dom, match, std::regex("id=\"" + id + "\">([^<]*)<"));
  return match.size() > 1 ? match[1].str() : "missing";
}

std::string attribute(const std::string& dom, const std::string& id, const std::string& name) {
  std::smatch match;
  std::regex_search(dom, match, std::regex("id=\"" + id + "\"[^>]*" + name + "=\"([^\"]*)\""));
  return match.size() > 1 ? match[1].str() : "missing";
}

// A collector with a SQLite store in a temporary directory of its own, removed afterwards.
struct DashboardCollector {
  DashboardCollector() {
    collector.setStore(
        zevsite::collector::openAnalyticsStore("sqlite:" + directory + "/events.sqlite"));
    collectURL = collector.start();
    base = collectURL.substr(0, collectURL.rfind('/'));
  }
  ~DashboardCollector() {
    collector.stop();
    std::filesystem::remove_all(directory);
  }
  // Posts `lines` to /collect as one request: its status, or -1.
  int post(const std::vector<std::string>& lines) {
    std::string body;
    for (const auto& line : lines) body += (body.empty() ? "" : "\n") + line;
    auto posted = httplib::Client(base).Post("/collect", body, "text/plain");
    return posted ? posted->status : -1;
  }

  const std::string directory = makeTemporaryDirectory();
  zevsite::collector::Collector collector;
  std::string collectURL, base;
};

}  // namespace

TEST(ZEVSiteDashboard, ShowsTheSummaryAndEscapesEventText) {
  if (::access(kChromium, X_OK) != 0) {
    GTEST_SKIP() << kChromium << " is missing (scripts/deps.sh installs chromium)";
  }
  DashboardCollector dashboard;
  const std::string &directory = dashboard.directory, &base = dashboard.base;

  const std::int64_t now = zevsite::collector::today() * 86'400'000 + 3'600'000;
  const std::int64_t yesterday = now - 86'400'000;
  // Host input that would run as markup if the page inserted it as HTML.
  const std::string scriptTitle = "%3Cscript%3Edocument.body.dataset.injected%3D1%3C%2Fscript%3E";
  const std::string imageTitle =
      "%3Cimg%20src%3Dx%20onerror%3D%22document.body.dataset.injected%3D2%22%3E";
  const std::vector<std::string> lines = {
      pageView("Home", "c1", 1, now),
      pageView("Home", "c2", 2, yesterday),
      pageView(scriptTitle, "c2", 3, now),
      pageView(imageTitle, "c3", 4, now),
      "tid=dc-42&t=event&ec=%3Cscript%3Ex%3C%2Fscript%3E&ea=buy&cid=c1&eid=dash-5&ts=" +
          std::to_string(now),
      "tid=dc-42&t=init&inst=1&qxc=%3Cb%3Espring%3C%2Fb%3E&qxs=banner&cid=c3&eid=dash-6&ts=" +
          std::to_string(now),
      "tid=dc-42&t=event&ec=&ea=&caid=share&cid=c1&eid=dash-7&ts=" + std::to_string(now),
      "tid=dc-42&t=pulse&cid=c2&eid=dash-8&ts=" + std::to_string(now),
      "tid=dc-42&t=pulse&cid=c3&eid=dash-9&ts=" + std::to_string(now),
      // A custom event the host named, with a property of its own.
      "plan=%3Ci%3Epro%3C%2Fi%3E&tid=dc-42&t=signup_completed&cid=c1&eid=dash-10&ts=" +
          std::to_string(now),
  };
  ASSERT_EQ(dashboard.post(lines), 200);
  httplib::Client client(base);
  auto summary = client.Get(("/api/summary?app=42&from=" +
                             zevsite::collector::formatDay(zevsite::collector::today() - 29) +
                             "&to=" + zevsite::collector::formatDay(zevsite::collector::today()))
                                .c_str());
  ASSERT_TRUE(summary);
  ASSERT_EQ(jsonNumber(summary->body, "events"), "10");

  const std::string dom = runChromium(base + "/", directory + "/profile", {"--dump-dom"});
  ASSERT_NE(dom.find("data-loaded=\"true\""), std::string::npos) << dom;
  // The tiles show the API's totals.
  for (const auto& [tile, total] :
       std::vector<std::pair<std::string, std::string>>{{"tile-pageviews", "pageviews"},
                                                        {"tile-events", "events"},
                                                        {"tile-classic-events", "classicEvents"},
                                                        {"tile-custom-actions", "customActions"},
                                                        {"tile-pulses", "pulses"},
                                                        {"tile-custom-events", "customEvents"},
                                                        {"tile-starts", "starts"},
                                                        {"tile-installs", "installs"},
                                                        {"tile-clients", "clients"}}) {
    EXPECT_EQ(elementText(dom, tile), jsonNumber(summary->body, total)) << tile;
  }
  EXPECT_EQ(elementText(dom, "tile-pageviews"), "4");
  // Each tile counts its own kind: 4 page views, 1 classic event, 1 custom action, 2 pulses,
  // 1 custom event and the start, 10 in all.
  EXPECT_EQ(elementText(dom, "tile-classic-events"), "1");
  EXPECT_EQ(elementText(dom, "tile-custom-actions"), "1");
  EXPECT_EQ(elementText(dom, "tile-pulses"), "2");
  EXPECT_EQ(elementText(dom, "tile-custom-events"), "1");
  EXPECT_EQ(elementText(dom, "tile-events"), "10");
  // The custom event and its property, as text.
  EXPECT_NE(dom.find("<td>signup_completed</td><td>1</td>"), std::string::npos) << dom;
  EXPECT_NE(
      dom.find("<td>signup_completed</td><td>plan</td><td>&lt;i&gt;pro&lt;/i&gt;</td><td>1</td>"),
      std::string::npos)
      << dom;
  // Both charts were drawn: 30 days, 3 pages.
  EXPECT_EQ(attribute(dom, "daily-chart", "data-drawn"), "30");
  EXPECT_EQ(attribute(dom, "pages-chart", "data-drawn"), "3");
  // Event text shows as text: escaped in the DOM, never run.
  EXPECT_NE(dom.find("<li>&lt;script&gt;document.body.dataset.injected=1&lt;/script&gt; (1)</li>"),
            std::string::npos)
      << dom;
  EXPECT_NE(dom.find("<td>&lt;script&gt;x&lt;/script&gt;</td><td>buy</td>"), std::string::npos);
  EXPECT_NE(dom.find("<td>&lt;b&gt;spring&lt;/b&gt;</td>"), std::string::npos);
  EXPECT_EQ(dom.find("data-injected"), std::string::npos);
  EXPECT_EQ(dom.find("<img"), std::string::npos);

  const std::string screenshot = directory + "/dashboard.png";
  runChromium(base + "/", directory + "/profile-screenshot", {"--screenshot=" + screenshot});
  std::ifstream png(screenshot, std::ios::binary);
  char signature[8] = {};
  png.read(signature, sizeof signature);
  EXPECT_EQ(std::string(signature + 1, 3), "PNG");
  EXPECT_GT(std::filesystem::file_size(screenshot), 10'000u);
}

// Each table of the summary downloads as CSV: a header row, CRLF line ends, text that holds a
// separator or a quote quoted, and text a spreadsheet would run as a formula defused with a
// leading apostrophe. An unknown table or a missing app is 400.
TEST(ZEVSiteDashboard, EachTableDownloadsAsCsvSafeForSpreadsheets) {
  DashboardCollector dashboard;
  const std::string& base = dashboard.base;
  const std::int64_t now = zevsite::collector::today() * 86'400'000 + 3'600'000;
  const std::vector<std::string> lines = {
      pageView("%3DHYPERLINK(%22http%3A%2F%2Fx%22)", "c1", 1, now),  // =HYPERLINK("http://x")
      pageView("Shoes%2C%20red", "c1", 2, now),                      // Shoes, red
      pageView("Shoes%2C%20red", "c2", 3, now),
      "tid=dc-42&t=event&ec=shop&ea=%2Bbuy&cid=c1&eid=dash-4&ts=" + std::to_string(now),
  };
  ASSERT_EQ(dashboard.post(lines), 200);
  httplib::Client client(base);

  const std::string today = zevsite::collector::formatDay(zevsite::collector::today());
  auto csv = [&](const std::string& query) {
    return client.Get(("/api/summary.csv?" + query).c_str());
  };
  auto pages = csv("app=42&from=" + today + "&to=" + today + "&table=pages");
  ASSERT_TRUE(pages);
  EXPECT_EQ(pages->status, 200);
  EXPECT_EQ(pages->get_header_value("Content-Type"), "text/csv; charset=utf-8");
  EXPECT_EQ(pages->get_header_value("Content-Disposition"),
            "attachment; filename=\"zevsite-42-pages-" + today + "-" + today + ".csv\"");
  EXPECT_EQ(pages->body,
            "title,views\r\n\"Shoes, red\",2\r\n\"'=HYPERLINK(\"\"http://x\"\")\",1\r\n");
  auto events = csv("app=42&from=" + today + "&to=" + today + "&table=events");
  ASSERT_TRUE(events);
  EXPECT_EQ(events->body, "category,action,count\r\nshop,'+buy,1\r\n");
  auto daily = csv("app=42&from=" + today + "&to=" + today + "&table=daily");
  ASSERT_TRUE(daily);
  EXPECT_EQ(daily->body, "day,pageviews,events,clients\r\n" + today + ",3,4,2\r\n");
  for (const char* bad : {"app=42&table=users", "app=42", "table=pages"}) {
    auto refused = csv(bad);
    ASSERT_TRUE(refused) << bad;
    EXPECT_EQ(refused->status, 400) << bad;
  }
}

// The app, range and funnel steps shown are in the page's URL, so a view can be linked, and
// the CSV links follow the view. A collector without events says how to point an SDK at it.
TEST(ZEVSiteDashboard, TheViewIsInTheUrlAndAnEmptyCollectorSaysWhatToDo) {
  if (::access(kChromium, X_OK) != 0) {
    GTEST_SKIP() << kChromium << " is missing (scripts/deps.sh installs chromium)";
  }
  DashboardCollector dashboard;
  const std::string &directory = dashboard.directory, &base = dashboard.base;

  std::string dom = runChromium(base + "/", directory + "/profile-empty", {"--dump-dom"});
  EXPECT_NE(dom.find("data-loaded=\"empty\""), std::string::npos) << dom;
  EXPECT_EQ(elementText(dom, "empty-cpp"),
            "ZEVSiteSupport::setCollectURL(\"" + dashboard.collectURL + "\");  // C++");
  EXPECT_EQ(attribute(dom, "summary", "hidden"), "");

  const std::int64_t now = zevsite::collector::today() * 86'400'000 + 3'600'000;
  ASSERT_EQ(
      dashboard.post({pageView("Home", "c1", 1, now),
                      "tid=dc-7&t=pageview&dt=Other&cid=c9&eid=dash-2&ts=" + std::to_string(now)}),
      200);
  // With a funnel step that is not one: the collector's reason shows by the funnel.
  dom = runChromium(base + "/?app=7&days=7&step=page:Home", directory + "/profile-linked",
                    {"--dump-dom"});
  ASSERT_NE(dom.find("data-loaded=\"true\""), std::string::npos) << dom;
  EXPECT_NE(dom.find("data-view=\"7/7\""), std::string::npos) << dom;
  EXPECT_EQ(attribute(dom, "daily-chart", "data-drawn"), "7");
  EXPECT_EQ(elementText(dom, "tile-pageviews"), "1");  // app 7's, not app 42's
  const std::string pagesLink = attribute(dom, "csv-pages", "href");
  EXPECT_EQ(pagesLink.rfind("/api/summary.csv?app=7&amp;from=", 0), 0u) << pagesLink;
  EXPECT_NE(pagesLink.find("&amp;table=pages"), std::string::npos) << pagesLink;
  EXPECT_EQ(attribute(dom, "empty", "hidden"), "");
  EXPECT_EQ(elementText(dom, "funnel-status").rfind("/api/funnel: a step is pageview:TITLE", 0), 0u)
      << elementText(dom, "funnel-status");
  EXPECT_EQ(attribute(dom, "funnel-bars", "data-drawn"), "missing");
}

// The context's tiles (users, sessions, their average length), platforms and app versions as
// bars, locales, the retention cohorts shaded by rate, and a funnel whose steps the page's URL
// names (as a linked view): each shows the API's numbers, and markup sent as a system name,
// an app version or a step stays text.
TEST(ZEVSiteDashboard, ShowsContextRetentionAndAFunnelOfTheStepsInTheUrl) {
  if (::access(kChromium, X_OK) != 0) {
    GTEST_SKIP() << kChromium << " is missing (scripts/deps.sh installs chromium)";
  }
  DashboardCollector dashboard;
  const std::string &directory = dashboard.directory, &base = dashboard.base;

  const std::int64_t now = zevsite::collector::today() * 86'400'000 + 3'600'000;
  const std::int64_t minute = 60'000, yesterday = now - 86'400'000;
  // c1 ("alice") on a system named in markup, 10 minutes in one session; c2 signed out, with
  // an app version in markup, a session yesterday and one of 5 minutes today.
  const std::string c1 = "&uid=alice&os=%3Cb%3EDebian%3C%2Fb%3E&osv=12&av=2.0&lc=en-US&sid=";
  const std::string c2 =
      "&os=Ubuntu&osv=24.04&av=%3Cimg%20src%3Dx%20onerror%3D%22document.body.dataset.injected%3D4"
      "%22%3E&lc=de-DE&sid=";
  const std::string script = "%3Cscript%3Edocument.body.dataset.injected%3D3%3C%2Fscript%3E";
  int id = 0;
  auto event = [&](const std::string& fields, const std::string& client, std::int64_t ts,
                   const std::string& context) {
    return "tid=dc-43&" + fields + "&cid=" + client + "&eid=context-" + std::to_string(++id) +
           "&ts=" + std::to_string(ts) + context;
  };
  const std::vector<std::string> lines = {
      event("t=pageview&dt=Home", "c1", now, c1 + "a1a1a1a1a1a1a1a1"),
      event("t=signup_completed", "c1", now + 10 * minute, c1 + "a1a1a1a1a1a1a1a1"),
      event("t=pageview&dt=" + script, "c1", now + 10 * minute, c1 + "a1a1a1a1a1a1a1a1"),
      event("t=pageview&dt=Home", "c2", yesterday, c2 + "b1b1b1b1b1b1b1b1"),
      event("t=pageview&dt=Home", "c2", now, c2 + "b2b2b2b2b2b2b2b2"),
      event("t=signup_completed", "c2", now + 5 * minute, c2 + "b2b2b2b2b2b2b2b2"),
  };
  ASSERT_EQ(dashboard.post(lines), 200);
  httplib::Client client(base);
  const std::string range =
      "app=43&from=" + zevsite::collector::formatDay(zevsite::collector::today() - 29) +
      "&to=" + zevsite::collector::formatDay(zevsite::collector::today());
  auto retention = client.Get(("/api/retention?" + range).c_str());
  ASSERT_TRUE(retention);
  const auto cohorts = nlohmann::json::parse(retention->body)["cohorts"];
  ASSERT_FALSE(cohorts.empty()) << retention->body;

  const std::string dom = runChromium(
      base + "/?app=43&days=30&step=pageview:Home&step=custom:signup_completed&step=pageview:" +
          script,
      directory + "/profile", {"--dump-dom"});
  ASSERT_NE(dom.find("data-loaded=\"true\""), std::string::npos) << dom;
  EXPECT_EQ(elementText(dom, "tile-users"), "2");
  EXPECT_EQ(elementText(dom, "tile-sessions"), "3");
  EXPECT_EQ(elementText(dom, "tile-avg-session"), "5m 00s");  // 10 min, 0 and 5 min
  EXPECT_EQ(attribute(dom, "platforms-bars", "data-drawn"), "2");
  EXPECT_NE(dom.find("<span class=\"bar-label\">&lt;b&gt;Debian&lt;/b&gt; 12</span>"),
            std::string::npos)
      << dom;
  EXPECT_EQ(attribute(dom, "versions-bars", "data-drawn"), "2");
  EXPECT_NE(dom.find("<span class=\"bar-label\">&lt;img src=x onerror="), std::string::npos);
  EXPECT_NE(dom.find("<td>de-DE</td><td>1</td>"), std::string::npos);
  // The oldest cohort: all of it came back in its own period, shaded at full rate.
  EXPECT_EQ(attribute(dom, "retention-table", "data-cohorts"), std::to_string(cohorts.size()));
  const std::string firstCohort = "<td>" + cohorts[0]["cohort"].get<std::string>() + "</td><td>" +
                                  std::to_string(cohorts[0]["size"].get<int>()) + "</td>" +
                                  "<td title=\"" + std::to_string(cohorts[0]["size"].get<int>()) +
                                  " of " + std::to_string(cohorts[0]["size"].get<int>()) +
                                  " clients\" style=\"background-color: rgba(47, 111, 222, 0.8);";
  EXPECT_NE(dom.find(firstCohort), std::string::npos) << firstCohort << "\n" << dom;
  // The funnel of the URL's steps: c1 and c2 viewed Home and then signed up; only c1 then
  // viewed the page titled in markup.
  EXPECT_NE(dom.find("data-funnel=\"shown\""), std::string::npos);
  EXPECT_NE(dom.find("<span class=\"bar-label\">1. pageview:Home</span>"), std::string::npos);
  EXPECT_NE(dom.find("<span class=\"bar-value\">2 (100%)</span>"), std::string::npos);
  EXPECT_NE(dom.find("<span class=\"bar-label\">3. pageview:&lt;script&gt;document.body.dataset."
                     "injected=3&lt;/script&gt;</span>"),
            std::string::npos);
  EXPECT_NE(dom.find("<span class=\"bar-value\">1 (50%)</span>"), std::string::npos);
  EXPECT_EQ(dom.find("data-injected"), std::string::npos);
  EXPECT_EQ(dom.find("<img"), std::string::npos);
}
