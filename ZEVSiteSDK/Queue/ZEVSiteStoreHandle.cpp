#include "ZEVSiteStoreHandle.h"

#include "../Platform/ZEVSiteFiles.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>

#include <cstring>

namespace {

constexpr const char* kStoreFile = "Library/zevsite-events.sqlite";

std::string directoryOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

}  // namespace

std::string zevsite::StoreHandle::databasePath() const {
  std::string home =
      homeDirectory_.empty() ? ZEVSitePlatform::current().homeDirectory() : homeDirectory_;
  return home.empty() ? std::string() : zevsite::files::joinPath(home, kStoreFile);
}

bool zevsite::StoreHandle::stillAtPath() const {
  auto identity = ZEVSitePlatform::current().fileIdentity(path_);
  return identity && identity_ && *identity == *identity_;
}

void zevsite::StoreHandle::moveAside(const std::string& path) {
  auto& platform = ZEVSitePlatform::current();
  auto identity = platform.fileIdentity(path);
  // Each damaged file is dealt with once: a file that could not be moved is not tried again.
  if (!identity || (movedAside_ && *movedAside_ == *identity)) return;
  movedAside_ = identity;
  std::string aside = path + ".corrupt-" + std::to_string(platform.currentTimeMillis());
  if (int error = platform.renameFile(path, aside)) {
    ZEVSiteLoger::adLog("[Site] event store %@ is unreadable and could not be moved aside: %@",
                        path, std::string(std::strerror(error)));
    return;
  }
  // Its log belongs to it: left behind, SQLite would replay it into the new store.
  for (const char* suffix : {"-wal", "-shm"}) platform.renameFile(path + suffix, aside + suffix);
  ZEVSiteLoger::adLog("[Site] event store %@ was unreadable; moved to %@ and recreated", path,
                      aside);
}

zevsite::EventStore* zevsite::StoreHandle::open(std::string* error, bool& opened) {
  opened = false;
  if (store_) return store_.get();
  const std::string path = databasePath();
  if (path.empty()) {
    if (error) *error = "no home directory";
    return nullptr;
  }
  if (!zevsite::files::makePrivateDirectories(directoryOf(path))) {
    if (error) *error = "cannot create " + directoryOf(path);
    return nullptr;
  }
  auto result = zevsite::EventStore::open(path);
  if (result.failure == zevsite::EventStore::OpenFailure::Corrupt) {
    moveAside(path);
    result = zevsite::EventStore::open(path);
  }
  if (!result.store) {
    if (error) *error = result.error;
    return nullptr;
  }
  store_ = std::move(result.store);
  path_ = path;
  identity_ = ZEVSitePlatform::current().fileIdentity(path);
  opened = true;
  return store_.get();
}

void zevsite::StoreHandle::abandonAfterFork() {
  if (store_) {
    store_->abandonConnections();
    store_.reset();
  }
  identity_.reset();
}
