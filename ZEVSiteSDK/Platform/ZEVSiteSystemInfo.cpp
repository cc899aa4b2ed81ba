#include "ZEVSiteSystemInfo.h"

#include "ZEVSiteNoDestructor.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

namespace zevsite {
namespace {

// NAME="..." from /etc/os-release without its quotes, or empty.
std::string osReleaseValue(const std::string& name) {
  std::ifstream file("/etc/os-release");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind(name + "=", 0) != 0) continue;
    std::string value = line.substr(name.size() + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}

SystemInfo readSystemInfo() {
  SystemInfo info;
  utsname names{};
  if (::uname(&names) == 0) {
    info.kernelName = names.sysname;
    info.kernelRelease = names.release;
    info.machine = names.machine;
  }
  info.osId = osReleaseValue("ID");
  info.osName = osReleaseValue("NAME");
  info.osVersion = osReleaseValue("VERSION_ID");
  // Without an os-release file (a minimal container, another Unix) the kernel says what it is.
  if (info.osName.empty()) {
    info.osName = info.kernelName;
    info.osVersion = info.kernelRelease;
  }
  return info;
}

}  // namespace

const SystemInfo& systemInfo() {
  // The system does not change under a running process.
  static NoDestructor<SystemInfo> info(readSystemInfo());
  return info.get();
}

std::string localeFromEnvironment() {
  const char* value = nullptr;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    value = std::getenv(name);
    if (value && *value) break;
    value = nullptr;
  }
  if (!value) return {};
  std::string locale(value);
  // "language_TERRITORY.codeset@modifier": the codeset and modifier say nothing of the user.
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty() || locale == "C" || locale == "POSIX") return {};
  for (char& c : locale) {
    if (c == '_') c = '-';
  }
  return locale;
}

int utcOffsetMinutes(std::int64_t unixSeconds) {
  const std::time_t time = static_cast<std::time_t>(unixSeconds);
  std::tm local{};
  if (!::localtime_r(&time, &local)) return 0;
  return static_cast<int>(local.tm_gmtoff / 60);
}

}  // namespace zevsite
