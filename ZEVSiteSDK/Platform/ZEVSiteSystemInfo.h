// What the machine and the process's environment say about themselves: the operating
// system, the CPU, the locale and the UTC offset. The SDK sends them with events and
// requests; reading them costs file reads and system calls, so callers read them once.
#pragma once

#include <cstdint>
#include <string>

namespace zevsite {

struct SystemInfo {
  std::string kernelName;     // uname: "Linux"
  std::string kernelRelease;  // uname: "6.1.0-18-amd64"
  std::string machine;        // uname: "x86_64", "aarch64"
  std::string osId;           // /etc/os-release ID: "debian"; empty when unknown
  std::string osName;         // /etc/os-release NAME: "Debian GNU/Linux"; else the kernel name
  std::string osVersion;      // /etc/os-release VERSION_ID: "12"; else the kernel release
};

// The system's description, read from uname and /etc/os-release on the first call and kept
// for the process. Any thread.
const SystemInfo& systemInfo();

// The process's locale for messages from LC_ALL, LC_MESSAGES or LANG (the first one set), as
// a language tag: "en_US.UTF-8" gives "en-US", "de_DE@euro" gives "de-DE". Empty for the C and
// POSIX locales and when none is set. Reads the environment: not for every event.
std::string localeFromEnvironment();

// The offset of local time from UTC, in minutes east, at `unixSeconds` (the time zone the
// process's TZ or /etc/localtime names). Any thread; a system call, not a file read, once
// the C library has loaded the zone.
int utcOffsetMinutes(std::int64_t unixSeconds);

}  // namespace zevsite
