// zevsite-collector: the SDK's analytics backend. Point the SDK at it with
// ZEVSiteSupport::setCollectURL("http://127.0.0.1:PORT/collect"); it stores every event once
// (SQLite by default, or ClickHouse) and answers GET /api/summary, /api/retention, /api/funnel and
// /api/apps.
//
//   zevsite-collector [--port N] [--host ADDRESS] [--db URL] [--jsonl FILE] [--quiet]
//                     [--api-token-file FILE] [--public-host NAME]... [--allow-origin ORIGIN]...
//                     [--only-registered-apps] [--tls-cert FILE --tls-key FILE]
//   zevsite-collector report --db URL --app ID [--from YYYY-MM-DD --to YYYY-MM-DD]
//   zevsite-collector apps add --db URL ID [--name NAME]
//   zevsite-collector apps list --db URL
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
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

constexpr const char* kDefaultDatabase = "sqlite:zevsite-collector.sqlite";

constexpr const char* kUsage =
    "usage: zevsite-collector [--port N] [--host ADDRESS] [--db URL] [--jsonl FILE] [--quiet]\n"
    "                         [--api-token-file FILE] [--public-host NAME]... "
    "[--allow-origin ORIGIN]...\n"
    "                         [--only-registered-apps] [--tls-cert FILE --tls-key FILE]\n"
    "       zevsite-collector report --db URL --app ID [--from YYYY-MM-DD --to YYYY-MM-DD]\n"
    "       zevsite-collector apps add --db URL ID [--name NAME]\n"
    "       zevsite-collector apps list --db URL\n"
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
      "serves the API (/api/summary, /api/retention, /api/funnel, /api/apps) and the dashboard "
      "(/).\n"
      "\n"
      "  --port N         the port to listen on (default 8787; 0 picks a free one)\n"
      "  --host ADDRESS   the address to listen on (default 127.0.0.1, loopback only; any\n"
      "                   other address needs --api-token-file)\n"
      "  --db URL         where events are stored (default sqlite:zevsite-collector.sqlite):\n"
      "                   sqlite:PATH, or clickhouse:http://HOST:PORT/DATABASE\n"
      "  --jsonl FILE     also append each new event to FILE as a JSON line (default: none)\n"
      "  --quiet          do not print each event as it arrives (default: print them)\n"
      "  --api-token-file FILE\n"
      "                   API tokens, one per line: the API and the dashboard then answer only\n"
      "                   to Authorization: Bearer TOKEN or to the session of the dashboard's\n"
      "                   login page (default: none, open, so only loopback addresses may be\n"
      "                   listened on without it)\n"
      "  --public-host NAME\n"
      "                   a host name by which people reach the API and the dashboard\n"
      "                   (repeatable; default: the --host address and loopback names; any\n"
      "                   other Host is answered 421)\n"
      "  --allow-origin ORIGIN\n"
      "                   a web origin (https://app.example.org) whose pages may post to\n"
      "                   /collect (repeatable; default: none, a request with an Origin\n"
      "                   header is answered 403; the SDK sends none)\n"
      "  --tls-cert FILE, --tls-key FILE\n"
      "                   serve HTTPS with this certificate chain and private key (PEM);\n"
      "                   point the SDK at https://HOST:PORT/collect, with\n"
      "                   ZEVSiteSupport::setCABundle for a private authority (default: HTTP)\n"
      "  --only-registered-apps\n"
      "                   store only events of apps registered with `apps add`; a request\n"
      "                   with none is answered 403 (default: every app)\n"
      "\n"
      "report prints the summary of one app as tables (read from an existing store):\n"
      "  --db URL         the store (default sqlite:zevsite-collector.sqlite)\n"
      "  --app ID         the app id (required)\n"
      "  --from, --to     the days, UTC, inclusive (default: the last 30 days to today)\n"
      "\n"
      "apps add registers an app id (with a name the dashboard shows; default: the id) in\n"
      "the store given by --db, creating it when missing; apps list prints the registered\n"
      "apps of an existing store, one per line: id, a tab, name.");
  return 0;
}

// The flags of a command line: each flag's values in order (switches have the value "1").
struct Flags {
  std::map<std::string, std::vector<std::string>> values;
  bool has(const std::string& flag) const { return values.count(flag) > 0; }
  // The flag's last value, or `fallback`.
  std::string get(const std::string& flag, const std::string& fallback = "") const {
    const auto found = values.find(flag);
    return found == values.end() ? fallback : found->second.back();
  }
  std::vector<std::string> all(const std::string& flag) const {
    const auto found = values.find(flag);
    return found == values.end() ? std::vector<std::string>() : found->second;
  }
};

// "--flag value" pairs from argv[first..]; the flags `known` maps to false take no value.
// False on an unknown flag or a missing value.
bool parseFlags(int argc, char** argv, int first, const std::map<std::string, bool>& known,
                Flags& flags) {
  for (int i = first; i < argc; ++i) {
    auto flag = known.find(argv[i]);
    if (flag == known.end()) return false;
    if (!flag->second) {
      flags.values[flag->first].push_back("1");
    } else if (i + 1 < argc) {
      flags.values[flag->first].push_back(argv[++i]);
    } else {
      return false;
    }
  }
  return true;
}

// apps add --db URL ID [--name NAME] | apps list --db URL
int apps(int argc, char** argv) {
  const std::string command = argc > 2 ? argv[2] : "";
  // The flags, and the app id wherever it stands among them.
  Flags flags;
  std::vector<char*> rest{argv[0]};
  std::vector<std::string> ids;
  for (int i = 3; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind("--", 0) != 0) {
      ids.push_back(argument);
      continue;
    }
    rest.push_back(argv[i]);
    if (i + 1 < argc) rest.push_back(argv[++i]);
  }
  const bool adding = command == "add" && ids.size() == 1;
  if ((!adding && (command != "list" || !ids.empty())) ||
      !parseFlags(static_cast<int>(rest.size()), rest.data(), 1, {{"--db", true}, {"--name", true}},
                  flags) ||
      (!adding && flags.has("--name"))) {
    return usage();
  }
  try {
    auto store = zevsite::collector::openAnalyticsStore(
        flags.get("--db", kDefaultDatabase), adding
                                                 ? zevsite::collector::StoreAccess::CreateIfMissing
                                                 : zevsite::collector::StoreAccess::ExistingOnly);
    if (adding) {
      const std::string& id = ids.front();
      store->registerApp(id, flags.get("--name", id));
      std::printf("registered app %s as \"%s\"\n", id.c_str(), flags.get("--name", id).c_str());
      return 0;
    }
    for (const auto& app : store->registeredApps()) {
      std::printf("%s\t%s\n", app.id.c_str(), app.name.c_str());
    }
  } catch (const zevsite::collector::StoreError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}

int report(int argc, char** argv) {
  Flags flags;
  if (!parseFlags(argc, argv, 2,
                  {{"--db", true}, {"--app", true}, {"--from", true}, {"--to", true}}, flags) ||
      !flags.has("--app")) {
    return usage();
  }
  std::string problem;
  auto query =
      zevsite::collector::summaryQuery(flags.get("--app"), flags.get("--from"), flags.get("--to"),
                                       zevsite::collector::today(), problem);
  if (!query) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return 2;
  }
  try {
    auto store = zevsite::collector::openAnalyticsStore(
        flags.get("--db", kDefaultDatabase), zevsite::collector::StoreAccess::ExistingOnly);
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
  Flags flags;
  if (!parseFlags(argc, argv, 1,
                  {{"--port", true},
                   {"--host", true},
                   {"--db", true},
                   {"--jsonl", true},
                   {"--quiet", false},
                   {"--api-token-file", true},
                   {"--public-host", true},
                   {"--allow-origin", true},
                   {"--only-registered-apps", false},
                   {"--tls-cert", true},
                   {"--tls-key", true}},
                  flags)) {
    return usage();
  }
  const int port = std::atoi(flags.get("--port", "8787").c_str());
  const std::string host = flags.get("--host", "127.0.0.1");
  const std::string database = flags.get("--db", kDefaultDatabase);
  zevsite::collector::AccessPolicy access;
  if (flags.has("--api-token-file")) {
    std::string problem;
    auto tokens =
        zevsite::collector::AccessControl::readTokenFile(flags.get("--api-token-file"), problem);
    if (!tokens) {
      std::fprintf(stderr, "zevsite-collector: %s\n", problem.c_str());
      return 1;
    }
    access.apiTokens = std::move(*tokens);
  } else if (!zevsite::collector::AccessControl::isLoopback(host)) {
    std::fprintf(stderr,
                 "zevsite-collector: refusing to listen on %s without --api-token-file: anyone "
                 "who can reach that address could read every app's events. Give a token file "
                 "(one token per line), or listen on 127.0.0.1.\n",
                 host.c_str());
    return 2;
  }
  access.publicHosts = flags.all("--public-host");
  access.allowedOrigins = flags.all("--allow-origin");
  if (flags.has("--tls-cert") != flags.has("--tls-key")) {
    std::fprintf(stderr, "zevsite-collector: --tls-cert and --tls-key go together\n");
    return 2;
  }
  std::unique_ptr<zevsite::collector::Collector> served;
  try {
    served = flags.has("--tls-cert") ? std::make_unique<zevsite::collector::Collector>(
                                           flags.get("--tls-cert"), flags.get("--tls-key"))
                                     : std::make_unique<zevsite::collector::Collector>();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zevsite-collector: %s\n", error.what());
    return 1;
  }
  zevsite::collector::Collector& collector = *served;
  collector.setAccess(std::move(access));
  collector.setOnlyRegisteredApps(flags.has("--only-registered-apps"));
  try {
    collector.setStore(zevsite::collector::openAnalyticsStore(database));
  } catch (const zevsite::collector::StoreError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  if (flags.has("--jsonl") && !collector.writeJsonLines(flags.get("--jsonl"))) {
    std::fprintf(stderr, "cannot write %s\n", flags.get("--jsonl").c_str());
    return 1;
  }
  // The store keeps the events; memory keeps only the ids of the latest ones, a bounded window.
  if (!flags.has("--quiet")) {
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
  if (argc > 1 && std::string(argv[1]) == "apps") return apps(argc, argv);
  return serve(argc, argv);
}
