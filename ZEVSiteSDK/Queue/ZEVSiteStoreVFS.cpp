#include "ZEVSiteStoreVFS.h"

#include "../Platform/ZEVSitePlatform.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

namespace zevsite::store {
namespace {

// One open file: SQLite's base record, the path (for the platform) and the default VFS's
// own file record right behind it in the same allocation.
struct ShimFile {
  sqlite3_file base;
  sqlite3_file* real;
  char path[512];
};

sqlite3_vfs* realVfs = nullptr;
sqlite3_vfs shimVfs{};
sqlite3_io_methods shimMethods{};

ShimFile* shim(sqlite3_file* file) { return reinterpret_cast<ShimFile*>(file); }
sqlite3_file* real(sqlite3_file* file) { return shim(file)->real; }

// The SQLite result an injected errno stands for.
int resultFor(int error, int ioError) {
  if (error == ENOSPC) return SQLITE_FULL;
  if (error == EACCES || error == EPERM || error == EROFS) return SQLITE_READONLY;
  return ioError;
}

int fault(StoreFileOp op, sqlite3_file* file, std::uint64_t growthBytes = 0) {
  return ZEVSitePlatform::current().storeFileFault(op, shim(file)->path, growthBytes);
}

// How far a write of `amount` bytes at `offset` extends the file past its current end.
std::uint64_t growthOf(sqlite3_file* file, int amount, sqlite3_int64 offset) {
  sqlite3_int64 size = 0;
  if (real(file)->pMethods->xFileSize(real(file), &size) != SQLITE_OK) size = 0;
  const sqlite3_int64 end = offset + amount;
  return end > size ? static_cast<std::uint64_t>(end - size) : 0;
}

int shimClose(sqlite3_file* file) {
  sqlite3_file* inner = real(file);
  return inner->pMethods ? inner->pMethods->xClose(inner) : SQLITE_OK;
}
int shimRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  return real(file)->pMethods->xRead(real(file), buffer, amount, offset);
}
int shimWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  if (int error = fault(StoreFileOp::Write, file, growthOf(file, amount, offset))) {
    return resultFor(error, SQLITE_IOERR_WRITE);
  }
  return real(file)->pMethods->xWrite(real(file), buffer, amount, offset);
}
int shimTruncate(sqlite3_file* file, sqlite3_int64 size) {
  if (int error = fault(StoreFileOp::Truncate, file)) {
    return resultFor(error, SQLITE_IOERR_TRUNCATE);
  }
  return real(file)->pMethods->xTruncate(real(file), size);
}
int shimSync(sqlite3_file* file, int flags) {
  if (int error = fault(StoreFileOp::Sync, file)) {
    return resultFor(error, SQLITE_IOERR_FSYNC);
  }
  return real(file)->pMethods->xSync(real(file), flags);
}
int shimFileSize(sqlite3_file* file, sqlite3_int64* size) {
  return real(file)->pMethods->xFileSize(real(file), size);
}
int shimLock(sqlite3_file* file, int level) {
  return real(file)->pMethods->xLock(real(file), level);
}
int shimUnlock(sqlite3_file* file, int level) {
  return real(file)->pMethods->xUnlock(real(file), level);
}
int shimCheckReservedLock(sqlite3_file* file, int* out) {
  return real(file)->pMethods->xCheckReservedLock(real(file), out);
}
int shimFileControl(sqlite3_file* file, int op, void* argument) {
  return real(file)->pMethods->xFileControl(real(file), op, argument);
}
int shimSectorSize(sqlite3_file* file) { return real(file)->pMethods->xSectorSize(real(file)); }
int shimDeviceCharacteristics(sqlite3_file* file) {
  return real(file)->pMethods->xDeviceCharacteristics(real(file));
}
int shimShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
  return real(file)->pMethods->xShmMap(real(file), region, size, extend, out);
}
int shimShmLock(sqlite3_file* file, int offset, int n, int flags) {
  return real(file)->pMethods->xShmLock(real(file), offset, n, flags);
}
void shimShmBarrier(sqlite3_file* file) { real(file)->pMethods->xShmBarrier(real(file)); }
int shimShmUnmap(sqlite3_file* file, int deleteFlag) {
  return real(file)->pMethods->xShmUnmap(real(file), deleteFlag);
}
int shimFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
  return real(file)->pMethods->xFetch(real(file), offset, amount, out);
}
int shimUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
  return real(file)->pMethods->xUnfetch(real(file), offset, page);
}

int shimOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  ShimFile* opened = shim(file);
  opened->base.pMethods = nullptr;
  opened->real = reinterpret_cast<sqlite3_file*>(opened + 1);
  opened->real->pMethods = nullptr;
  opened->path[0] = '\0';
  if (name) {
    std::strncpy(opened->path, name, sizeof opened->path - 1);
    opened->path[sizeof opened->path - 1] = '\0';
  }
  if (int error = ZEVSitePlatform::current().storeFileFault(StoreFileOp::Open, opened->path, 0)) {
    return error == ENOSPC ? SQLITE_FULL : SQLITE_CANTOPEN;
  }
  int result = realVfs->xOpen(realVfs, name, opened->real, flags, outFlags);
  // A file the default VFS could not open has no methods; neither has ours then.
  if (opened->real->pMethods) opened->base.pMethods = &shimMethods;
  return result;
}

int shimDelete(sqlite3_vfs*, const char* name, int syncDirectory) {
  return realVfs->xDelete(realVfs, name, syncDirectory);
}
int shimAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
  return realVfs->xAccess(realVfs, name, flags, out);
}
int shimFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return realVfs->xFullPathname(realVfs, name, size, out);
}
void* shimDlOpen(sqlite3_vfs*, const char* name) { return realVfs->xDlOpen(realVfs, name); }
void shimDlError(sqlite3_vfs*, int size, char* out) { realVfs->xDlError(realVfs, size, out); }
void (*shimDlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
  return realVfs->xDlSym(realVfs, handle, symbol);
}
void shimDlClose(sqlite3_vfs*, void* handle) { realVfs->xDlClose(realVfs, handle); }
int shimRandomness(sqlite3_vfs*, int size, char* out) {
  return realVfs->xRandomness(realVfs, size, out);
}
int shimSleep(sqlite3_vfs*, int micros) { return realVfs->xSleep(realVfs, micros); }
int shimCurrentTime(sqlite3_vfs*, double* out) { return realVfs->xCurrentTime(realVfs, out); }
int shimGetLastError(sqlite3_vfs*, int size, char* out) {
  return realVfs->xGetLastError ? realVfs->xGetLastError(realVfs, size, out) : 0;
}
int shimCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
  return realVfs->xCurrentTimeInt64(realVfs, out);
}

bool registerOnce() {
  realVfs = sqlite3_vfs_find(nullptr);
  if (!realVfs || realVfs->iVersion < 2) return false;
  shimMethods = sqlite3_io_methods{3,
                                   &shimClose,
                                   &shimRead,
                                   &shimWrite,
                                   &shimTruncate,
                                   &shimSync,
                                   &shimFileSize,
                                   &shimLock,
                                   &shimUnlock,
                                   &shimCheckReservedLock,
                                   &shimFileControl,
                                   &shimSectorSize,
                                   &shimDeviceCharacteristics,
                                   &shimShmMap,
                                   &shimShmLock,
                                   &shimShmBarrier,
                                   &shimShmUnmap,
                                   &shimFetch,
                                   &shimUnfetch};
  shimVfs.iVersion = 2;
  shimVfs.szOsFile = static_cast<int>(sizeof(ShimFile)) + realVfs->szOsFile;
  shimVfs.mxPathname = realVfs->mxPathname;
  shimVfs.zName = kStoreVFSName;
  shimVfs.xOpen = &shimOpen;
  shimVfs.xDelete = &shimDelete;
  shimVfs.xAccess = &shimAccess;
  shimVfs.xFullPathname = &shimFullPathname;
  shimVfs.xDlOpen = &shimDlOpen;
  shimVfs.xDlError = &shimDlError;
  shimVfs.xDlSym = &shimDlSym;
  shimVfs.xDlClose = &shimDlClose;
  shimVfs.xRandomness = &shimRandomness;
  shimVfs.xSleep = &shimSleep;
  shimVfs.xCurrentTime = &shimCurrentTime;
  shimVfs.xGetLastError = &shimGetLastError;
  shimVfs.xCurrentTimeInt64 = &shimCurrentTimeInt64;
  return sqlite3_vfs_register(&shimVfs, 0) == SQLITE_OK;
}

}  // namespace

bool registerStoreVFS() {
  static const bool registered = registerOnce();
  return registered;
}

}  // namespace zevsite::store
