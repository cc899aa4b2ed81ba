// The client-id store: a random positive signed 64-bit id made once per home directory and
// kept in the user defaults, so every launch reports the same client.
//
// Thread-safe. The id is cached in memory after the first read; the first call of each
// home directory reads (and possibly writes) the user defaults on the calling thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

class ZEVSiteSaveParameter {
 public:
  static ZEVSiteSaveParameter& shareInstance();

  // The client id, made and persisted on first use.
  std::int64_t getCid();

 private:
  std::mutex mutex_;  // serialises loading and making the id
  // The cache, read without the lock on every event: cachedCid_ is stored before
  // cachedGeneration_ (the home generation it belongs to; 0 = none) is published.
  std::atomic<std::uint64_t> cachedGeneration_{0};
  std::atomic<std::int64_t> cachedCid_{0};
};
