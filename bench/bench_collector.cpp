// The collector as a backend: events per second from SDK senders (zevsite_bench_sender
// processes) into each store, and the summary, retention and funnel queries over 1,000,000
// stored events. ClickHouse
// runs when ZEVSITE_BENCH_CLICKHOUSE_URL (http://HOST:PORT) names a server; its databases are
// dropped afterwards.
#include "bench_support.h"

#include "ZEVSiteCollector.h"
#include "ZEVSiteJourneys.h"
#include "ZEVSiteSummaryFormat.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

namespace {

// The store URL for `kind` ("sqlite", "clickhouse"; "nostore": no store, the collector only
// counts) and a fresh database, or empty when the benchmark cannot run here.
std::string storeURL(const std::string& kind, const std::string& name) {
  if (kind == "nostore") return kind;
  if (kind == "sqlite") return "sqlite:" + benchHome() + "/" + name + ".sqlite";
  const char* server = std::getenv("ZEVSITE_BENCH_CLICKHOUSE_URL");
  if (!server || !*server) return {};
  return "clickhouse:" + std::string(server) + "/zevsite_bench_" + name;
}

void dropClickHouseDatabase(const std::string& url) {
  const std::string prefix = "clickhouse:http://";
  if (url.rfind(prefix, 0) != 0) return;
  const std::size_t slash = url.rfind('/');
  const std::string hostPort = url.substr(prefix.size(), slash - prefix.size());
  const std::size_t colon = hostPort.rfind(':');
  httplib::Client client(hostPort.substr(0, colon), std::stoi(hostPort.substr(colon + 1)));
  auto answer = client.Post("/", "DROP DATABASE IF EXISTS " + url.substr(slash + 1), "text/plain");
  if (!answer || answer->status != 200) std::fprintf(stderr, "could not drop %s\n", url.c_str());
}

double processCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One zevsite_bench_sender process: its own home directory, its own SDK sender.
class Sender {
 public:
  Sender(const std::string& home, long events) {
    int toChild[2], fromChild[2];
    if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    const std::string count = std::to_string(events);
    char* const argv[] = {const_cast<char*>(ZEVSITE_BENCH_SENDER), const_cast<char*>(home.c_str()),
                          const_cast<char*>(count.c_str()), nullptr};
    if (posix_spawn(&pid_, ZEVSITE_BENCH_SENDER, &actions, nullptr, argv, environ) != 0) {
      std::abort();
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    input_ = ::fdopen(toChild[1], "w");
    output_ = ::fdopen(fromChild[0], "r");
  }
  ~Sender() {
    if (input_) std::fclose(input_);
    std::fclose(output_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  // Waits until its events are stored; how many there are (0: it failed).
  std::size_t ready() {
    std::size_t stored = 0;
    return std::fscanf(output_, "ready %zu", &stored) == 1 ? stored : 0;
  }
  // Tells it that every event arrived; the CPU seconds it took to send them (all its threads).
  double done() {
    std::fprintf(input_, "stop\n");
    std::fclose(input_);
    input_ = nullptr;
    double cpu = 0;
    return std::fscanf(output_, " done %lf", &cpu) == 1 ? cpu : 0;
  }
  void send(const std::string& collectURL) {
    std::fprintf(input_, "%s\n", collectURL.c_str());
    std::fflush(input_);
  }

 private:
  pid_t pid_ = -1;
  FILE* input_ = nullptr;
  FILE* output_ = nullptr;
};

// `count` connections to the collector on `port` that send a request head one byte at a time
// (a byte to each every second, as a slow-loris client does) or nothing at all (every other
// one), and reconnect when the collector closes them, so `count` stay open throughout.
class SlowClients {
 public:
  SlowClients(int port, std::size_t count) : port_(port), sockets_(count, -1) {
    for (std::size_t i = 0; i < count; ++i) sockets_[i] = connectTo();
    dripper_ = std::thread([this] { drip(); });
  }
  ~SlowClients() {
    stop_ = true;
    dripper_.join();
    for (int fd : sockets_) ::close(fd);
  }
  std::size_t reconnects() const { return reconnects_; }

 private:
  int connectTo() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
  }
  void drip() {
    static constexpr char kHead[] = "POST /collect HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    std::size_t round = 0;
    while (!stop_) {
      // A tenth of the connections every 100 ms: each gets a byte a second.
      for (std::size_t i = round % 10; i < sockets_.size(); i += 10) {
        if (i % 2 == 0) continue;  // the idle half
        const char byte = kHead[std::min(round / 10, sizeof kHead - 2)];
        if (::send(sockets_[i], &byte, 1, MSG_NOSIGNAL) != 1 && errno != EAGAIN) {
          ::close(sockets_[i]);
          sockets_[i] = connectTo();
          ++reconnects_;
        }
      }
      for (std::size_t i = round % 10; i < sockets_.size(); i += 20) {
        char sink[64];
        if (::recv(sockets_[i], sink, sizeof sink, MSG_DONTWAIT) == 0) {  // closed as idle
          ::close(sockets_[i]);
          sockets_[i] = connectTo();
          ++reconnects_;
        }
      }
      ++round;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  int port_;
  std::vector<int> sockets_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> reconnects_{0};
  std::thread dripper_;
};

// Events per second from `senders` SDK senders (each in a process and home of its own, each
// sending one batch of 100 at a time and waiting for the answer) into one collector, timed
// from the moment they get the collect URL until the collector stored every event. The
// events are in the senders' stores before: this measures delivery, not tracking.
void BM_ingestFromSdk(benchmark::State& state, const std::string& kind) {
  const int senderCount = static_cast<int>(state.range(0));
  const long perSender = static_cast<long>(state.range(1));
  const auto slowCount = static_cast<std::size_t>(state.range(2));
  const std::string url = storeURL(kind, "ingest_" + std::to_string(senderCount));
  if (url.empty()) {
    state.SkipWithError("ZEVSITE_BENCH_CLICKHOUSE_URL is not set");
    return;
  }
  zevsite::collector::Collector collector;
  if (kind != "nostore") collector.setStore(zevsite::collector::openAnalyticsStore(url));
  collector.setLog([](const std::string&) {});
  collector.countOnly(static_cast<std::size_t>(senderCount * perSender * 2));
  const std::string collectURL = collector.start();
  const int port = std::stoi(collectURL.substr(collectURL.rfind(':') + 1));
  std::unique_ptr<SlowClients> slow;
  if (slowCount > 0) slow = std::make_unique<SlowClients>(port, slowCount);
  std::int64_t delivered = 0;
  double collectorCpu = 0, senderCpu = 0;
  int run = 0;
  for (auto _ : state) {
    std::vector<std::unique_ptr<Sender>> senders;
    const std::size_t before = collector.eventCount();
    std::size_t expected = before;
    for (int i = 0; i < senderCount; ++i) {
      const std::string home =
          benchHome() + "/sender-" + kind + "-" + std::to_string(run) + "-" + std::to_string(i);
      std::filesystem::create_directories(home);
      senders.push_back(std::make_unique<Sender>(home, perSender));
    }
    for (auto& sender : senders) expected += sender->ready();
    const double collectorCpuBefore = processCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (auto& sender : senders) sender->send(collectURL);
    const bool complete = collector.waitForEventCount(expected, std::chrono::minutes(3));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    collectorCpu += processCpuSeconds() - collectorCpuBefore;
    if (!complete) {
      state.SkipWithError("not every event was stored");
      break;
    }
    for (auto& sender : senders) senderCpu += sender->done();
    state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
    delivered += static_cast<std::int64_t>(expected - before);
    senders.clear();
    ++run;
  }
  state.SetItemsProcessed(delivered);
  // CPU per event delivered: the collector's process (with the store's client side) and the
  // senders' processes.
  if (delivered > 0) {
    state.counters["collector_us"] = collectorCpu * 1e6 / static_cast<double>(delivered);
    state.counters["sender_us"] = senderCpu * 1e6 / static_cast<double>(delivered);
  }
  state.counters["requests"] = static_cast<double>(collector.uploadRequests());
  if (slow) state.counters["slow_reconnects"] = static_cast<double>(slow->reconnects());
  slow.reset();
  collector.stop();
  dropClickHouseDatabase(url);
}
// {senders, events per sender, slow connections}: one SDK sender, as one host delivers, then
// several hosts at once, as a backend sees them; then one sender while 1,000 slow clients
// hold connections open. "nostore" is the senders' own ceiling.
BENCHMARK_CAPTURE(BM_ingestFromSdk, nostore, std::string("nostore"))
    ->Args({1, 100'000, 0})
    ->Args({4, 50'000, 0})
    ->Args({1, 100'000, 1000})
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ingestFromSdk, sqlite, std::string("sqlite"))
    ->Args({1, 100'000, 0})
    ->Args({4, 50'000, 0})
    ->Args({8, 25'000, 0})
    ->Args({1, 100'000, 1000})
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ingestFromSdk, clickhouse, std::string("clickhouse"))
    ->Args({1, 100'000, 0})
    ->Args({4, 50'000, 0})
    ->Args({8, 25'000, 0})
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// How long one upload takes (a new connection, one event, answered once stored) while 1,000
// slow clients hold connections open: the time to the answer, p50 and max over 100 uploads.
void BM_uploadWithSlowClientsOpen(benchmark::State& state) {
  zevsite::collector::Collector collector;
  collector.setStore(zevsite::collector::openAnalyticsStore(storeURL("sqlite", "slow")));
  collector.setLog([](const std::string&) {});
  const std::string collectURL = collector.start();
  const int port = std::stoi(collectURL.substr(collectURL.rfind(':') + 1));
  SlowClients slow(port, static_cast<std::size_t>(state.range(0)));
  std::vector<double> millis;
  int id = 0;
  for (auto _ : state) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30);
    const auto start = std::chrono::steady_clock::now();
    auto answer = client.Post(
        "/collect",
        "tid=1&t=pageview&dt=Home&cid=c&eid=slow-" + std::to_string(id++) + "&ts=1767268800000",
        "text/plain");
    millis.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    if (!answer || answer->status != 200) {
      state.SkipWithError("an upload was not answered 200");
      break;
    }
  }
  std::sort(millis.begin(), millis.end());
  if (!millis.empty()) {
    state.counters["p50_ms"] = millis[millis.size() / 2];
    state.counters["max_ms"] = millis.back();
  }
  state.counters["slow_reconnects"] = static_cast<double>(slow.reconnects());
  collector.stop();
}
BENCHMARK(BM_uploadWithSlowClientsOpen)->Arg(1000)->Iterations(100)->Unit(benchmark::kMillisecond);

// 1,000,000 events of app "1" over 30 days, in the order they happened: page views, classic
// events, custom actions, starts with campaigns, pulses and a custom event ("purchase") from
// 20,000 clients, stored in batches of 10,000. Each client has one session a day, one of 4 systems,
// 5 app versions and 6 locales; a third of them are signed in.
void fill(zevsite::collector::AnalyticsStore& store, std::int64_t firstDay) {
  std::mt19937_64 random(7);
  const char* const kinds[] = {"pageview", "pageview", "pageview", "event",
                               "event",    "init",     "pulse",    "purchase"};
  const char* const systems[] = {"Debian GNU/Linux", "Ubuntu", "Fedora Linux", "Windows"};
  std::vector<zevsite::collector::EventRecord> batch;
  for (int i = 0; i < 1'000'000; ++i) {
    zevsite::collector::EventRecord& r = batch.emplace_back();
    r.app = "1";
    r.event = kinds[random() % 8];
    r.eventId = "bench-" + std::to_string(i);
    const auto client = static_cast<int>(random() % 20'000);
    r.clientId = "client-" + std::to_string(client);
    // In the order they happened, as a collector receives them: one every 2.592 s on average.
    r.eventTime =
        firstDay * 86'400'000 + i * std::int64_t{2592} + static_cast<std::int64_t>(random() % 1000);
    const std::int64_t day = r.eventTime / 86'400'000 - firstDay;
    r.deviceTime = r.receivedTime = r.eventTime;
    r.day = zevsite::collector::dayOf(r.eventTime);
    if (r.event == "pageview") r.title = "Page/" + std::to_string(random() % 200);
    if (r.event == "event") {
      r.category = "cat" + std::to_string(random() % 10);
      r.action = "act" + std::to_string(random() % 10);
      if (random() % 4 == 0) r.customActionId = "share";
    }
    if (r.event == "init") {
      r.firstLaunch = random() % 5 == 0;
      if (random() % 2) r.campaign = "camp" + std::to_string(random() % 30), r.source = "banner";
    }
    r.actionLabels = r.actionValues = "{}";
    r.dimensions = R"({"cd1":"blue","cm1":"3"})";
    r.properties = "{}";
    if (client % 3 == 0) r.userId = "user-" + std::to_string(client);
    r.os = systems[client % 4];
    r.osVersion = std::to_string(10 + client % 3);
    r.appVersion = "2." + std::to_string(client % 5);
    r.locale = client % 6 == 0 ? "de-DE" : "en-US";
    char session[17];
    std::snprintf(session, sizeof session, "%016llx",
                  static_cast<unsigned long long>(client) * 100 + static_cast<unsigned>(day));
    r.sessionId = session;
    r.sessionNumber = day + 1;
    if (batch.size() == 10'000) {
      store.insert(batch);
      batch.clear();
    }
  }
}

// The first of fill()'s 30 days: the last ends today.
std::int64_t firstFilledDay() { return zevsite::collector::today() - 29; }

// The store of `kind` holding fill()'s events, filled once per process for every benchmark
// that reads it, or null when the benchmark cannot run here. Closed (its ClickHouse
// database dropped) when the process ends.
zevsite::collector::AnalyticsStore* filledStore(const std::string& kind) {
  struct Filled {
    std::map<std::string,
             std::pair<std::string, std::unique_ptr<zevsite::collector::AnalyticsStore>>>
        stores;  // kind -> URL and store
    ~Filled() {
      for (auto& [kind, store] : stores) {
        store.second.reset();
        dropClickHouseDatabase(store.first);
      }
    }
  };
  static Filled filled;
  auto& [url, store] = filled.stores[kind];
  if (!store) {
    url = storeURL(kind, "queries");
    if (url.empty()) return nullptr;
    store = zevsite::collector::openAnalyticsStore(url);
    fill(*store, firstFilledDay());
  }
  return store.get();
}

// The range of fill()'s 30 days.
zevsite::collector::SummaryQuery filledRange() {
  return {"1", zevsite::collector::formatDay(firstFilledDay()),
          zevsite::collector::formatDay(firstFilledDay() + 29)};
}

void BM_summaryOverOneMillionEvents(benchmark::State& state, const std::string& kind) {
  auto* store = filledStore(kind);
  if (!store) {
    state.SkipWithError("ZEVSITE_BENCH_CLICKHOUSE_URL is not set");
    return;
  }
  std::int64_t events = 0, sessions = 0;
  for (auto _ : state) {
    const auto summary = store->summary(filledRange());
    events = summary.totals.events;
    sessions = summary.totals.sessions;
  }
  state.counters["events"] = static_cast<double>(events);
  state.counters["sessions"] = static_cast<double>(sessions);
}
BENCHMARK_CAPTURE(BM_summaryOverOneMillionEvents, sqlite, std::string("sqlite"))
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_summaryOverOneMillionEvents, clickhouse, std::string("clickhouse"))
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Retention over fill()'s 30 days: by week (argument 0) and by day (1).
void BM_retentionOverOneMillionEvents(benchmark::State& state, const std::string& kind) {
  auto* store = filledStore(kind);
  if (!store) {
    state.SkipWithError("ZEVSITE_BENCH_CLICKHOUSE_URL is not set");
    return;
  }
  const zevsite::collector::RetentionQuery query{
      filledRange(), state.range(0) == 0 ? zevsite::collector::RetentionPeriod::Week
                                         : zevsite::collector::RetentionPeriod::Day};
  std::size_t cohorts = 0;
  for (auto _ : state) cohorts = store->retention(query).cohorts.size();
  state.counters["cohorts"] = static_cast<double>(cohorts);
}
BENCHMARK_CAPTURE(BM_retentionOverOneMillionEvents, sqlite, std::string("sqlite"))
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_retentionOverOneMillionEvents, clickhouse, std::string("clickhouse"))
    ->Arg(0)
    ->Arg(1)
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// A funnel over fill()'s 30 days: 4 steps (a page, a classic event, the custom event, a
// custom action), and the most steps a query may name, 10, each the custom event (125,000
// events a step).
void BM_funnelOverOneMillionEvents(benchmark::State& state, const std::string& kind) {
  auto* store = filledStore(kind);
  if (!store) {
    state.SkipWithError("ZEVSITE_BENCH_CLICKHOUSE_URL is not set");
    return;
  }
  std::vector<std::string> steps = {"pageview:Page/1", "event:cat1/act1", "custom:purchase",
                                    "action:share"};
  if (state.range(0) == 10) steps.assign(10, "custom:purchase");
  std::string problem;
  const auto query = zevsite::collector::funnelQuery(filledRange(), steps, problem);
  if (!query) {
    state.SkipWithError(problem.c_str());
    return;
  }
  std::int64_t last = 0;
  for (auto _ : state) last = store->funnel(*query).clients.back();
  state.counters["last_step_clients"] = static_cast<double>(last);
}
BENCHMARK_CAPTURE(BM_funnelOverOneMillionEvents, sqlite, std::string("sqlite"))
    ->Arg(4)
    ->Arg(10)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_funnelOverOneMillionEvents, clickhouse, std::string("clickhouse"))
    ->Arg(4)
    ->Arg(10)
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Resident memory of the collector's process, in bytes (from /proc/self/statm).
double residentBytes() {
  long pages = 0, resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE));
}

// Resident memory of a collector with a SQLite store, printing nothing (as --quiet), over
// 1,000,000 events posted over HTTP in requests of 1,000: what it keeps per event. growth is
// the memory after the last request minus after the first (the page caches and the window of
// recent ids filling up: bounded), growth_2nd_half that over the second 500,000 events.
void BM_memoryOverOneMillionEvents(benchmark::State& state) {
  const std::string url = storeURL("sqlite", "memory");
  std::filesystem::remove(url.substr(7));
  zevsite::collector::Collector collector;
  collector.setStore(zevsite::collector::openAnalyticsStore(url));
  collector.setLog([](const std::string&) {});
  const std::string collectURL = collector.start();
  httplib::Client client("127.0.0.1", std::stoi(collectURL.substr(collectURL.rfind(':') + 1)));
  constexpr int kRequests = 1000, kPerRequest = 1000;
  double afterFirst = 0, atHalf = 0, peak = 0;
  for (auto _ : state) {
    for (int request = 0; request < kRequests; ++request) {
      std::string body;
      for (int i = 0; i < kPerRequest; ++i) {
        const std::string id = std::to_string(request * kPerRequest + i);
        body += "tid=dc-1&t=pageview&dt=Page%2F" + std::to_string(i % 200) + "&v=1&cid=client-" +
                std::to_string(i % 500) + "&eid=memory-" + id + "&ts=1767268800000&sdkv=0.1.0\n";
      }
      auto answer = client.Post("/collect", body, "text/plain");
      if (!answer || answer->status != 200) {
        state.SkipWithError("a request was not stored");
        break;
      }
      peak = std::max(peak, residentBytes());
      if (request == 0) afterFirst = residentBytes();
      if (request == kRequests / 2 - 1) atHalf = residentBytes();
    }
  }
  state.counters["events"] = static_cast<double>(collector.eventCount());
  state.counters["rss_after_first_MiB"] = afterFirst / (1 << 20);
  state.counters["rss_peak_MiB"] = peak / (1 << 20);
  state.counters["growth_MiB"] = (residentBytes() - afterFirst) / (1 << 20);
  // The second 500,000 events: what is kept per event shows here, fixed-size caches do not.
  state.counters["growth_2nd_half_MiB"] = (residentBytes() - atHalf) / (1 << 20);
  collector.stop();
  std::filesystem::remove(url.substr(7));
}
BENCHMARK(BM_memoryOverOneMillionEvents)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
