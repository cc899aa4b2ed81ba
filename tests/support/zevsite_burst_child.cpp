// A host process for the kill tests: creates a manager in the home directory given as the
// first argument and tracks numbered page views in bursts of 100 (about 50,000 a second, a
// busy host but within what the store keeps), printing the number of every 50th accepted
// event to standard output. After 9,000 events it idles until it is killed.
#include <ZEVSiteSDK/ZEVSiteSDK.h>

#include <cstdio>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  ZEVSiteSupport::setHomeDirectory(argv[1]);
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("777", "burst");
  for (long i = 0; i < 9000; ++i) {
    manager->trackPageView(std::to_string(i));
    if (i % 50 == 0) {
      std::printf("%ld\n", i);
      std::fflush(stdout);
    }
    if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
