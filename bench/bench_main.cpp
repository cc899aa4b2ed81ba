#include "bench_support.h"

#include <ZEVSiteSDK/ZEVSiteSupport.h>

#include <cstdlib>
#include <filesystem>

const std::string& benchHome() {
  static const std::string home = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "zevsite-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    ZEVSiteSupport::setHomeDirectory(pattern);
    return pattern;
  }();
  return home;
}

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchHome();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ZEVSiteSupport::flush(std::chrono::seconds(10));
  std::filesystem::remove_all(benchHome());
  return 0;
}
