// Refreshes of the cached configuration document: download, parse, write, timestamp.
//
// Downloads never run on the shared background pool, whose threads the start-up work
// needs on time: they run on a worker of their own (a thread on the real platform, started on
// the first refresh and idle between refreshes), and at most one runs at a time. A
// refresh asked for while one is running waits for it and then downloads the newest URL
// asked for (several waiting requests merge into one). The refresh logs nothing.
#pragma once

#include <ZEVSiteSDK/ZEVSiteValue.h>

#include "../Platform/ZEVSiteMutex.h"
#include "../Platform/ZEVSiteWorker.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

namespace zevsite {

// The user-defaults key of the last successful refresh (seconds since the epoch).
inline constexpr const char* kConfigLastUpdateKey = "SDK_CONFIG_LAST_UPDATE_KEY";
class ConfigRefresh {
 public:
  // The one refresher of the process, never destroyed.
  static ConfigRefresh& shared();

  // Downloads `url` (absent: nothing to download) and, when the document is accepted,
  // writes it atomically to the cache file, stores the refresh time and hands the limits
  // on. Returns at once; any thread. When no thread can be started for it, the refresh (and
  // any merged into it) is dropped without a word and the next start tries again.
  // `hostTimeout` is the host's HTTP timeout (0: none chosen), for the download.
  void start(ZEVSiteText url, std::chrono::milliseconds hostTimeout);
  // Waits until no refresh is running or waiting; false at the deadline. For tests and
  // orderly shutdown.
  bool waitIdle(std::chrono::steady_clock::time_point deadline);

 private:
  // Downloads the newest URL asked for; stops when none is waiting.
  zevsite::NextRun step();
  static void refresh(const std::string& url, std::chrono::milliseconds hostTimeout);

  zevsite::Mutex mutex_;    // guards the fields below
  ConditionVariable idle_;  // waitIdle waits here for the worker to go idle
  bool running_ ZEVSITE_GUARDED_BY(mutex_) = false;  // the worker downloads or will
  // The download worker, started on the first refresh and never stopped. In a child after
  // fork() the parent's is released, never joined, and a new one is started.
  std::unique_ptr<zevsite::Worker> worker_ ZEVSITE_GUARDED_BY(mutex_);
  // The fork generation worker_ was started in
  std::uint64_t workerGeneration_ ZEVSITE_GUARDED_BY(mutex_) = 0;
  bool waiting_ ZEVSITE_GUARDED_BY(mutex_) = false;    // another refresh is asked for
  ZEVSiteText waitingURL_ ZEVSITE_GUARDED_BY(mutex_);  // its URL
  std::chrono::milliseconds waitingTimeout_ ZEVSITE_GUARDED_BY(mutex_){0};  // and host timeout
};
}  // namespace zevsite
