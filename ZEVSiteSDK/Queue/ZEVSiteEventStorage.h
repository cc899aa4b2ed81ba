// The durable half of the task queues: one event store per home directory and the one
// writer thread that fills it.
//
// Host threads only stage events in memory (accept); the writer thread moves what is
// staged into SQLite in one transaction per batch, within a few milliseconds of acceptance
// and well inside 100 ms. Every task queue of the process with the same home directory
// shares one storage, found with forHome. Storages live until the process exits; at normal
// exit whatever is still staged is written first (bounded by a short timeout).
#pragma once

#include "ZEVSiteEventStore.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class ZEVSiteEventStorage {
  struct PassKey {};

 public:
  // How long the writer lets a batch gather before writing it.
  static constexpr std::chrono::milliseconds kCoalesceWindow{5};
  // A batch this large is written without waiting for the window to end.
  static constexpr std::size_t kEagerBatch = 512;
  static constexpr std::size_t kDefaultMaxEvents = 10000;
  static constexpr std::int64_t kDefaultExpirationSecs = 604800;

  // The storage of `homeDirectory`, created (with its writer thread) on first use.
  static std::shared_ptr<ZEVSiteEventStorage> forHome(const std::string& homeDirectory);
  // Every storage created so far.
  static std::vector<std::shared_ptr<ZEVSiteEventStorage>> all();

  ZEVSiteEventStorage(PassKey, std::string databasePath);
  ZEVSiteEventStorage(const ZEVSiteEventStorage&) = delete;
  ZEVSiteEventStorage& operator=(const ZEVSiteEventStorage&) = delete;

  // Stages one event for the writer. No disk I/O: a short lock and a move. When the staging
  // area already holds maxEvents, the oldest staged event is dropped (counted and logged
  // once per batch by the writer).
  void accept(std::string_view name, std::string body, std::int64_t createdMillis);
  // Waits until everything accepted before the call has been written (or dropped by the
  // limits); false when `deadline` came first.
  bool flush(std::chrono::steady_clock::time_point deadline);
  // Most events kept and oldest age kept, in the staging area and the store.
  void setLimits(std::size_t maxEvents, std::int64_t expirationSecs);

  // Runs `work` with the open store under the store lock (the sender's access). Returns
  // false without running it when the store cannot be opened.
  bool withStore(const std::function<void(ZEVSiteEventStore&)>& work);
  // Called by the writer after each committed batch (the sender's wake-up). Any thread.
  void setCommitListener(std::function<void()> listener);

 private:
  void writerLoop();
  void writeBatch(std::deque<ZEVSitePendingEvent>& batch, std::size_t droppedWhileStaged);
  ZEVSiteEventStore* openStoreLocked();
  std::size_t enforceLimitsLocked(ZEVSiteEventStore& store, std::size_t maxEvents,
                                  std::int64_t expirationSecs);

  const std::string databasePath_;

  std::mutex stagingMutex_;                     // guards the staging fields below
  std::condition_variable stagedCondition_;     // writer waits here for events or a flush
  std::condition_variable committedCondition_;  // flush waits here for committedSequence_
  std::deque<ZEVSitePendingEvent> staging_;
  std::uint64_t acceptedSequence_ = 0;   // events accepted so far
  std::uint64_t committedSequence_ = 0;  // accepted events written or dropped so far
  std::size_t droppedWhileStaged_ = 0;   // staged events dropped since the last batch
  std::size_t flushWaiters_ = 0;         // flush calls waiting: write without coalescing
  std::size_t maxEvents_ = kDefaultMaxEvents;
  std::int64_t expirationSecs_ = kDefaultExpirationSecs;
  std::function<void()> commitListener_;
  // The store whose WAL wants a checkpoint: the writer thread runs it between batches, off
  // the sender's path.
  ZEVSiteEventStore* checkpointWanted_ = nullptr;

  std::mutex storeMutex_;  // guards store_ and every use of the SQLite connection
  std::unique_ptr<ZEVSiteEventStore> store_;
  bool storeFailureLogged_ = false;
  std::size_t rowEstimate_ = 0;  // rows in the store, never below the real number (one process)
  std::chrono::steady_clock::time_point lastExpiryCheck_{};

  std::thread writer_;  // runs writerLoop for the life of the process; never joined
};
