#include "ZEVSiteWorker.h"
#include "ZEVSitePlatform.h"

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

thread_local const char* workerName = "";

// A worker on a thread of its own. The thread runs the step, then waits (on the platform's
// clock, through its waitUntil) until woken or until the time the step asked for.
class ThreadWorker final : public zevsite::Worker {
 public:
  ThreadWorker(ZEVSitePlatform& platform, const char* name, zevsite::WorkerStep step)
      : platform_(platform), name_(name), step_(std::move(step)) {}
  ~ThreadWorker() override { join(); }

  void start() {
    thread_ = platform_.startThread([this] { run(); });
  }

  void wake() override {
    {
      std::lock_guard lock(mutex_);
      woken_ = true;
    }
    condition_.notify_one();
  }

  void join() override {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  }

 private:
  void run() {
    zevsite::setCurrentWorkerName(name_);
    // At most 15 characters; a longer name is simply not shown.
    (void)pthread_setname_np(pthread_self(), name_);
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        woken_ = false;  // a wake-up from here on runs the step once more
      }
      const zevsite::NextRun next = step_();
      if (next.kind == zevsite::NextRun::Kind::Stop) return;
      if (next.kind == zevsite::NextRun::Kind::Now) continue;
      std::unique_lock lock(mutex_);
      while (!woken_) {
        if (next.kind == zevsite::NextRun::Kind::WhenWoken) {
          condition_.wait(lock);
        } else {
          if (platform_.monotonicNow() >= next.at) break;
          platform_.waitUntil(condition_, lock, next.at);
        }
      }
    }
  }

  ZEVSitePlatform& platform_;
  const char* const name_;  // a string literal
  const zevsite::WorkerStep step_;
  // Guards woken_; taken by wake() (any thread) and by the worker's thread between steps.
  std::mutex mutex_;
  std::condition_variable condition_;  // the worker's thread waits here between steps
  bool woken_ = false;
  // The worker's thread: joined by join() or the destructor once the step returned stop.
  std::thread thread_;
};

}  // namespace

const char* zevsite::currentWorkerName() noexcept { return workerName; }

void zevsite::setCurrentWorkerName(const char* name) noexcept { workerName = name ? name : ""; }

std::unique_ptr<zevsite::Worker> zevsite::startThreadWorker(ZEVSitePlatform& platform,
                                                            const char* name,
                                                            zevsite::WorkerStep step) {
  auto worker = std::make_unique<ThreadWorker>(platform, name, std::move(step));
  worker->start();
  return worker;
}

std::unique_ptr<zevsite::Worker> ZEVSitePlatform::startWorker(const char* name,
                                                              zevsite::WorkerStep step) {
  return zevsite::startThreadWorker(*this, name, std::move(step));
}
