// The user defaults: a small persistent store of integers and strings for one home
// directory (activation flag, client id, refresh timestamp).
//
// Every change is written through to <home>/Library/Preferences/zevsite.defaults with an
// atomic whole-file write, so a crash never leaves a torn file. A damaged file (unreadable
// lines, or larger than kMaxFileBytes) is logged once and kept aside as
// zevsite.defaults.corrupt-<ms> for inspection; its readable entries are kept. The defaults
// of "" (no home directory) live in memory only. Thread-safe; one instance per home
// directory, shared by everyone who asks the platform for it.
#pragma once

#include "ZEVSiteMutex.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace zevsite {
class UserDefaults {
 public:
  // A defaults file is a few hundred bytes; a larger one than this is not ours.
  static constexpr std::uint64_t kMaxFileBytes = 1024 * 1024;

  // Loads the store kept in `homeDirectory` (a missing file gives an empty store).
  explicit UserDefaults(std::string homeDirectory);

  // The integer under `key`, 0 when missing or not an integer.
  std::int64_t integerForKey(std::string_view key) const;
  std::optional<std::int64_t> findInteger(std::string_view key) const;
  void setInteger(std::int64_t value, std::string_view key);
  // Changes the value in memory only; synchronize() writes it.
  void stageInteger(std::int64_t value, std::string_view key);
  std::optional<std::string> stringForKey(std::string_view key) const;
  void setString(std::string value, std::string_view key);
  // Changes the value in memory only; synchronize() writes it.
  void stageString(std::string value, std::string_view key);
  // Removes the value under `key`, if any.
  void removeObjectForKey(std::string_view key);
  // Removes it in memory only; synchronize() writes it.
  void stageRemoval(std::string_view key);
  // Writes any change that could not be written yet; true when everything is on disk.
  bool synchronize();
  // Takes part in the fork() lock order (for instances that live until the process exits).
  void registerForFork();

 private:
  // Run by the constructor.
  void load() ZEVSITE_REQUIRES(mutex_);
  void keepDamagedFileAside(std::string_view why, std::size_t keptEntries) ZEVSITE_REQUIRES(mutex_);
  bool writeLocked() ZEVSITE_REQUIRES(mutex_);

  const std::string path_;  // "" keeps the values in memory only
  // Guards values_, dirty_ and the file itself. Rank kDefaults in the fork lock order.
  mutable zevsite::Mutex mutex_;
  // Integers are kept as "i<decimal>", strings as "s<text>".
  std::map<std::string, std::string, std::less<>> values_ ZEVSITE_GUARDED_BY(mutex_);
  bool dirty_ ZEVSITE_GUARDED_BY(mutex_) = false;
};
}  // namespace zevsite
