#include "ZEVSiteEventStorage.h"

#include "../Platform/ZEVSiteFiles.h"
#include "../Platform/ZEVSiteForkSafety.h"
#include "../Platform/ZEVSiteMutex.h"
#include "../Platform/ZEVSiteNoDestructor.h"
#include "../ZEVSiteTime.h"
#include "ZEVSiteBackoff.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>
#include <memory>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>

namespace {

// The overflow policy of the process (see EventStorage::setOverflowPolicy).
std::atomic<bool> blockOnOverflow{true};
std::atomic<std::int64_t> overflowTimeoutMillis{1000};

struct StorageRegistry {
  zevsite::Mutex mutex;  // guards storages
  std::map<std::string, std::shared_ptr<zevsite::EventStorage>> storages ZEVSITE_GUARDED_BY(mutex);
};

StorageRegistry& storageRegistry() {
  static zevsite::NoDestructor<StorageRegistry> instance;
  return instance.get();
}

// At normal exit, write what is still staged so that a clean shutdown loses nothing.
void flushAllAtExit() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (const auto& storage : zevsite::EventStorage::all()) storage->flush(deadline);
}

}  // namespace

std::shared_ptr<zevsite::EventStorage> zevsite::EventStorage::forHome(
    const std::string& homeDirectory) {
  auto& state = storageRegistry();
  zevsite::MutexLock lock(state.mutex);
  if (state.storages.empty()) {
    std::atexit(&flushAllAtExit);
    zevsite::forksafety::registerLock(state.mutex, zevsite::forksafety::kRegistry);
  }
  auto& storage = state.storages[homeDirectory];
  if (!storage) {
    storage = std::make_shared<zevsite::EventStorage>(PassKey{}, homeDirectory);
    // Storages are never removed from the registry, so plain pointers to them stay valid.
    zevsite::EventStorage* self = storage.get();
    zevsite::forksafety::registerLock(self->storeMutex_, zevsite::forksafety::kStore);
    zevsite::forksafety::registerLock(self->stagingMutex_, zevsite::forksafety::kStaging);
    zevsite::forksafety::registerLock(self->checkpointMutex_, zevsite::forksafety::kCheckpoint);
    zevsite::forksafety::onChild([self] { self->resetAfterFork(); });
    zevsite::MutexLock staging(self->stagingMutex_);
    self->ensureWriterLocked();
  }
  return storage;
}

void zevsite::EventStorage::setOverflowPolicy(OverflowPolicy policy) {
  overflowTimeoutMillis = policy.timeout.count();
  blockOnOverflow = policy.block;
}

std::vector<std::shared_ptr<zevsite::EventStorage>> zevsite::EventStorage::all() {
  auto& state = storageRegistry();
  zevsite::MutexLock lock(state.mutex);
  std::vector<std::shared_ptr<zevsite::EventStorage>> storages;
  for (const auto& [home, storage] : state.storages) storages.push_back(storage);
  return storages;
}

zevsite::EventStorage::EventStorage(PassKey, std::string homeDirectory)
    : store_(std::move(homeDirectory)) {}

void zevsite::EventStorage::ensureWriterLocked() {
  if (writer_) return;
  writer_ =
      ZEVSitePlatform::current().startWorker("zevsite-writer", [this] { return writerStep(); });
}

void zevsite::EventStorage::wakeWriterLocked() {
  ensureWriterLocked();
  writer_->wake();
}

// Unchecked: the child has one thread and takes no lock here.
void zevsite::EventStorage::resetAfterFork() ZEVSITE_NO_THREAD_SAFETY_ANALYSIS {
  // Runs in the child, which has only the forking thread; every lock was released. What is
  // staged is the parent's to write, and the connections are the parent's: both are left
  // to it. The writer thread does not exist here: its handle is released, not joined.
  // A condition variable inherited with waiters that no longer exist never signals again
  // (its bookkeeping still counts them): start each afresh over the old storage.
  std::construct_at(&committedCondition_);
  staging_.clear();
  writingArea_.clear();
  committedSequence_ = acceptedSequence_;
  droppedWhileStaged_ = 0;
  flushWaiters_ = 0;
  deletionsCompleted_.store(deletionsRequested_.load());
  checkpointWanted_ = truncateWanted_ = false;
  failures_ = 0;
  retryAt_.reset();
  batchDueAt_.reset();
  truncateAt_.reset();
  (void)writer_.release();
  store_.abandonAfterFork();
}

void zevsite::EventStorage::dropOldestStagedLocked(std::atomic<std::uint64_t>& reason) {
  staging_.dropOldest();
  droppedUnstagedLocked(reason);
}

void zevsite::EventStorage::droppedUnstagedLocked(std::atomic<std::uint64_t>& reason) {
  ++droppedWhileStaged_;
  ++committedSequence_;
  ++reason;
}

std::atomic<std::uint64_t>& zevsite::EventStorage::dropReasonLocked(std::size_t events) {
  return events > maxEvents_ ? counters_.eventLimit : counters_.overflow;
}

zevsite::EventStorage::Counts zevsite::EventStorage::counts() {
  Counts counts;
  {
    zevsite::MutexLock lock(stagingMutex_);
    counts.pending = acceptedSequence_ - committedSequence_;
  }
  counts.accepted = counters_.accepted.load();
  counts.overflow = counters_.overflow.load();
  counts.expiry = counters_.expiry.load();
  counts.eventLimit = counters_.eventLimit.load();
  counts.stored = counters_.stored.load();
  counts.waitedForRoom = counters_.waitedForRoom.load();
  counts.pending += static_cast<std::uint64_t>(std::max<std::int64_t>(0, rowsInStore_.load()));
  return counts;
}

void zevsite::EventStorage::eventsDeleted(std::size_t count) {
  rowsInStore_ -= static_cast<std::int64_t>(count);
}

void zevsite::EventStorage::accept(std::string_view name, std::string_view body,
                                   std::int64_t createdMillis) {
  const std::size_t bytes = name.size() + body.size();
  // An event's age counts from its acceptance, however long it waits to be written.
  const auto now = ZEVSitePlatform::current().monotonicNow();
  const std::int64_t seenMillis = seenMillisAt(now);
  zevsite::Worker* wakeWriter = nullptr;
  {
    zevsite::MutexLock lock(stagingMutex_);
    ensureWriterLocked();
    ++counters_.accepted;
    if (staging_.liveBytes() + bytes > kMaxStagedBytes && bytes <= kMaxStagedBytes) {
      waitForRoomLocked(bytes);
    }
    while (!staging_.empty() &&
           (staging_.size() >= maxEvents_ || staging_.liveBytes() + bytes > kMaxStagedBytes)) {
      dropOldestStagedLocked(dropReasonLocked(staging_.size() + 1));
    }
    const bool wasEmpty = staging_.empty();
    ++acceptedSequence_;
    while (!staging_.tryAppend(name, body, createdMillis, seenMillis)) {
      if (staging_.empty()) {
        // Larger than the whole staging area: dropped like an oldest event.
        droppedUnstagedLocked(counters_.overflow);
        return;
      }
      dropOldestStagedLocked(counters_.overflow);
    }
    // The first event of a batch opens its window and wakes the writer, as does the one that
    // makes the batch large enough to go before the window ends; the others ride along.
    if (wasEmpty) batchDueAt_ = now + kCoalesceWindow;
    if (wasEmpty || staging_.size() == kEagerBatch) wakeWriter = writer_.get();
  }
  // Woken outside the lock, so the writer never wakes into a lock the host still holds.
  if (wakeWriter) wakeWriter->wake();
}

void zevsite::EventStorage::waitForRoomLocked(std::size_t bytes) {
  // While the store fails, the writer only retries later: waiting would not make room.
  if (!blockOnOverflow || failures_ > 0) return;
  ++counters_.waitedForRoom;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(overflowTimeoutMillis.load());
  // Counted as a flush waiter, so the writer takes the staged batch without its window.
  ++flushWaiters_;
  wakeWriterLocked();
  zevsite::awaitWorkers(writer_.get(), committedCondition_, stagingMutex_, deadline,
                        [&]() ZEVSITE_REQUIRES(stagingMutex_) {
                          return staging_.liveBytes() + bytes <= kMaxStagedBytes || failures_ > 0;
                        });
  --flushWaiters_;
}

bool zevsite::EventStorage::flush(std::chrono::steady_clock::time_point deadline) {
  zevsite::UniqueMutexLock lock(stagingMutex_);
  const std::uint64_t target = acceptedSequence_;
  const std::uint64_t deletions = deletionsRequested_;
  auto written = [&]() ZEVSITE_REQUIRES(stagingMutex_) {
    return committedSequence_ >= target && deletionsCompleted_ >= deletions;
  };
  if (written()) return true;
  ++flushWaiters_;
  wakeWriterLocked();
  bool done =
      zevsite::awaitWorkers(writer_.get(), committedCondition_, stagingMutex_, deadline, written);
  --flushWaiters_;
  return done;
}

bool zevsite::EventStorage::deleteAll(std::chrono::steady_clock::time_point deadline) {
  zevsite::UniqueMutexLock lock(stagingMutex_);
  const std::uint64_t wanted = ++deletionsRequested_;
  wakeWriterLocked();
  return zevsite::awaitWorkers(
      writer_.get(), committedCondition_, stagingMutex_, deadline,
      [&]() ZEVSITE_REQUIRES(stagingMutex_) { return deletionsCompleted_ >= wanted; });
}

void zevsite::EventStorage::wake() {
  zevsite::MutexLock lock(stagingMutex_);
  retryAt_.reset();
  wakeWriterLocked();
}

void zevsite::EventStorage::spaceFreed() {
  zevsite::MutexLock lock(stagingMutex_);
  if (!diskFull_ || !retryAt_) return;
  retryAt_.reset();
  wakeWriterLocked();
}

void zevsite::EventStorage::setLimits(std::size_t maxEvents, std::int64_t expirationSecs) {
  zevsite::MutexLock lock(stagingMutex_);
  maxEvents_ = maxEvents > 0 ? maxEvents : 1;
  expirationSecs_ = expirationSecs;
}

void zevsite::EventStorage::setCommitListener(std::function<void()> listener) {
  zevsite::MutexLock lock(stagingMutex_);
  commitListener_ = std::move(listener);
}

std::size_t zevsite::EventStorage::enforceLimitsLocked(zevsite::EventStore& store,
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
  // Age counts on the store's clock: a wall clock set forward (or back to its right time
  // after a wrong one) ages nothing.
  std::int64_t oldestAllowed =
      expiryDue ? zevsite::time::saturatingSub(seenMillisNow(),
                                               zevsite::time::saturatingMul(expirationSecs, 1000))
                : std::numeric_limits<std::int64_t>::min();
  const auto dropped =
      store.enforceLimits(maxEvents, oldestAllowed, ZEVSitePlatform::current().currentTimeMillis());
  counters_.eventLimit += dropped.beyondCount;
  counters_.expiry += dropped.expired;
  rowEstimate_ = store.count().value_or(rowEstimate_);
  rowsInStore_ = static_cast<std::int64_t>(rowEstimate_);
  return dropped.beyondCount + dropped.expired;
}

zevsite::EventStore* zevsite::EventStorage::openStoreLocked(std::string* error) {
  bool opened = false;
  zevsite::EventStore* store = store_.open(error, opened);
  if (!store || !opened) return store;
  rowEstimate_ = store->count().value_or(0);
  rowsInStore_ = static_cast<std::int64_t>(rowEstimate_);
  startClockLocked(*store);
  store->setCommitListener([this](int walFrames) {
    zevsite::MutexLock lock(stagingMutex_);
    checkpointWanted_ = true;
    // A large log is checkpointed now; a small one is truncated once the store is idle.
    truncateWanted_ = walFrames < zevsite::EventStore::kCheckpointFrames;
    wakeWriterLocked();
  });
  return store;
}

void zevsite::EventStorage::startClockLocked(zevsite::EventStore& store) {
  auto& platform = ZEVSitePlatform::current();
  zevsite::StoreClockSample now{0, platform.currentTimeMillis(), platform.bootClock()};
  if (auto saved = store.loadClock()) {
    now.seenMillis =
        zevsite::time::saturatingAdd(saved->seenMillis, zevsite::elapsedBetween(*saved, now));
  }
  const auto origin = platform.monotonicNow() - std::chrono::milliseconds(now.seenMillis);
  seenOriginNanos_.store(
      std::chrono::duration_cast<std::chrono::nanoseconds>(origin.time_since_epoch()).count());
  // Failing (a full disk), rows of an older version stay unaged until the next open.
  store.startClock(now);
}

std::int64_t zevsite::EventStorage::seenMillisNow() const {
  return seenMillisAt(ZEVSitePlatform::current().monotonicNow());
}

std::int64_t zevsite::EventStorage::seenMillisAt(std::chrono::steady_clock::time_point now) const {
  const std::int64_t origin = seenOriginNanos_.load();
  if (origin == kClockNotStarted) return kClockNotStarted;
  const auto sinceOrigin = now.time_since_epoch() - std::chrono::nanoseconds(origin);
  return std::chrono::duration_cast<std::chrono::milliseconds>(sinceOrigin).count();
}

void zevsite::EventStorage::ageEarlyEvents(std::vector<zevsite::PendingEvent>& rows) const {
  // Accepted before the store's clock started (the first moments of a process): their age
  // is all the wall clock can tell, over that short wait.
  const std::int64_t seenNow = seenMillisNow();
  const std::int64_t wallNow = ZEVSitePlatform::current().currentTimeMillis();
  for (auto& row : rows) {
    if (row.seenMillis != kClockNotStarted) continue;
    const std::int64_t waited = zevsite::time::saturatingSub(wallNow, row.createdMillis);
    row.seenMillis = zevsite::time::saturatingSub(seenNow, std::max<std::int64_t>(0, waited));
  }
}

zevsite::StoreClockSample zevsite::EventStorage::clockSample() const {
  auto& platform = ZEVSitePlatform::current();
  return {seenMillisNow(), platform.currentTimeMillis(), platform.bootClock()};
}

bool zevsite::EventStorage::withStore(const std::function<void(zevsite::EventStore&)>& work) {
  storeWaiters_.fetch_add(1);
  zevsite::MutexLock lock(storeMutex_);
  storeWaiters_.fetch_sub(1);
  zevsite::EventStore* store = openStoreLocked(nullptr);
  if (!store) return false;
  work(*store);
  return true;
}

void zevsite::EventStorage::runCheckpointLocked() {
  // On a full disk the log is emptied at once, idle or not: its file's bytes become free
  // space that the database can grow into.
  const bool truncate = std::exchange(truncateWanted_, false) || diskFull_;
  checkpointWanted_ = false;
  truncateAt_.reset();
  {
    zevsite::MutexUnlock unlocked(stagingMutex_);
    zevsite::EventStore* store;
    {
      zevsite::MutexLock storeLock(storeMutex_);
      store = store_.get();
    }
    // Taken after the store lock was let go, never inside it: the fork lock order has the
    // store's lock before this one. Only this thread replaces the store, so it stays valid here
    // without the store lock.
    zevsite::MutexLock checkpointing(checkpointMutex_);
    // A log already copied still takes its file's bytes until it is truncated.
    if (store && (truncate || store->walFrames() > 0)) store->checkpoint(truncate);
  }
}

zevsite::NextRun zevsite::EventStorage::writerStep() {
  const auto now = ZEVSitePlatform::current().monotonicNow();
  zevsite::UniqueMutexLock lock(stagingMutex_);
  const bool retryLater = retryAt_ && now < *retryAt_;
  if (deletionsCompleted_ < deletionsRequested_) {
    if (retryLater) return zevsite::NextRun::after(*retryAt_);
    runDeletionLocked();
    return zevsite::NextRun::now();
  }
  if (checkpointWanted_ && (!truncateWanted_ || staging_.empty())) {
    // A small log is truncated only once nothing new arrived for a while (the store is idle);
    // on a full disk at once.
    if (truncateWanted_ && !diskFull_) {
      if (!truncateAt_) truncateAt_ = now + kIdleCheckpointDelay;
      if (now < *truncateAt_) return zevsite::NextRun::after(*truncateAt_);
    }
    runCheckpointLocked();
    return zevsite::NextRun::now();
  }
  if (staging_.empty()) return zevsite::NextRun::whenWoken();
  if (retryLater) return zevsite::NextRun::after(*retryAt_);
  // Let a batch gather for its window, unless it is large already or someone waits in
  // flush. Events put back after a failed write have no window: they are overdue.
  if (batchDueAt_ && now < *batchDueAt_ && staging_.size() < kEagerBatch && flushWaiters_ == 0) {
    return zevsite::NextRun::after(*batchDueAt_);
  }
  batchDueAt_.reset();
  truncateAt_.reset();  // new events: the store is not idle
  // writingArea_ is empty (and sized like the last batch): it becomes the staging area, and
  // host calls waiting for room find it.
  std::swap(staging_, writingArea_);
  committedCondition_.notify_all();
  const std::uint64_t batchEnd = acceptedSequence_;
  const std::size_t dropped = std::exchange(droppedWhileStaged_, 0);
  lock.unlock();
  BatchOutcome outcome = writeBatch(dropped);
  lock.lock();
  afterBatchLocked(batchEnd, outcome);
  return zevsite::NextRun::now();
}

void zevsite::EventStorage::runDeletionLocked() {
  const std::uint64_t target = deletionsRequested_;
  // The staged events go first; for flush they count as handled.
  staging_.clear();
  droppedWhileStaged_ = 0;
  committedSequence_ = acceptedSequence_;
  bool deleted = false;
  {
    zevsite::MutexUnlock unlocked(stagingMutex_);
    zevsite::MutexLock storeLock(storeMutex_);
    if (store_.databasePath().empty()) {
      deleted = true;  // no home directory: nothing was ever written
    } else {
      if (store_.get() && !store_.stillAtPath()) store_.close();
      if (zevsite::EventStore* store = openStoreLocked(nullptr)) deleted = store->deleteAll();
      if (deleted) {
        rowEstimate_ = 0;
        rowsInStore_ = 0;
      }
    }
  }
  if (deleted) {
    deletionsCompleted_.store(target);
    failures_ = 0;
    retryAt_.reset();
    // The log still holds pages of the deleted events: truncate it once the store is idle.
    checkpointWanted_ = truncateWanted_ = true;
    committedCondition_.notify_all();
    // The sender waits for the deletion before it sends what was stored after it.
    notifyCommitListenerLocked();
    return;
  }
  failures_ = std::min(failures_ + 1, 30);
  retryAt_ = ZEVSitePlatform::current().monotonicNow() + zevsite::storeRetryDelay(failures_);
  committedCondition_.notify_all();
}

void zevsite::EventStorage::notifyCommitListenerLocked() {
  if (!commitListener_) return;
  // Called outside the staging lock, so host threads never wait behind the wake-up.
  auto listener = commitListener_;
  zevsite::MutexUnlock unlocked(stagingMutex_);
  listener();
}

void zevsite::EventStorage::afterBatchLocked(std::uint64_t batchEnd, const BatchOutcome& outcome) {
  if (outcome.written) {
    if (std::exchange(failureLogged_, false)) {
      ZEVSiteLoger::adLog("[Site] event store can be written again; staged events stored");
    }
    failures_ = 0;
    diskFull_ = false;
    retryAt_.reset();
    // The sender is told first, so a flush that returns has already woken it.
    notifyCommitListenerLocked();
    committedSequence_ = std::max(committedSequence_, batchEnd);
    committedCondition_.notify_all();
    return;
  }
  // What was committed can be sent (and, sent, frees room on a full disk) at once.
  if (outcome.committed > 0) notifyCommitListenerLocked();
  // The store could not take the rest of the batch: put it back in front, still within the
  // staging bounds, and try again after a growing delay.
  diskFull_ = outcome.diskFull;
  // On a full disk the log's committed pages go to the database first and the log file is
  // truncated (see runCheckpointLocked), so that the next transaction starts the log over.
  if (diskFull_) {
    checkpointWanted_ = true;
    truncateWanted_ = false;
  }
  restageUnwrittenLocked();
  committedCondition_.notify_all();
  failures_ = std::min(failures_ + 1, 30);
  retryAt_ = ZEVSitePlatform::current().monotonicNow() + zevsite::storeRetryDelay(failures_);
  if (!std::exchange(failureLogged_, true)) {
    ZEVSiteLoger::adLog("[Site] events are kept in memory until the event store can be written: %@",
                        outcome.error);
  }
}

void zevsite::EventStorage::restageUnwrittenLocked() {
  // The unwritten events are older than those staged meanwhile, so they are the first to go
  // when both together pass the bounds. What is left of both is copied into one area, the
  // unwritten first: a copy of at most the staging bound, on this failure path only.
  while (!writingArea_.empty() &&
         (writingArea_.size() + staging_.size() > maxEvents_ ||
          writingArea_.liveBytes() + staging_.liveBytes() > kMaxStagedBytes)) {
    writingArea_.dropOldest();
    droppedUnstagedLocked(dropReasonLocked(writingArea_.size() + 1 + staging_.size()));
  }
  for (std::size_t i = 0; i < staging_.size(); ++i) {
    const zevsite::PendingEvent event = staging_.at(i);
    if (!writingArea_.tryAppend(event.name, event.body, event.createdMillis, event.seenMillis)) {
      droppedUnstagedLocked(counters_.overflow);
    }
  }
  std::swap(staging_, writingArea_);
  writingArea_.clear();
  while (staging_.size() > maxEvents_ || staging_.liveBytes() > kMaxStagedBytes) {
    dropOldestStagedLocked(dropReasonLocked(staging_.size()));
  }
}

std::optional<std::uint64_t> zevsite::EventStorage::freeDiskBytesLocked() {
  const std::string& path = store_.path();
  return ZEVSitePlatform::current().freeDiskBytes(path.substr(0, path.rfind('/')));
}

void zevsite::EventStorage::letStoreWaitersInLocked() {
  if (storeWaiters_.load() == 0) return;
  zevsite::MutexUnlock unlocked(storeMutex_);
  // A waiter counts itself out once it holds the lock; the writer then waits behind it.
  for (int spins = 0; storeWaiters_.load() > 0 && spins < 1000; ++spins) {
    std::this_thread::yield();
  }
}

std::size_t zevsite::EventStorage::insertInTransactions(zevsite::EventStore& store,
                                                        std::span<const zevsite::PendingEvent> rows,
                                                        BatchOutcome& outcome) {
  std::size_t committed = 0;
  while (committed < rows.size()) {
    // Between two transactions the sender gets the store if it waits for it: a burst's
    // batch is written in transactions of kTransactionBytes, so the sender waits for one
    // of them at most, not for the whole batch. Only this thread replaces store_, so
    // `store` stays valid meanwhile.
    if (committed > 0) letStoreWaitersInLocked();
    const std::optional<std::uint64_t> free = freeDiskBytesLocked();
    const auto transaction = planner_.next(rows, committed, free);
    // Every commit, the sender's too, checkpoints a log of a few pages while space is short.
    store.setForcedCheckpointFrames(transaction.lowOnDisk
                                        ? zevsite::TransactionPlanner::kLowDiskCheckpointFrames
                                        : zevsite::EventStore::kForcedCheckpointFrames);
    if (transaction.lowOnDisk && !zevsite::TransactionPlanner::leavesReserve(
                                     *free, store.diskGrowthFor(transaction.bytes))) {
      outcome.diskFull = true;
      outcome.error = "less than " +
                      std::to_string(zevsite::TransactionPlanner::kDiskReserveBytes / 1024) +
                      " KiB would be left free on the disk";
      break;
    }
    if (!store.insertBatch(rows.subspan(committed, transaction.end - committed), clockSample())) {
      outcome.diskFull = zevsite::EventStore::isDiskFull(store.lastErrorCode());
      if (outcome.diskFull) planner_.refusedByFullDisk();
      break;
    }
    committed = transaction.end;
    planner_.committed();
  }
  return committed;
}

zevsite::EventStorage::BatchOutcome zevsite::EventStorage::writeBatch(
    std::size_t droppedWhileStaged) {
  std::size_t maxEvents;
  std::int64_t expirationSecs;
  {
    zevsite::MutexLock lock(stagingMutex_);
    maxEvents = maxEvents_;
    expirationSecs = expirationSecs_;
  }
  BatchOutcome outcome;
  std::size_t droppedInStore = 0;
  {
    zevsite::MutexLock lock(storeMutex_);
    if (store_.get() && !store_.stillAtPath()) {
      // The home directory was removed or replaced: the open file is no longer reachable,
      // so events written to it would be lost. Open the file at the path again.
      ZEVSiteLoger::adLog("[Site] event store %@ was removed or replaced; reopening",
                          store_.path());
      store_.close();
    }
    if (zevsite::EventStore* store = openStoreLocked(&outcome.error)) {
      rows_.clear();
      for (std::size_t i = 0; i < writingArea_.size(); ++i) rows_.push_back(writingArea_.at(i));
      ageEarlyEvents(rows_);
      outcome.committed = insertInTransactions(*store, rows_, outcome);
      outcome.written = outcome.committed == rows_.size();
      if (outcome.committed > 0) {
        rowEstimate_ += outcome.committed;
        rowsInStore_ += static_cast<std::int64_t>(outcome.committed);
        counters_.stored += outcome.committed;
        droppedInStore = enforceLimitsLocked(*store, maxEvents, expirationSecs);
      }
      if (!outcome.written) {
        // The events not committed stay in the batch, which the caller stages again.
        for (std::size_t i = 0; i < outcome.committed; ++i) writingArea_.dropOldest();
        const int code = store->lastErrorCode();
        if (outcome.error.empty()) outcome.error = "SQLite error " + std::to_string(code);
        if (zevsite::EventStore::isCorruption(code)) {
          store_.close();
          store_.moveAside(store_.path());
        } else if (!outcome.diskFull) {
          store_.close();  // reopened on the next attempt; a full disk keeps the connection
        }
      }
    }
  }
  if (outcome.written) {
    const std::size_t bytes = writingArea_.liveBytes();
    const std::size_t events = writingArea_.size();
    writingArea_.clear();
    writingArea_.fitFor(bytes, events);
  }
  rows_.clear();
  if (droppedWhileStaged + droppedInStore > 0) {
    ZEVSiteLoger::adLog("[Site] event limits reached: dropped %@ oldest or expired events",
                        droppedWhileStaged + droppedInStore);
  }
  return outcome;
}
