// Built by scripts/package.sh with the installed package's pkg-config flags alone (plus the
// host's choice of -std=c++20): it must compile against the public headers, link the
// library with everything it needs, and run.
#include <ZEVSiteSDK/ZEVSiteSDK.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
  // Reaches into SQLite (the event store), libcurl and pugixml through the library.
  ZEVSiteSupport::setHomeDirectory(std::getenv("ZEVSITE_HOME"));
  // Nothing listens there: the upload fails and the event stays stored, but flush sees a send
  // attempted (true); without a collect URL it would answer false.
  ZEVSiteSupport::setCollectURL("http://127.0.0.1:9/collect");
  auto manager = ZEVSiteManager::sharedInstanceWithAppId("123", "pkg-config");
  manager->trackPageView("Home");
  bool stored = ZEVSiteSupport::flush(std::chrono::seconds(5));
  bool sameVersion = ZEVSiteSupport::sdkVersion() == ZEVSITE_VERSION_STRING;
  std::printf("sdk %s, event %s\n", std::string(ZEVSiteSupport::sdkVersion()).c_str(),
              stored ? "stored" : "NOT stored");
  return stored && sameVersion ? 0 : 1;
}
