#include "ZEVSiteEventSender.h"

#include <ZEVSiteSDK/ZEVSiteLoger.h>
#include <memory>

#include "../Network/ZEVSiteHTTPClient.h"
#include "../Platform/ZEVSiteForkSafety.h"
#include "../Platform/ZEVSiteMutex.h"
#include "../Platform/ZEVSiteNoDestructor.h"
#include "../Platform/ZEVSitePlatform.h"
#include "../Platform/ZEVSiteProcess.h"
#include "../ZEVSiteRandom.h"
#include "../ZEVSiteTime.h"
#include "ZEVSiteBackoff.h"
#include "ZEVSiteEventStorage.h"
#include "ZEVSiteUploadReaction.h"

#include <algorithm>
#include <map>

namespace {

using SteadyClock = std::chrono::steady_clock;

// Each upload says when (by this device's wall clock) it was sent, so that the collector can
// correct the times of its events by the difference from its own clock.
constexpr const char* kSentAtHeader = "X-ZEVSite-Sent-At: ";

// While the network does not allow sending, its status is read again this often.
constexpr std::chrono::seconds kNetworkPollInterval{2};
constexpr std::chrono::seconds kReclaimInterval{10};
// A lease token: the process id above 24 bits of batch counter.
constexpr int kTokenCounterBits = 24;

struct SenderRegistry {
  zevsite::Mutex mutex;  // guards senders
  std::map<zevsite::EventStorage*, std::shared_ptr<zevsite::EventSender>> senders
      ZEVSITE_GUARDED_BY(mutex);
};

SenderRegistry& senderRegistry() {
  static zevsite::NoDestructor<SenderRegistry> instance;
  static const bool forkSafe =
      zevsite::forksafety::registered(instance.get().mutex, zevsite::forksafety::kRegistry);
  (void)forkSafe;
  return instance.get();
}

}  // namespace

std::shared_ptr<zevsite::EventSender> zevsite::EventSender::forStorage(
    const std::shared_ptr<zevsite::EventStorage>& storage, SenderSettings settings) {
  auto& state = senderRegistry();
  zevsite::MutexLock lock(state.mutex);
  auto& sender = state.senders[storage.get()];
  if (!sender) {
    sender = std::make_shared<zevsite::EventSender>(PassKey{}, storage, std::move(settings));
    // Senders are never removed from the registry, so plain pointers stay valid.
    zevsite::EventSender* self = sender.get();
    zevsite::forksafety::registerLock(self->mutex_, zevsite::forksafety::kSender);
    zevsite::forksafety::onChild([self] { self->resetAfterFork(); });
    storage->setCommitListener([self] { self->wake(); });
    zevsite::MutexLock senderLock(self->mutex_);
    self->ensureWorkerLocked();
  }
  return sender;
}

std::shared_ptr<zevsite::EventSender> zevsite::EventSender::existing(
    const std::shared_ptr<zevsite::EventStorage>& storage) {
  auto& state = senderRegistry();
  zevsite::MutexLock lock(state.mutex);
  const auto found = state.senders.find(storage.get());
  return found == state.senders.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<zevsite::EventSender>> zevsite::EventSender::all() {
  auto& state = senderRegistry();
  zevsite::MutexLock lock(state.mutex);
  std::vector<std::shared_ptr<zevsite::EventSender>> senders;
  for (const auto& [storage, sender] : state.senders) senders.push_back(sender);
  return senders;
}

zevsite::EventSender::EventSender(PassKey, std::shared_ptr<zevsite::EventStorage> storage,
                                  SenderSettings settings)
    : storage_(std::move(storage)),
      settings_(std::move(settings)),
      transport_(settings_.makeTransport()) {}

void zevsite::EventSender::ensureWorkerLocked() {
  const std::uint64_t generation = zevsite::forksafety::forkGeneration();
  if (stopping_ || (worker_ && workerGeneration_ == generation)) return;
  workerGeneration_ = generation;
  worker_ = ZEVSitePlatform::current().startWorker("zevsite-sender", [this] { return step(); });
}

void zevsite::EventSender::wakeWorkerLocked() {
  ensureWorkerLocked();
  if (worker_) worker_->wake();
}

// Unchecked: the child has one thread and takes no lock here.
void zevsite::EventSender::resetAfterFork() ZEVSITE_NO_THREAD_SAFETY_ANALYSIS {
  // The parent's sender thread does not exist here. Its worker is never joined or destroyed
  // (either would fail for a thread of another process, and its lock may be held): it is
  // released for good.
  (void)worker_.release();
  // A condition variable inherited with waiters that no longer exist never signals again
  // (its bookkeeping still counts them): start it afresh over the old storage.
  std::construct_at(&attemptCondition_);
  transport_->abandonAfterFork();
  attemptsFinished_ = attemptsStarted_;
  finished_ = false;
  retryAt_.reset();
  wakeRequested_ = true;  // the child's first use sends what is due
  failures_ = 0;
  batchSize_ = kBatchSize;
  retryDelay_ = std::chrono::milliseconds(0);
  gatherStart_.reset();
  gatherUntil_.reset();
}

void zevsite::EventSender::addSendCondition(int condition) {
  zevsite::MutexLock lock(mutex_);
  sendConditions_.push_back(condition);
  wakeRequested_ = true;
  wakeWorkerLocked();
}

void zevsite::EventSender::wake() {
  zevsite::MutexLock lock(mutex_);
  wakeRequested_ = true;
  wakeWorkerLocked();
}

bool zevsite::EventSender::flushAttempt(SteadyClock::time_point deadline) {
  zevsite::UniqueMutexLock lock(mutex_);
  if (finished_) return true;
  const std::uint64_t wanted = attemptsStarted_ + 1;
  forceAttempt_ = true;
  wakeRequested_ = true;
  wakeWorkerLocked();
  return zevsite::awaitWorkers(
      worker_.get(), attemptCondition_, mutex_, deadline,
      [&]() ZEVSITE_REQUIRES(mutex_) { return attemptsFinished_ >= wanted || finished_; });
}

bool zevsite::EventSender::waitUntilIdle(SteadyClock::time_point deadline) {
  zevsite::UniqueMutexLock lock(mutex_);
  return zevsite::awaitWorkers(
      worker_.get(), attemptCondition_, mutex_, deadline, [&]() ZEVSITE_REQUIRES(mutex_) {
        return finished_ ||
               (attemptsStarted_ == attemptsFinished_ && !wakeRequested_ && !forceAttempt_);
      });
}

bool zevsite::EventSender::shutdown(SteadyClock::time_point deadline) {
  zevsite::UniqueMutexLock lock(mutex_);
  stopping_ = true;
  if (worker_) worker_->wake();
  lock.unlock();
  transport_->abort();
  lock.lock();
  const bool ended =
      zevsite::awaitWorkers(worker_.get(), attemptCondition_, mutex_, deadline,
                            [&]() ZEVSITE_REQUIRES(mutex_) { return finished_ || !worker_; });
  zevsite::Worker* worker = worker_.get();
  lock.unlock();
  // Once the step returned stop, the worker is never replaced (stopping_), so it stays valid.
  if (ended && worker) worker->join();
  return ended;
}

std::optional<zevsite::NextRun> zevsite::EventSender::waitingLocked() {
  if (stopping_ || forceAttempt_) return std::nullopt;
  // New events wait for the end of a backoff; while polling the network they go at once.
  if (wakeRequested_ && !(retryAt_ && backingOff_)) return std::nullopt;
  const auto now = ZEVSitePlatform::current().monotonicNow();
  if (!retryAt_ && gatherUntil_) {
    // Events gather for the dispatch interval; every wake-up meanwhile is an attempt (it
    // sends once a full batch is stored).
    if (now >= *gatherUntil_) return std::nullopt;
    return zevsite::NextRun::after(*gatherUntil_);
  }
  if (!retryAt_) return zevsite::NextRun::whenWoken();
  if (now >= *retryAt_) return std::nullopt;
  return zevsite::NextRun::after(*retryAt_);
}

zevsite::NextRun zevsite::EventSender::step() {
  zevsite::UniqueMutexLock lock(mutex_);
  if (auto waiting = waitingLocked()) return *waiting;
  if (stopping_) {
    finished_ = true;
    attemptCondition_.notify_all();
    return zevsite::NextRun::stop();
  }
  const bool forced = forceAttempt_;
  wakeRequested_ = false;
  forceAttempt_ = false;
  ++attemptsStarted_;
  lock.unlock();
  Next next = Next::Retry;
  try {
    next = attempt(forced);
  } catch (const std::exception& error) {
    ++uploadFailures_;
    ZEVSiteLoger::adLog("[Site] event upload failed: %@", error);
    retryDelay_ = zevsite::backoffDelay(++failures_, zevsite::randomUInt64());
  }
  if (next == Next::Idle) {
    gatherStart_.reset();
    gatherUntil_.reset();
  }
  const auto now = ZEVSitePlatform::current().monotonicNow();
  lock.lock();
  ++attemptsFinished_;
  backingOff_ = next == Next::Retry;  // a store retry is cut short by the next commit
  if (next == Next::Idle || next == Next::Gather) {
    retryAt_.reset();
  } else {
    // Both delays are bounded (minutes, an hour at most), so the sum cannot overflow.
    retryAt_ = now + (next == Next::Poll ? kNetworkPollInterval : retryDelay_);
  }
  attemptCondition_.notify_all();
  return zevsite::NextRun::now();
}

bool zevsite::EventSender::networkMatches() {
  // Read here, on the sender's thread: never on a host's tracking call.
  const int flags = settings_.networkConditions();
  zevsite::MutexLock lock(mutex_);
  for (int condition : sendConditions_) {
    if (condition & flags) return true;
  }
  return false;
}

void zevsite::EventSender::reclaimDeadLeases() {
  auto now = ZEVSitePlatform::current().monotonicNow();
  if (now - lastReclaim_ < kReclaimInterval) return;
  lastReclaim_ = now;
  const std::int64_t nowMillis = ZEVSitePlatform::current().currentTimeMillis();
  storage_->withStore([&](zevsite::EventStore& store) {
    for (std::int64_t token : store.activeLeaseTokens(nowMillis)) {
      if (!zevsite::process::isAlive(token >> kTokenCounterBits)) store.releaseToken(token);
    }
  });
}

zevsite::EventSender::Next zevsite::EventSender::attempt(bool forced) {
  const std::optional<std::string> collectURL = settings_.collectURL();
  if (!collectURL || collectURL->empty()) return Next::Idle;  // setCollectURL wakes us
  if (!settings_.trackingEnabled()) return Next::Idle;        // switching on wakes us
  reclaimDeadLeases();
  if (!networkMatches()) {
    // Polls unless the store is known to be empty: an unreadable one may hold events.
    return storedCount().value_or(1) > 0 ? Next::Poll : Next::Idle;
  }
  if (!forced) {
    switch (gathering()) {
      case Gathering::Wait:
        return Next::Gather;
      case Gathering::NothingStored:
        return Next::Idle;
      case Gathering::Send:
        break;
    }
  }
  return sendBatches(*collectURL);
}

std::optional<std::size_t> zevsite::EventSender::storedCount() {
  std::optional<std::size_t> stored;
  storage_->withStore([&](zevsite::EventStore& store) { stored = store.count(); });
  return stored;
}

zevsite::EventSender::Gathering zevsite::EventSender::gathering() {
  const std::chrono::milliseconds interval = settings_.dispatchInterval();
  if (interval.count() <= 0) return Gathering::Send;
  const auto now = ZEVSitePlatform::current().monotonicNow();
  // A retry after a failed upload finds the window over already: it does not gather again.
  if (gatherUntil_ && now >= *gatherUntil_) return Gathering::Send;
  const std::optional<std::size_t> stored = storedCount();
  if (!stored) return Gathering::Send;  // unknown: sending reads what there is
  if (*stored == 0) return Gathering::NothingStored;
  if (*stored >= kBatchSize) return Gathering::Send;
  if (!gatherStart_) gatherStart_ = now;
  // Measured from the start each time, so a shorter interval set meanwhile counts at once.
  gatherUntil_ = *gatherStart_ + interval;
  return now < *gatherUntil_ ? Gathering::Wait : Gathering::Send;
}

bool zevsite::EventSender::maySend(const Batch& batch) const {
  return settings_.trackingEnabled() && storage_->deletionsRequested() == batch.deletions &&
         !storage_->deletionPending();
}

void zevsite::EventSender::endLease(const zevsite::LeaseEnd& end) {
  bool ended = false;
  storage_->withStore([&](zevsite::EventStore& store) { ended = store.endLease(end); });
  if (!ended) unfinishedLeaseEnds_.push_back(end);
}

std::optional<zevsite::EventSender::Batch> zevsite::EventSender::leaseBatch(
    std::chrono::milliseconds timeout) {
  const std::int64_t nowMillis = ZEVSitePlatform::current().currentTimeMillis();
  Batch batch;
  batch.token = (zevsite::process::currentId() << kTokenCounterBits) |
                (++batchCounter_ & ((1 << kTokenCounterBits) - 1));
  batch.deletions = storage_->deletionsRequested();  // read before the lease: see maySend
  std::optional<std::vector<zevsite::StoredEvent>> leased;
  storage_->withStore([&](zevsite::EventStore& store) {
    std::erase_if(unfinishedLeaseEnds_,
                  [&](const zevsite::LeaseEnd& end) { return store.endLease(end); });
    // The lease outlives any request of ours, so it only lapses if this process dies.
    leased = store.leaseOldest(
        batchSize_, batch.token, nowMillis,
        zevsite::time::saturatingAdd(
            nowMillis, zevsite::time::saturatingAdd(
                           zevsite::time::saturatingMul(timeout.count(), 2), 30'000)));
  });
  if (!leased) return std::nullopt;
  batch.events = std::move(*leased);
  return batch;
}

void zevsite::EventSender::prepareRequest(Batch& batch, const std::string& collectURL) {
  if (batch.request) return;
  std::vector<std::string> uploads;
  uploads.reserve(batch.events.size());
  const std::int64_t seenNow = storage_->seenMillisNow();
  const std::int64_t wallNow = ZEVSitePlatform::current().currentTimeMillis();
  for (auto& event : batch.events) {
    const std::optional<std::int64_t> happened = zevsite::correctedEventTime(
        event.createdMillis, zevsite::time::saturatingSub(seenNow, event.seenMillis), wallNow);
    uploads.push_back(happened ? zevsite::withEventTime(event.body, *happened)
                               : std::move(event.body));
  }
  batch.request = zevsite::buildUploadRequest(collectURL, uploads, settings_.compression());
}

zevsite::LeaseEnd zevsite::EventSender::leaseEnd(const Batch& batch, bool deleteEvents) {
  return {batch.token, batch.events.front().rowId, batch.events.back().rowId, deleteEvents};
}

bool zevsite::EventSender::stopping() {
  zevsite::MutexLock lock(mutex_);
  return stopping_;
}

zevsite::EventSender::Next zevsite::EventSender::retryStoreLater() {
  // A lease that failed is the store's fault, not the collector's: no upload backoff.
  retryDelay_ = zevsite::storeRetryDelay(++storeFailures_);
  return Next::StoreRetry;
}

zevsite::EventSender::Next zevsite::EventSender::sendBatches(const std::string& collectURL) {
  const std::chrono::milliseconds timeout = settings_.requestTimeout();
  std::optional<Batch> pending = leaseBatch(timeout);
  if (!pending) return retryStoreLater();
  storeFailures_ = 0;
  for (;;) {
    if (stopping()) {
      if (!pending->events.empty()) endLease(leaseEnd(*pending, false));
      return Next::Idle;
    }
    if (pending->events.empty()) {
      batchSize_ = kBatchSize;
      return Next::Idle;
    }
    if (!maySend(*pending)) {
      // Deleted since it was leased (the rows are gone or about to go), or the user opted
      // out: not sent. After a finished deletion, what was stored since goes out.
      endLease(leaseEnd(*pending, false));
      if (!settings_.trackingEnabled() || storage_->deletionPending()) return Next::Idle;
      pending = leaseBatch(timeout);
      if (!pending) return retryStoreLater();
      continue;
    }
    // While this batch is on the wire, the next one is leased and its request built: the
    // store's transaction, the compression and the round trip overlap. A delivered batch is
    // deleted as soon as its answer is in, so a crash can repeat only the batch in flight.
    startUpload(*pending, collectURL, timeout);
    std::optional<Batch> next = leaseBatch(timeout);
    if (next && !next->events.empty()) prepareRequest(*next, collectURL);
    const zevsite::HttpResponse response = transport_->finish();
    if (auto stop = reactToAnswer(*pending, response, next)) return *stop;
    // Events stored while the batch was on the wire count too: lease again when the
    // overlapped lease found nothing (or failed).
    if (!next || next->events.empty()) next = leaseBatch(timeout);
    if (!next) return retryStoreLater();
    pending = std::move(next);
  }
}

void zevsite::EventSender::startUpload(Batch& batch, const std::string& collectURL,
                                       std::chrono::milliseconds timeout) {
  prepareRequest(batch, collectURL);
  batch.request->headers.push_back(kSentAtHeader +
                                   std::to_string(ZEVSitePlatform::current().currentTimeMillis()));
  transport_->start(std::move(*batch.request),
                    std::min<std::chrono::milliseconds>(timeout, std::chrono::seconds(10)),
                    timeout);
}

std::optional<zevsite::EventSender::Next> zevsite::EventSender::reactToAnswer(
    const Batch& sent, const zevsite::HttpResponse& response, std::optional<Batch>& next) {
  auto releaseNext = [&] {
    if (next && !next->events.empty()) endLease(leaseEnd(*next, false));
    next.reset();
  };
  const long status = response.status;
  const zevsite::UploadReaction reaction = zevsite::reactToUpload(
      status, response.retryAfter, failures_, sent.events.size(),
      ZEVSitePlatform::current().currentTimeSeconds(), zevsite::randomUInt64());
  switch (reaction.action) {
    case zevsite::UploadAction::Delete:
      failures_ = 0;
      endLease(leaseEnd(sent, true));
      storage_->eventsDeleted(sent.events.size());
      delivered_ += sent.events.size();
      lastUploadMillis_ = ZEVSitePlatform::current().currentTimeMillis();
      storage_->spaceFreed();
      return std::nullopt;
    case zevsite::UploadAction::Split:
      endLease(leaseEnd(sent, false));
      releaseNext();
      batchSize_ = std::max<std::size_t>(1, sent.events.size() / 2);
      return std::nullopt;
    case zevsite::UploadAction::Drop:
      endLease(leaseEnd(sent, true));
      storage_->eventsDeleted(sent.events.size());
      rejected_ += sent.events.size();
      if (status == 413) {
        ZEVSiteLoger::adLog("[Site] collector refused an event as too large (HTTP 413); dropped");
      } else {
        ZEVSiteLoger::adLog("[Site] collector refused %@ events with HTTP status %@; dropped",
                            sent.events.size(), status);
      }
      return std::nullopt;
    case zevsite::UploadAction::Wait:
      endLease(leaseEnd(sent, false));
      releaseNext();
      ++failures_;
      ++uploadFailures_;
      retryDelay_ = reaction.delay;
      if (stopping()) return Next::Idle;  // the request was abandoned by shutdown
      ZEVSiteLoger::adLog("[Site] event upload failed (%@); %@ events kept, retry in %@ ms",
                          status ? "HTTP " + std::to_string(status) : response.error,
                          sent.events.size(), retryDelay_.count());
      return Next::Retry;
  }
  return std::nullopt;
}
