// zevsite-collector: the SDK's analytics backend. Point the SDK at it with
// ZEVSiteSupport::setCollectURL("http://127.0.0.1:PORT/collect"); it stores every event once
// (SQLite by default, or ClickHouse) and answers GET /api/summary and GET /api/apps.
//
//   zevsite-collector [--port N] [--host ADDRESS] [--db URL] [--jsonl FILE] [--quiet]
//   zevsite-collector report --db URL --app ID [--from YYYY-MM-DD --to YYYY-MM-DD]
//   zevsite-collector --help
//
// URL: sqlite:PATH (default sqlite:zevsite-collector.sqlite) or
// clickhouse:http://HOST:PORT/DATABASE.
#include "ZEVSiteCollector.h"
#include "ZEVSiteSummaryFormat.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

constexpr const char* kDefaultDatabase = "sqlite:zevsite-collector.sqlite";

constexpr const char* kUsage =
    "usage: zevsite-collector [--port N] [--host ADDRESS] [--db URL] [--jsonl FILE] [--quiet]\n"
    "       zevsite-collector report --db URL --app ID [--from YYYY-MM-DD --to YYYY-MM-DD]\n"
    "       zevsite-collector --help\n";

// A wrong command line: the usage on standard error, exit code 2.
int usage() {
  std::fputs(kUsage, stderr);
  std::fputs("(zevsite-collector --help describes every option)\n", stderr);
  return 2;
}

int help() {
  std::fputs(kUsage, stdout);
  std::puts(
      "\n"
      "Collects the events of apps that use the ZEVSite SDK (point the SDK at\n"
      "http://HOST:PORT/collect with ZEVSiteSupport::setCollectURL), stores each once, and\n"
      "serves the summary API (/api/summary, /api/apps) and the dashboard (/).\n"
      "\n"
      "  --port N         the port to listen on (default 8787; 0 picks a free one)\n"
      "  --host ADDRESS   the address to listen on (default 127.0.0.1, loopback only)\n"
      "  --db URL         where events are stored (default sqlite:zevsite-collector.sqlite):\n"
      "                   sqlite:PATH, or clickhouse:http://HOST:PORT/DATABASE\n"
      "  --jsonl FILE     also append each new event to FILE as a JSON line (default: none)\n"
      "  --quiet          do not print each event as it arrives (default: print them)\n"
      "\n"
      "report prints the summary of one app as tables (read from an existing store):\n"
      "  --db URL         the store (default sqlite:zevsite-collector.sqlite)\n"
      "  --app ID         the app id (required)\n"
      "  --from, --to     the days, UTC, inclusive (default: the last 30 days to today)");
  return 0;
}

// "--flag value" pairs from argv[first..]; the flags in `switches` take no value. False on
// an unknown flag or a missing value.
bool parseFlags(int argc, char** argv, int first, const std::map<std::string, bool>& known,
                std::map<std::string, std::string>& values) {
  for (int i = first; i < argc; ++i) {
    auto flag = known.find(argv[i]);
    if (flag == known.end()) return false;
    if (!flag->second) {
      values[flag->first] = "1";
    } else if (i + 1 < argc) {
      values[flag->first] = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

int report(int argc, char** argv) {
  std::map<std::string, std::string> flags;
  if (!parseFlags(argc, argv, 2,
                  {{"--db", true}, {"--app", true}, {"--from", true}, {"--to", true}}, flags) ||
      !flags.count("--app")) {
    return usage();
  }
  std::string problem;
  auto query = zevsite::collector::summaryQuery(flags["--app"], flags["--from"], flags["--to"],
                                                zevsite::collector::today(), problem);
  if (!query) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return 2;
  }
  try {
    auto store = zevsite::collector::openAnalyticsStore(
        flags.count("--db") ? flags["--db"] : kDefaultDatabase,
        zevsite::collector::StoreAccess::ExistingOnly);
    const auto summary = store->summary(*query);
    std::fputs(zevsite::collector::summaryReport(summary).c_str(), stdout);
    if (summary.totals.events == 0) {
      std::fprintf(stderr, "no events of app %s from %s to %s (UTC) in this store\n",
                   query->app.c_str(), query->from.c_str(), query->to.c_str());
    }
  } catch (const zevsite::collector::StoreError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}

void printEvent(const zevsite::collector::CollectedEvent& event) {
  std::string line;
  for (const auto& [key, value] : event.fields) {
    if (key == "v" || key == "sdkv") continue;
    line += (line.empty() ? "" : "  ") + key + "=" + value;
  }
  std::printf("%-9s %s\n", event.get("t").c_str(), line.c_str());
  std::fflush(stdout);
}

int serve(int argc, char** argv) {
  std::map<std::string, std::string> flags;
  if (!parseFlags(argc, argv, 1,
                  {{"--port", true},
                   {"--host", true},
                   {"--db", true},
                   {"--jsonl", true},
                   {"--quiet", false}},
                  flags)) {
    return usage();
  }
  const int port = flags.count("--port") ? std::atoi(flags["--port"].c_str()) : 8787;
  const std::string host = flags.count("--host") ? flags["--host"] : "127.0.0.1";
  const std::string database = flags.count("--db") ? flags["--db"] : kDefaultDatabase;
  zevsite::collector::Collector collector;
  try {
    collector.setStore(zevsite::collector::openAnalyticsStore(database));
  } catch (const zevsite::collector::StoreError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  if (flags.count("--jsonl") && !collector.writeJsonLines(flags["--jsonl"])) {
    std::fprintf(stderr, "cannot write %s\n", flags["--jsonl"].c_str());
    return 1;
  }
  // The store keeps the events; memory keeps only their ids.
  if (flags.count("--quiet")) {
    collector.countOnly(0);
  } else {
    collector.setOnEvent([](const std::string& upload) {
      printEvent(zevsite::collector::Collector::decodeEvent(upload));
    });
  }
  std::string url;
  try {
    url = collector.start(host, port);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  const std::string base = url.substr(0, url.rfind('/'));
  std::printf(
      "collecting at %s into %s (Ctrl-C to stop)\ndashboard: %s/\nsummary: "
      "%s/api/summary?app=ID\n",
      url.c_str(), database.c_str(), base.c_str(), base.c_str());
  std::fflush(stdout);
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  while (!stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  collector.stop();
  std::printf("\n%zu events, %zu duplicates dropped, %zu malformed lines skipped\n",
              collector.eventCount(), collector.duplicates(), collector.malformedLines());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") return help();
  }
  if (argc > 1 && std::string(argv[1]) == "report") return report(argc, argv);
  return serve(argc, argv);
}
