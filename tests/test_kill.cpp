#include "Queue/ZEVSiteEventStorage.h"
#include "ZEVSiteTestSupport.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <thread>

class ZEVSiteKillTest : public ZEVSiteTest {};

// Every event accepted more than 100 ms before a SIGKILL is in the store afterwards.
TEST_F(ZEVSiteKillTest, EventsAcceptedBeforeAKillSurviveIt) {
  ZEVSiteChild child = spawnChild(ZEVSITE_BURST_CHILD, {home_}, /*readOutput=*/true);
  ASSERT_GT(child.pid, 0);
  const pid_t pid = child.pid;

  // Each reported number was accepted no later than the moment it arrives here.
  using Clock = std::chrono::steady_clock;
  std::mutex mutex;
  std::vector<std::pair<long, Clock::time_point>> reports;
  std::thread reader([&] {
    FILE* in = ::fdopen(child.outputFd, "r");
    long number = 0;
    while (std::fscanf(in, "%ld", &number) == 1) {
      std::lock_guard lock(mutex);
      reports.emplace_back(number, Clock::now());
    }
    std::fclose(in);
  });
  auto started = Clock::now();
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard lock(mutex);
    if ((!reports.empty() && reports.back().first >= 6000) ||
        Clock::now() - started > std::chrono::seconds(20)) {
      break;
    }
  }
  auto killedAt = Clock::now();
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  reader.join();
  ASSERT_TRUE(WIFSIGNALED(status));

  long mustHave = -1;
  for (const auto& [number, arrived] : reports) {
    if (arrived < killedAt - std::chrono::milliseconds(100)) mustHave = std::max(mustHave, number);
  }
  std::printf("must have 0..%ld of %ld reported\n", mustHave, reports.back().first);
  ASSERT_GT(mustHave, 1000) << "the child accepted too few events to make the test meaningful";

  std::set<long> titles;
  for (const auto& upload : storedUploads()) {
    auto decoded = ZEVSiteUpload::decode(upload);
    if (decoded.get("t") == "pageview") titles.insert(std::stol(*decoded.get("dt")));
  }
  for (long i = 0; i <= mustHave; ++i) {
    ASSERT_TRUE(titles.count(i)) << "event " << i << " of " << mustHave << " was lost";
  }
}
