// The user's choice about tracking (the opt-out) and the deletion of this installation's
// data, behind ZEVSiteSupport's operations of the same names.
//
// The opt-out is kept in the user defaults of the home directory and cached in memory for
// the current home directory, so the check that every tracking call makes is two atomic
// loads. Managers have it loaded on a short-lived background thread when they are created
// (prefetch), so tracking calls on host threads never read the user defaults themselves.
// A change made by another process on the same home directory is seen on the next launch.
// Any thread.
#pragma once

#include <chrono>

namespace zevsite::choice {

// How long a check waits for a load under way before it reads the user defaults itself.
inline constexpr std::chrono::seconds kLoadWait{1};

// Whether tracking is allowed: true unless the user opted out in this home directory. From
// memory; else it waits for the background load (started here if none is under way), and
// only when that has not finished within kLoadWait reads the user defaults itself.
bool trackingEnabled();
// Starts loading the current home directory's choice on a background thread, unless it is
// in memory or being loaded. Returns at once.
void prefetch();
// Persists the choice and logs one line when it changes. Switching off also asks every
// event storage to delete what it holds and returns without waiting for that.
void setTrackingEnabled(bool enabled);
// Deletes the events of every storage, the client id, the activation flag and the cached
// configuration with its timestamp; keeps the opt-out. Blocks the caller up to `timeout`.
bool deleteAllData(std::chrono::milliseconds timeout);

}  // namespace zevsite::choice
