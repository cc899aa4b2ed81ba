// zevsite-collector: a local collector for host developers. Point the SDK at it with
// ZEVSiteSupport::setCollectURL("http://127.0.0.1:PORT/collect") and watch what the app
// sends, decoded and deduplicated by event id.
//
//   zevsite-collector [--port N] [--host ADDRESS] [--jsonl FILE]
#include "ZEVSiteCollector.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {
volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }
}  // namespace

int main(int argc, char** argv) {
  int port = 8787;
  std::string host = "127.0.0.1";
  std::string jsonLines;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    std::string value = i + 1 < argc ? argv[i + 1] : "";
    if (flag == "--port")
      port = std::atoi(value.c_str()), ++i;
    else if (flag == "--host")
      host = value, ++i;
    else if (flag == "--jsonl")
      jsonLines = value, ++i;
    else {
      std::puts("usage: zevsite-collector [--port N] [--host ADDRESS] [--jsonl FILE]");
      return 2;
    }
  }
  ZEVSiteCollector collector;
  if (!jsonLines.empty() && !collector.writeJsonLines(jsonLines)) {
    std::fprintf(stderr, "cannot write %s\n", jsonLines.c_str());
    return 1;
  }
  collector.setOnEvent([](const ZEVSiteCollectedEvent& event) {
    std::string line;
    for (const auto& [key, value] : event.fields) {
      if (key == "v" || key == "sdkv") continue;
      line += (line.empty() ? "" : "  ") + key + "=" + value;
    }
    std::printf("%-9s %s\n", event.get("t").c_str(), line.c_str());
    std::fflush(stdout);
  });
  std::string url;
  try {
    url = collector.start(host, port);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  std::printf("collecting at %s (Ctrl-C to stop)\n", url.c_str());
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  while (!stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  collector.stop();
  std::printf("\n%zu events, %zu duplicates dropped\n", collector.eventCount(),
              collector.duplicates());
  return 0;
}
