// The durable half of the task queues: one event store per home directory and the one
// writer thread that fills it.
//
// Host threads only stage events in memory (accept); the writer thread moves what is
// staged into SQLite in one transaction per batch, within a few milliseconds of acceptance
// and well inside 100 ms. Every task queue of the process with the same home directory
// shares one storage, found with forHome. Storages live until the process exits; at normal
// exit whatever is still staged is written first (bounded by a short timeout).
//
// Faults: a store that SQLite reports as not a database is moved aside (once per file) and
// recreated. Any other failure (no space, no permission, no descriptors, a vanished
// directory) keeps the file and the staged events, within the staging bounds, and retries
// with a growing delay; one log line per episode. Before each batch the writer checks that
// the open store is still the file at its path, and reopens it when the home directory was
// removed or replaced under it. The writer thread is started again on first use in a child
// process after fork().
#pragma once

#include "../Platform/ZEVSiteMutex.h"
#include "../Platform/ZEVSitePlatform.h"
#include "ZEVSiteEventStore.h"
#include "ZEVSiteStagingArea.h"
#include "ZEVSiteStoreHandle.h"
#include "ZEVSiteTransactionPlanner.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zevsite {
class EventStorage {
  struct PassKey {};

 public:
  // How long the writer lets a batch gather before writing it.
  static constexpr std::chrono::milliseconds kCoalesceWindow{5};
  // A batch this large is written without waiting for the window to end.
  static constexpr std::size_t kEagerBatch = 512;
  static constexpr std::size_t kDefaultMaxEvents = 10000;
  static constexpr std::int64_t kDefaultExpirationSecs = 604800;
  // Most bytes of event names and upload strings staged in memory; beyond it the oldest are
  // dropped. A batch being written takes as much again.
  static constexpr std::size_t kMaxStagedBytes = 1024 * 1024;
  // The store counts as idle (and its log is truncated) after this long without commits.
  static constexpr std::chrono::milliseconds kIdleCheckpointDelay{100};

  // The storage of `homeDirectory`, created (with its writer thread) on first use. The
  // storage of "" (no home directory could be found) keeps events in memory until the host
  // sets one, then writes them there.
  static std::shared_ptr<EventStorage> forHome(const std::string& homeDirectory);
  // Every storage created so far.
  static std::vector<std::shared_ptr<EventStorage>> all();

  EventStorage(PassKey, std::string homeDirectory);
  EventStorage(const EventStorage&) = delete;
  EventStorage& operator=(const EventStorage&) = delete;

  // What accept does when the staging area has no room for an event: wait up to `timeout`
  // for the writer to take the staged events (block), or drop the oldest at once. One
  // policy for the process; any thread.
  struct OverflowPolicy {
    bool block = true;
    std::chrono::milliseconds timeout{1000};
  };
  static void setOverflowPolicy(OverflowPolicy policy);

  // Stages one event for the writer. No disk I/O: a short lock and a copy into the staging
  // ring, which allocates nothing once it has grown to a burst's size. When the staging
  // area already holds maxEvents, the oldest staged events are dropped; when it holds
  // kMaxStagedBytes, the overflow policy decides (wait for the writer, then drop the oldest);
  // drops are counted and logged once per batch by the writer.
  void accept(std::string_view name, std::string_view body, std::int64_t createdMillis);
  // Waits until everything accepted before the call has been written (or dropped by the
  // limits) and every deletion asked for before it has run; false when `deadline` came first.
  bool flush(std::chrono::steady_clock::time_point deadline);
  // Most events kept and oldest age kept, in the staging area and the store.
  void setLimits(std::size_t maxEvents, std::int64_t expirationSecs);
  // Asks the writer to try again now (the host set a home directory, for example).
  void wake();
  // Stored events were deleted (delivered): a writer waiting out a full disk tries again at
  // once, since their pages are free for new events. Any thread, never blocks long.
  void spaceFreed();

  // Deletes every staged and stored event. The writer thread does it between two batches,
  // so a batch being written when the call is made is deleted too; events accepted before
  // the deletion runs go with it. Waits until it ran (true) or `deadline` passed (false: it
  // still runs, retried with a growing delay while the store cannot be opened). Any thread.
  bool deleteAll(std::chrono::steady_clock::time_point deadline);
  // Deletions asked for so far, and whether one has not run yet: a sender drops a batch it
  // leased before the latest request and sends nothing while one is pending. Any thread.
  std::uint64_t deletionsRequested() const { return deletionsRequested_.load(); }
  bool deletionPending() const { return deletionsCompleted_.load() < deletionsRequested_.load(); }

  // Runs `work` with the open store under the store lock (the sender's access). Returns
  // false without running it when the store cannot be opened.
  bool withStore(const std::function<void(EventStore&)>& work);
  // What this storage did with the events of this process (see ZEVSiteStatistics): accepted,
  // dropped by reason, stored, and pending (staged, or in the store as this process sees it).
  // Takes the staging lock briefly; any thread.
  struct Counts {
    std::uint64_t accepted = 0, overflow = 0, expiry = 0, eventLimit = 0, stored = 0, pending = 0;
    std::uint64_t waitedForRoom = 0;  // accept calls that waited for the writer (Block)
  };
  Counts counts();
  // The sender deleted `count` events from the store (delivered, or refused for good).
  void eventsDeleted(std::size_t count);

  // Called by the writer after each committed batch (the sender's wake-up). Any thread.
  void setCommitListener(std::function<void()> listener);
  // The store's clock now (see ZEVSiteStoreClock.h): how long the SDK has seen its store
  // exist, which setting the wall clock does not move; kClockNotStarted until the store was
  // first opened. Any thread.
  static constexpr std::int64_t kClockNotStarted = std::numeric_limits<std::int64_t>::min();
  std::int64_t seenMillisNow() const;
  std::int64_t seenMillisAt(std::chrono::steady_clock::time_point now) const;

 private:
  struct BatchOutcome {
    bool written = false;       // every event of the batch is in the store
    std::size_t committed = 0;  // events of the batch committed (all of them when written)
    bool diskFull = false;      // what stopped the rest: no space left
    std::string error;          // why not, when not written
  };

  // The writer's step: deletes, checkpoints or writes one batch, whichever is due first.
  zevsite::NextRun writerStep();
  // Inserts `rows` in transactions that planner_ sizes (one event at least) until one fails;
  // returns how many were committed and records a full disk in `outcome`.
  std::size_t insertInTransactions(EventStore& store, std::span<const PendingEvent> rows,
                                   BatchOutcome& outcome) ZEVSITE_REQUIRES(storeMutex_);
  // Lets go of the store lock, when another thread waits for it, until that thread has it.
  void letStoreWaitersInLocked() ZEVSITE_REQUIRES(storeMutex_);
  // Free bytes on the store's file system (nullopt: unknown).
  std::optional<std::uint64_t> freeDiskBytesLocked() ZEVSITE_REQUIRES(storeMutex_);
  void ensureWriterLocked() ZEVSITE_REQUIRES(stagingMutex_);
  // Under the blocking overflow policy, waits (the staging lock let go meanwhile) until the
  // writer has made room for `bytes` more, the timeout passed or the store fails.
  void waitForRoomLocked(std::size_t bytes) ZEVSITE_REQUIRES(stagingMutex_);
  void wakeWriterLocked() ZEVSITE_REQUIRES(stagingMutex_);
  void resetAfterFork();
  // Writes writingArea_; leaves in it the events that could not be written.
  BatchOutcome writeBatch(std::size_t droppedWhileStaged);
  // The helpers below that write to the store or call out let stagingMutex_ go meanwhile and
  // take it again.
  void afterBatchLocked(std::uint64_t batchEnd, const BatchOutcome& outcome)
      ZEVSITE_REQUIRES(stagingMutex_);
  // Puts the events writingArea_ could not write back in front of those staged meanwhile.
  void restageUnwrittenLocked() ZEVSITE_REQUIRES(stagingMutex_);
  void runCheckpointLocked() ZEVSITE_REQUIRES(stagingMutex_);
  // Runs the commit listener (the sender's wake-up) with the staging lock let go meanwhile.
  void notifyCommitListenerLocked() ZEVSITE_REQUIRES(stagingMutex_);
  void runDeletionLocked() ZEVSITE_REQUIRES(stagingMutex_);
  // Drops the oldest staged event, counted under `reason`; droppedUnstagedLocked counts one
  // that was never staged or was already taken out. Both count it as handled for flush.
  void dropOldestStagedLocked(std::atomic<std::uint64_t>& reason) ZEVSITE_REQUIRES(stagingMutex_);
  void droppedUnstagedLocked(std::atomic<std::uint64_t>& reason) ZEVSITE_REQUIRES(stagingMutex_);
  // The reason for dropping one of `events` staged events: the event limit when they are more
  // than it allows, else the staging bound (overflow).
  std::atomic<std::uint64_t>& dropReasonLocked(std::size_t events) ZEVSITE_REQUIRES(stagingMutex_);
  EventStore* openStoreLocked(std::string* error) ZEVSITE_REQUIRES(storeMutex_);
  // Starts the store's clock where the store's saved reading left it, plus the time that
  // passed since.
  void startClockLocked(EventStore& store) ZEVSITE_REQUIRES(storeMutex_);
  zevsite::StoreClockSample clockSample() const;
  // Gives rows accepted before the store's clock started their reading (the store is open).
  void ageEarlyEvents(std::vector<PendingEvent>& rows) const;
  std::size_t enforceLimitsLocked(EventStore& store, std::size_t maxEvents,
                                  std::int64_t expirationSecs) ZEVSITE_REQUIRES(storeMutex_);

  zevsite::Mutex stagingMutex_;  // guards the staging fields below
  // flush, deleteAll and accepts waiting for room wait here for the writer
  ConditionVariable committedCondition_;
  StagingArea staging_ ZEVSITE_GUARDED_BY(stagingMutex_){kMaxStagedBytes};
  // The batch being written: the writer thread swaps it with staging_ under the staging lock
  // and then writes it without the lock, from this one buffer. Writer thread only (and the
  // fork child's reset); rows_ are its views handed to the store.
  StagingArea writingArea_{kMaxStagedBytes};
  std::vector<PendingEvent> rows_;
  std::uint64_t acceptedSequence_ ZEVSITE_GUARDED_BY(stagingMutex_) = 0;  // events accepted so far
  // Accepted events written or dropped so far
  std::uint64_t committedSequence_ ZEVSITE_GUARDED_BY(stagingMutex_) = 0;
  // Staged events dropped since the last batch
  std::size_t droppedWhileStaged_ ZEVSITE_GUARDED_BY(stagingMutex_) = 0;
  // Flush calls waiting: write without coalescing
  std::size_t flushWaiters_ ZEVSITE_GUARDED_BY(stagingMutex_) = 0;
  std::size_t maxEvents_ ZEVSITE_GUARDED_BY(stagingMutex_) = kDefaultMaxEvents;
  std::int64_t expirationSecs_ ZEVSITE_GUARDED_BY(stagingMutex_) = kDefaultExpirationSecs;
  std::function<void()> commitListener_ ZEVSITE_GUARDED_BY(stagingMutex_);
  // Deletions asked for so far, and done so far: written under the staging lock, read
  // without it by the sender.
  std::atomic<std::uint64_t> deletionsRequested_{0};
  std::atomic<std::uint64_t> deletionsCompleted_{0};
  // The store's WAL wants a checkpoint (a full one, or a truncation once idle): the writer
  // thread runs it between batches, off the sender's path.
  bool checkpointWanted_ ZEVSITE_GUARDED_BY(stagingMutex_) = false;
  bool truncateWanted_ ZEVSITE_GUARDED_BY(stagingMutex_) = false;
  // Failures in a row to write a batch, and when the next attempt is due (platform clock).
  int failures_ ZEVSITE_GUARDED_BY(stagingMutex_) = 0;
  std::optional<std::chrono::steady_clock::time_point> retryAt_ ZEVSITE_GUARDED_BY(stagingMutex_);
  // One line per episode of failures
  bool failureLogged_ ZEVSITE_GUARDED_BY(stagingMutex_) = false;
  // The latest failure was a full disk
  bool diskFull_ ZEVSITE_GUARDED_BY(stagingMutex_) = false;
  // Sizes the writer's transactions by the free disk space; the writer thread's alone.
  TransactionPlanner planner_;
  // When the batch gathering in staging_ is due (its first event's acceptance plus the
  // window), and when an idle store's log may be truncated; platform clock.
  std::optional<std::chrono::steady_clock::time_point> batchDueAt_
      ZEVSITE_GUARDED_BY(stagingMutex_);
  std::optional<std::chrono::steady_clock::time_point> truncateAt_
      ZEVSITE_GUARDED_BY(stagingMutex_);
  // The writer (a worker of the platform, see writerStep), started on first use and never
  // stopped; in a child after fork() its thread does not exist, so it is released (never
  // joined) and a new writer is started on first use.
  std::unique_ptr<zevsite::Worker> writer_ ZEVSITE_GUARDED_BY(stagingMutex_);

  // Held by the writer while it checkpoints through the store's second connection, so that
  // fork() never happens in the middle of a SQLite call.
  zevsite::Mutex checkpointMutex_;

  // Guards the fields below and every use of the main SQLite connection. store_ is replaced
  // or reset only on the writer thread, which may therefore use it briefly without the lock
  // for checkpoints.
  zevsite::Mutex storeMutex_;
  // Threads other than the writer waiting for storeMutex_ (the sender): the writer lets
  // them in between two transactions of a large batch.
  std::atomic<int> storeWaiters_{0};
  StoreHandle store_ ZEVSITE_GUARDED_BY(storeMutex_);
  // Rows in the store, never below the real number (one process)
  std::size_t rowEstimate_ ZEVSITE_GUARDED_BY(storeMutex_) = 0;
  // The platform's monotonic time, in nanoseconds, at which the store's clock read 0: set
  // when the store is opened (under the store lock), read without a lock by host threads,
  // the writer and the sender. kClockNotStarted before.
  std::atomic<std::int64_t> seenOriginNanos_{kClockNotStarted};

  // The counts behind counts(): written by host threads (accepted, staging drops) and the
  // writer, read by anyone.
  struct Counters {
    std::atomic<std::uint64_t> accepted{0}, overflow{0}, expiry{0}, eventLimit{0}, stored{0};
    std::atomic<std::uint64_t> waitedForRoom{0};
  };
  Counters counters_;
  // Events in the store as this process sees them: counted when the store is opened and after
  // the limits ran, plus commits, minus the sender's deletions. Can dip below zero for a
  // moment (another process's events delivered here); read as zero then.
  std::atomic<std::int64_t> rowsInStore_{0};
  std::chrono::steady_clock::time_point lastExpiryCheck_ ZEVSITE_GUARDED_BY(storeMutex_){};
};
}  // namespace zevsite
