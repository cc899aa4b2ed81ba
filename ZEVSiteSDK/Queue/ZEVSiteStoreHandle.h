// The event store file of one home directory, opened on demand. It finds the file's path (the
// storage's own home directory, or the platform's current one for the storage that follows
// the host's setting), creates the Library directory, moves a file that SQLite reports as not
// a database aside (once per file) and makes a new one, and tells whether the open file is
// still the one at its path (a home directory removed or replaced under it).
//
// No lock of its own: the storage uses it under its store lock.
#pragma once

#include "../Platform/ZEVSitePlatform.h"
#include "ZEVSiteEventStore.h"

#include <memory>
#include <optional>
#include <string>

namespace zevsite {
class StoreHandle {
 public:
  explicit StoreHandle(std::string homeDirectory) : homeDirectory_(std::move(homeDirectory)) {}

  // The open store, or nullptr.
  EventStore* get() const { return store_.get(); }
  // Opens the store unless it is open; nullptr (and why, in `error`) when it cannot be.
  // `opened` tells whether this call opened it.
  EventStore* open(std::string* error, bool& opened);
  // Closes the store; the next open() opens the file at the path again.
  void close() { store_.reset(); }
  // Where the store file is now; "" without a home directory.
  std::string databasePath() const;
  // The path of the open store.
  const std::string& path() const { return path_; }
  // Whether the open store is still the file at its path.
  bool stillAtPath() const;
  // Moves the file at `path` (and its log) aside, once per file, and logs it.
  void moveAside(const std::string& path);
  // In a child after fork(): the connections are the parent's; they are left to it.
  void abandonAfterFork();

 private:
  const std::string homeDirectory_;  // "" for the storage that follows the host's setting
  std::unique_ptr<EventStore> store_;
  std::optional<FileIdentity> identity_;    // the file store_ has open
  std::string path_;                        // where store_ was opened
  std::optional<FileIdentity> movedAside_;  // the last file moved aside
};
}  // namespace zevsite
