// This process's id and whether another process still runs (for leases on shared events).
#pragma once

#include <cstdint>

namespace zevsite::process {
std::int64_t currentId() noexcept;
// False only when the process certainly no longer exists.
bool isAlive(std::int64_t processId) noexcept;
}  // namespace zevsite::process
