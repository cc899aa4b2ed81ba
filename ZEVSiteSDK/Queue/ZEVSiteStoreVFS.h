// The event store's SQLite file system: the operating system's own (SQLite's default VFS),
// with every open, write, sync and truncate first offered to the platform
// (ZEVSitePlatform::storeFileFault). The real platform lets each one run; a test platform can
// fail them as a full disk, a missing permission or a failing device would, so the store's
// handling of those faults is tested against real SQLite files.
//
// Registered once per process under kStoreVFSName; any thread.
#pragma once

namespace zevsite::store {

inline constexpr const char* kStoreVFSName = "zevsite";

// Registers the file system with SQLite (once); true when it is available.
bool registerStoreVFS();

}  // namespace zevsite::store
