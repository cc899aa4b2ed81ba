// zevsite-collector: the SDK's analytics backend. Point the SDK at it with
// ZEVSiteSupport::setCollectURL("http://127.0.0.1:PORT/collect"); it stores every event once
// (SQLite by default, or ClickHouse) and answers GET /api/summary and GET /api/apps.
//
//   zevsite-collector [--port N] [--host ADDRESS] [--db URL] [--jsonl FILE] [--quiet]
//   zevsite-collector report --db URL --app ID [--from YYYY-MM-DD --to YYYY-MM-DD]
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

int usage() {
  std::puts(
      "usage: zevsite-collector [--port N] [--host ADDRESS] [--db URL] [--jsonl FILE] [--quiet]\n"
      "       zevsite-collector report --db URL --app ID [--from YYYY-MM-DD --to YYYY-MM-DD]\n"
      "  URL: sqlite:PATH (default sqlite:zevsite-collector.sqlite) or\n"
      "       clickhouse:http://HOST:PORT/DATABASE");
  return 2;
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
    collector.setOnEvent(printEvent);
  }
  std::string url;
  try {
    url = collector.start(host, port);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  const std::string base = url.substr(0, url.rfind('/'));
  std::printf("collecting at %s into %s (Ctrl-C to stop)\nsummary: %s/api/summary?app=ID\n",
              url.c_str(), database.c_str(), base.c_str());
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
  if (argc > 1 && std::string(argv[1]) == "report") return report(argc, argv);
  return serve(argc, argv);
}
