#include "ZEVSiteProcess.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace zevsite::process {

std::int64_t currentId() noexcept { return static_cast<std::int64_t>(::getpid()); }

bool isAlive(std::int64_t processId) noexcept {
  if (processId <= 0) return false;
  return ::kill(static_cast<pid_t>(processId), 0) == 0 || errno != ESRCH;
}

}  // namespace zevsite::process
