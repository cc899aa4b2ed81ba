// The user's choice about tracking (the opt-out) and the deletion of this installation's
// data, behind ZEVSiteSupport's operations of the same names.
//
// The opt-out is kept in the user defaults of the home directory and cached in memory for
// the current home directory, so the check that every tracking call makes is two atomic
// loads. A change made by another process on the same home directory is seen on the next
// launch. Any thread.
#pragma once

#include <chrono>

namespace zevsite::choice {

// Whether tracking is allowed: true unless the user opted out in this home directory.
bool trackingEnabled();
// Persists the choice and logs one line when it changes. Switching off also asks every
// event storage to delete what it holds and returns without waiting for that.
void setTrackingEnabled(bool enabled);
// Deletes the events of every storage, the client id, the activation flag and the cached
// configuration with its timestamp; keeps the opt-out. Blocks the caller up to `timeout`.
bool deleteAllData(std::chrono::milliseconds timeout);

}  // namespace zevsite::choice
