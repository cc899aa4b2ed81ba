// A host process for the kill tests: creates a manager in the home directory given as the
// first argument and tracks numbered page views in bursts of 100 (about 50,000 a second, a
// busy host but within what the store keeps), printing the number of every 50th accepted
// event to standard output. After 9,000 events it idles until it is killed.
#include <ZEVSiteSDK/ZEVSiteSDK.h>

#include "Queue/ZEVSiteEventStorage.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

// With a collect URL and a count as further arguments it tracks that many page views, p0 to
// p<count-1>, prints "stored" once they are on disk (at once while tracking is off: nothing
// was staged) and idles while they are sent.
int deliverAndIdle(const char* home, const char* collectURL, int count) {
  ZEVSiteSupport::setCollectURL(collectURL);
  ZEVSiteNetworkStatusSimple::setProvider([] { return ZEVSiteNetworkStatus_WiFi; });
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("777", "deliver");
  for (int i = 0; i < count; ++i) manager->trackPageView("p" + std::to_string(i));
  zevsite::EventStorage::forHome(home)->flush(std::chrono::steady_clock::now() +
                                              std::chrono::minutes(1));
  std::printf("stored\n");
  std::fflush(stdout);
  std::fclose(stdout);
  for (;;) ::pause();
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  // The child idles until it is killed; should the test process die first (a sanitizer
  // stopping it, say), the child goes with it instead of holding the test's output open.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() == 1) return 3;
  // ZEVSITE_LOG=1 shows the SDK's log lines on standard error (for trying faults by hand).
  if (std::getenv("ZEVSITE_LOG")) ZEVSiteManager::setEnableLog(true);
  ZEVSiteSupport::setHomeDirectory(argv[1]);
  if (argc >= 4) return deliverAndIdle(argv[1], argv[2], std::atoi(argv[3]));
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("777", "burst");
  for (long i = 0; i < 9000; ++i) {
    manager->trackPageView(std::to_string(i));
    if (i % 50 == 0) {
      std::printf("%ld\n", i);
      std::fflush(stdout);
    }
    if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (;;) ::pause();
}
