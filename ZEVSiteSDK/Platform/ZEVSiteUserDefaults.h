// The user defaults: a small persistent store of integers and strings for one home
// directory (activation flag, client id, refresh timestamp).
//
// Every change is written through to <home>/Library/Preferences/zevsite.defaults with an
// atomic whole-file write, so a crash never leaves a torn file. Thread-safe; one instance
// per home directory, shared by everyone who asks the platform for it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

class ZEVSiteUserDefaults {
 public:
  // Loads the store kept in `homeDirectory` (an unreadable file gives an empty store).
  explicit ZEVSiteUserDefaults(std::string homeDirectory);

  // The integer under `key`, 0 when missing or not an integer.
  std::int64_t integerForKey(std::string_view key) const;
  std::optional<std::int64_t> findInteger(std::string_view key) const;
  void setInteger(std::int64_t value, std::string_view key);
  std::optional<std::string> stringForKey(std::string_view key) const;
  void setString(std::string value, std::string_view key);
  // Writes any change that could not be written yet; true when everything is on disk.
  bool synchronize();

 private:
  void load();
  bool writeLocked();

  const std::string path_;
  mutable std::mutex mutex_;  // guards values_, dirty_ and the file itself
  // Integers are kept as "i<decimal>", strings as "s<text>".
  std::map<std::string, std::string, std::less<>> values_;
  bool dirty_ = false;
};
