#include "ZEVSiteEventStorage.h"

#include "../Platform/ZEVSiteFiles.h"
#include "../Platform/ZEVSiteNoDestructor.h"
#include "../Platform/ZEVSitePlatform.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>

#include <cstdlib>
#include <limits>
#include <map>

namespace {

struct Registry {
  std::mutex mutex;  // guards storages
  std::map<std::string, std::shared_ptr<ZEVSiteEventStorage>> storages;
};

Registry& registry() {
  static ZEVSiteNoDestructor<Registry> instance;
  return instance.get();
}

// At normal exit, write what is still staged so that a clean shutdown loses nothing.
void flushAllAtExit() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (const auto& storage : ZEVSiteEventStorage::all()) storage->flush(deadline);
}

}  // namespace

std::shared_ptr<ZEVSiteEventStorage> ZEVSiteEventStorage::forHome(
    const std::string& homeDirectory) {
  auto& state = registry();
  std::lock_guard lock(state.mutex);
  if (state.storages.empty()) std::atexit(&flushAllAtExit);
  auto& storage = state.storages[homeDirectory];
  if (!storage) {
    storage = std::make_shared<ZEVSiteEventStorage>(
        PassKey{}, zevsite::files::joinPath(homeDirectory, "Library/zevsite-events.sqlite"));
    // The writer holds a plain pointer: storages are never removed from the registry.
    ZEVSiteEventStorage* self = storage.get();
    storage->writer_ = ZEVSitePlatform::current().startThread([self] { self->writerLoop(); });
  }
  return storage;
}

std::vector<std::shared_ptr<ZEVSiteEventStorage>> ZEVSiteEventStorage::all() {
  auto& state = registry();
  std::lock_guard lock(state.mutex);
  std::vector<std::shared_ptr<ZEVSiteEventStorage>> storages;
  for (const auto& [home, storage] : state.storages) storages.push_back(storage);
  return storages;
}

ZEVSiteEventStorage::ZEVSiteEventStorage(PassKey, std::string databasePath)
    : databasePath_(std::move(databasePath)) {}

void ZEVSiteEventStorage::accept(std::string_view name, std::string body,
                                 std::int64_t createdMillis) {
  bool wasEmpty;
  {
    std::lock_guard lock(stagingMutex_);
    if (staging_.size() >= maxEvents_) {
      staging_.pop_front();
      ++droppedWhileStaged_;
      ++committedSequence_;
    }
    wasEmpty = staging_.empty();
    staging_.push_back(ZEVSitePendingEvent{std::string(name), std::move(body), createdMillis});
    ++acceptedSequence_;
  }
  // Only the first event of a batch wakes the writer; later ones ride along.
  if (wasEmpty) stagedCondition_.notify_one();
}

bool ZEVSiteEventStorage::flush(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(stagingMutex_);
  const std::uint64_t target = acceptedSequence_;
  if (committedSequence_ >= target) return true;
  ++flushWaiters_;
  stagedCondition_.notify_one();
  bool done =
      committedCondition_.wait_until(lock, deadline, [&] { return committedSequence_ >= target; });
  --flushWaiters_;
  return done;
}

void ZEVSiteEventStorage::setLimits(std::size_t maxEvents, std::int64_t expirationSecs) {
  std::lock_guard lock(stagingMutex_);
  maxEvents_ = maxEvents > 0 ? maxEvents : 1;
  expirationSecs_ = expirationSecs;
}

void ZEVSiteEventStorage::setCommitListener(std::function<void()> listener) {
  std::lock_guard lock(stagingMutex_);
  commitListener_ = std::move(listener);
}

std::size_t ZEVSiteEventStorage::enforceLimitsLocked(ZEVSiteEventStore& store,
                                                     std::size_t maxEvents,
                                                     std::int64_t expirationSecs) {
  // Both deletions scan the table, so they run only when they may have work: the count cap
  // when the estimate (inserts since the last count; deliveries only lower the real number)
  // passes the cap, the age limit at most once a minute.
  auto now = ZEVSitePlatform::current().monotonicNow();
  bool overCount = rowEstimate_ > maxEvents;
  bool expiryDue = now - lastExpiryCheck_ >= std::chrono::minutes(1);
  if (!overCount && !expiryDue) return 0;
  if (expiryDue) lastExpiryCheck_ = now;
  std::int64_t oldestAllowed =
      expiryDue ? ZEVSitePlatform::current().currentTimeMillis() - expirationSecs * 1000
                : std::numeric_limits<std::int64_t>::min();
  std::size_t dropped = store.enforceLimits(maxEvents, oldestAllowed);
  rowEstimate_ = store.count();
  return dropped;
}

ZEVSiteEventStore* ZEVSiteEventStorage::openStoreLocked() {
  if (!store_) {
    zevsite::files::makeDirectories(databasePath_.substr(0, databasePath_.rfind('/')));
    store_ = ZEVSiteEventStore::open(databasePath_);
    if (store_) {
      rowEstimate_ = store_->count();
      ZEVSiteEventStore* store = store_.get();
      store_->setCheckpointListener([this, store] {
        {
          std::lock_guard lock(stagingMutex_);
          checkpointWanted_ = store;
        }
        stagedCondition_.notify_one();
      });
    }
    if (!store_ && !storeFailureLogged_) {
      ZEVSiteLoger::adLog("[Site] events are kept in memory until %@ can be opened", databasePath_);
      storeFailureLogged_ = true;
    }
  }
  return store_.get();
}

bool ZEVSiteEventStorage::withStore(const std::function<void(ZEVSiteEventStore&)>& work) {
  std::lock_guard lock(storeMutex_);
  ZEVSiteEventStore* store = openStoreLocked();
  if (!store) return false;
  work(*store);
  return true;
}

void ZEVSiteEventStorage::writerLoop() {
  std::unique_lock lock(stagingMutex_);
  for (;;) {
    stagedCondition_.wait(lock, [this] { return !staging_.empty() || checkpointWanted_; });
    if (ZEVSiteEventStore* store = std::exchange(checkpointWanted_, nullptr)) {
      lock.unlock();
      store->checkpoint();
      lock.lock();
      continue;
    }
    // Let a batch gather, unless it is large already or someone waits in flush.
    stagedCondition_.wait_for(lock, kCoalesceWindow, [this] {
      return staging_.size() >= kEagerBatch || flushWaiters_ > 0;
    });
    std::deque<ZEVSitePendingEvent> batch;
    batch.swap(staging_);
    const std::uint64_t batchEnd = acceptedSequence_;
    const std::size_t dropped = std::exchange(droppedWhileStaged_, 0);
    lock.unlock();
    writeBatch(batch, dropped);
    lock.lock();
    if (batch.empty()) {
      committedSequence_ = std::max(committedSequence_, batchEnd);
      committedCondition_.notify_all();
      if (commitListener_) {
        // Woken outside the staging lock, so host threads never wait behind the wake-up.
        auto listener = commitListener_;
        lock.unlock();
        listener();
        lock.lock();
      }
    } else {
      // The store could not take the batch: put it back in front and retry shortly, still
      // within the staging bound.
      for (auto it = batch.rbegin(); it != batch.rend(); ++it) staging_.push_front(std::move(*it));
      while (staging_.size() > maxEvents_) {
        staging_.pop_front();
        ++droppedWhileStaged_;
        ++committedSequence_;
      }
      committedCondition_.notify_all();
      stagedCondition_.wait_for(lock, std::chrono::milliseconds(200));
    }
  }
}

void ZEVSiteEventStorage::writeBatch(std::deque<ZEVSitePendingEvent>& batch,
                                     std::size_t droppedWhileStaged) {
  std::size_t maxEvents;
  std::int64_t expirationSecs;
  {
    std::lock_guard lock(stagingMutex_);
    maxEvents = maxEvents_;
    expirationSecs = expirationSecs_;
  }
  std::size_t droppedInStore = 0;
  bool written = false;
  {
    std::lock_guard lock(storeMutex_);
    if (ZEVSiteEventStore* store = openStoreLocked()) {
      std::vector<ZEVSitePendingEvent> rows(std::make_move_iterator(batch.begin()),
                                            std::make_move_iterator(batch.end()));
      written = store->insertBatch(rows);
      if (written) {
        rowEstimate_ += rows.size();
        droppedInStore = enforceLimitsLocked(*store, maxEvents, expirationSecs);
      } else {
        for (std::size_t i = 0; i < rows.size(); ++i) batch[i] = std::move(rows[i]);
      }
    }
  }
  if (written) batch.clear();
  if (droppedWhileStaged + droppedInStore > 0) {
    ZEVSiteLoger::adLog("[Site] event limits reached: dropped %@ oldest or expired events",
                        droppedWhileStaged + droppedInStore);
  }
}
