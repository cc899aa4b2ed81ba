// The sending half of the task queues: one sender thread per event storage (so one per
// process and home directory, whatever the number of queues) that leases the oldest stored
// events in batches of up to 100, posts them to the collect URL over one reused connection
// and deletes them once the collector answered 2xx.
//
// What an answer leads to is decided by reactToUpload (ZEVSiteUploadReaction.h): failures
// keep the events and wait with exponential backoff, at least as long as a Retry-After asks
// (at most an hour); 413 halves the batch; a refusal drops it with one log line. Nothing is
// sent while the collect URL is unset or the network status matches no executing queue's
// send condition, nor while the user has opted out. With a dispatch interval, stored events
// gather until the interval has passed since the sender first saw them, or until a full
// batch is stored. Leases carry the process id, so two processes never send one event at
// once, and events leased by a process that died are taken back. Wakes when the writer
// commits events, when asked to flush, and after each backoff; the sender is a worker of the
// platform (step), whose backoff, polling and gathering deadlines are on the platform's clock.
// In a child after fork() the worker is started again on first use, with a connection of its
// own.
#pragma once

#include "../Network/ZEVSiteTransport.h"
#include "../Platform/ZEVSiteMutex.h"
#include "../Platform/ZEVSitePlatform.h"
#include "ZEVSiteEventStore.h"
#include "ZEVSiteSenderSettings.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace zevsite {
class EventStorage;

class EventSender {
  struct PassKey {};

 public:
  static constexpr std::size_t kBatchSize = 100;

  // The sender of `storage`, created (with its thread) on first use with `settings`; a sender
  // that exists keeps the settings it was made with.
  static std::shared_ptr<EventSender> forStorage(const std::shared_ptr<EventStorage>& storage,
                                                 SenderSettings settings);
  // The sender of `storage` if one was made, else null.
  static std::shared_ptr<EventSender> existing(const std::shared_ptr<EventStorage>& storage);
  static std::vector<std::shared_ptr<EventSender>> all();

  EventSender(PassKey, std::shared_ptr<EventStorage> storage, SenderSettings settings);

  // Registers the send condition of a queue that started executing.
  void addSendCondition(int condition);
  // Asks for an attempt soon (new events, a new collect URL). Any thread, never blocks long.
  void wake();
  // Waits until an attempt that started after this call has ended; false at the deadline.
  // Such an attempt ignores a pending backoff.
  bool flushAttempt(std::chrono::steady_clock::time_point deadline);
  // Waits until no attempt runs and none is asked for: the sender waits for new events, a
  // backoff, a network poll or a gathering window. False at the deadline. For tests and
  // tools that must know the sender has seen what was stored.
  bool waitUntilIdle(std::chrono::steady_clock::time_point deadline);
  // What this sender did (see ZEVSiteStatistics). Any thread.
  struct Counts {
    std::uint64_t delivered = 0, rejected = 0, uploadFailures = 0;
    std::int64_t lastUploadMillis = 0;  // 0: none yet
  };
  Counts counts() const {
    return {delivered_.load(), rejected_.load(), uploadFailures_.load(), lastUploadMillis_.load()};
  }
  // Stops sending for good: aborts the request in flight and waits for the thread until the
  // deadline. True when the thread ended in time.
  bool shutdown(std::chrono::steady_clock::time_point deadline);

 private:
  // Retry: after a failed upload, not before retryDelay_ whatever is stored meanwhile.
  // StoreRetry: the store could not be used (a full disk, say): again after retryDelay_, or
  // as soon as the writer commits.
  enum class Next { Idle, Retry, StoreRetry, Poll, Gather };

  // The sender's step: one attempt when one is due, or when the next one is.
  zevsite::NextRun step();
  // Starts the sender's worker unless it runs in this process (again in a child after fork).
  void ensureWorkerLocked() ZEVSITE_REQUIRES(mutex_);
  void wakeWorkerLocked() ZEVSITE_REQUIRES(mutex_);
  void resetAfterFork();
  // When the next attempt is due; nullopt when it is due now or the sender stops.
  std::optional<zevsite::NextRun> waitingLocked() ZEVSITE_REQUIRES(mutex_);
  // One attempt; a forced one (flush) does not wait for events to gather.
  Next attempt(bool forced);
  // With a dispatch interval: whether stored events should gather longer (sets
  // gatherUntil_), go now, or there are none. Nothing stored ends the attempt there, so
  // events committed after the count wake a new attempt that gathers them instead of being
  // leased at once by this one.
  enum class Gathering { Send, Wait, NothingStored };
  // Events in the store; nullopt when it cannot be opened or read just now.
  std::optional<std::size_t> storedCount();
  Gathering gathering();
  // A leased batch: the events, the token their lease is held under, and the storage's
  // deletion requests when it was leased.
  struct Batch {
    std::int64_t token = 0;
    std::vector<StoredEvent> events;  // their bodies move into request once built
    std::uint64_t deletions = 0;
    std::optional<HttpRequest> request;
  };
  // Builds the upload request of `batch` (compressed or not, as the settings say now),
  // unless it was built already. An event whose recorded time disagrees with its age on the
  // store's clock (the wall clock was wrong when it was made, or has been set since) is sent
  // with the time its age tells.
  void prepareRequest(Batch& batch, const std::string& collectURL);
  // Whether `batch` may go out: tracking is enabled and no deletion was asked for since it
  // was leased or is still to run.
  bool maySend(const Batch& batch) const;

  // Sends leased batches until none is left, one fails or the sender stops: lease, deliver
  // (the next batch leased while one is on the wire), react to the answer.
  Next sendBatches(const std::string& collectURL);
  // Builds `batch`'s request if needed, stamps the send time and starts it on the transport.
  void startUpload(Batch& batch, const std::string& collectURL, std::chrono::milliseconds timeout);
  // Ends the lease of `sent` as its answer says (releasing `next` when the batch is to be
  // split or retried); a value when the attempt ends here.
  std::optional<Next> reactToAnswer(const Batch& sent, const HttpResponse& response,
                                    std::optional<Batch>& next);
  // A failed lease: the next attempt after the store's retry delay.
  Next retryStoreLater();
  bool stopping();
  // Leases the oldest free events; nothing when the store failed.
  std::optional<Batch> leaseBatch(std::chrono::milliseconds timeout);
  static LeaseEnd leaseEnd(const Batch& batch, bool deleteEvents);
  void endLease(const LeaseEnd& end);
  bool networkMatches();
  void reclaimDeadLeases();

  const std::shared_ptr<EventStorage> storage_;
  const SenderSettings settings_;

  // Guards the fields below that name it and the start of worker_. Rank kSender in the fork
  // lock order.
  zevsite::Mutex mutex_;
  ConditionVariable attemptCondition_;  // flushAttempt, waitUntilIdle and shutdown wait here
  std::vector<int> sendConditions_ ZEVSITE_GUARDED_BY(mutex_);
  bool wakeRequested_ ZEVSITE_GUARDED_BY(mutex_) = false;
  bool forceAttempt_ ZEVSITE_GUARDED_BY(mutex_) = false;
  bool stopping_ ZEVSITE_GUARDED_BY(mutex_) = false;
  bool finished_ ZEVSITE_GUARDED_BY(mutex_) = false;
  std::uint64_t attemptsStarted_ ZEVSITE_GUARDED_BY(mutex_) = 0;
  std::uint64_t attemptsFinished_ ZEVSITE_GUARDED_BY(mutex_) = 0;
  // Set: the platform's monotonic time of the next attempt, after a backoff (backingOff_)
  // or while polling the network status.
  std::optional<std::chrono::steady_clock::time_point> retryAt_ ZEVSITE_GUARDED_BY(mutex_);
  bool backingOff_ ZEVSITE_GUARDED_BY(mutex_) = false;

  // Written by the sender's worker, read by counts() on any thread.
  std::atomic<std::uint64_t> delivered_{0};        // events answered 2xx
  std::atomic<std::uint64_t> rejected_{0};         // events refused for good (4xx)
  std::atomic<std::uint64_t> uploadFailures_{0};   // requests to retry
  std::atomic<std::int64_t> lastUploadMillis_{0};  // wall clock of the last 2xx

  // Used by the sender's worker only (abort() by shutdown too). Made with the sender.
  const std::unique_ptr<Transport> transport_;
  int failures_ = 0;       // failed uploads in a row
  int storeFailures_ = 0;  // failed leases in a row
  // Lease ends the store could not take (a full disk): applied before the next lease, so a
  // delivered batch is not sent again once its lease runs out.
  std::vector<LeaseEnd> unfinishedLeaseEnds_;
  std::size_t batchSize_ = kBatchSize;
  std::chrono::milliseconds retryDelay_{0};
  std::int64_t batchCounter_ = 0;
  std::chrono::steady_clock::time_point lastReclaim_{};
  // While events gather: when the sender first saw them, and when they are due (the
  // platform's monotonic clock, so tests move it by hand).
  std::optional<std::chrono::steady_clock::time_point> gatherStart_;
  std::optional<std::chrono::steady_clock::time_point> gatherUntil_;

  // Runs step(); joined by shutdown when it ends in time.
  std::unique_ptr<zevsite::Worker> worker_ ZEVSITE_GUARDED_BY(mutex_);
  // The fork generation worker_ was started in.
  std::uint64_t workerGeneration_ ZEVSITE_GUARDED_BY(mutex_) = 0;
};
}  // namespace zevsite
