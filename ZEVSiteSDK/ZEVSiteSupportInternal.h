// What the SDK's own components tell ZEVSiteSupport beyond its public operations.
#pragma once

#include <cstdint>

namespace zevsite::support {

// A task queue accepted an event for storing. While no collect URL is set, events are stored
// and kept, and the first event of each such episode (from the process's start, or from the
// URL's removal, until a URL is set) logs one line that says so. Called on the tracking
// thread with no SDK lock held; costs one atomic load once the line is logged or while a URL
// is set.
void eventAccepted();

// A tracking call was refused for invalid input (and logged so): counted for statistics().
// Any thread; one relaxed atomic increment.
void callRefused();
std::uint64_t refusedCalls();

}  // namespace zevsite::support
