// The task queue of one manager: accepts upload strings from any thread, has them stored
// durably and sent to the collector when the network matches its send condition.
//
// Storing is shared: every queue of the process with the same home directory hands its
// events to one EventStorage (one SQLite store, one writer thread). addTask does no
// disk or network I/O on the caller's thread.
#pragma once

#include <ZEVSiteSDK/ZEVSiteSupport.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

namespace zevsite {
class EventStorage;
}  // namespace zevsite

class ZEVSiteTaskQueue {
  struct PassKey {};

 public:
  // A queue that sends while the network status matches `sendCondition` (a combination of
  // ZEVSiteNetworkCondition flags). Binds to the storage of the current home directory.
  static std::shared_ptr<ZEVSiteTaskQueue> initWithSendSendCondition(int sendCondition);
  ZEVSiteTaskQueue(PassKey, int sendCondition, std::shared_ptr<zevsite::EventStorage> storage);

  int sendCondition() const noexcept { return sendCondition_; }
  bool isExecuting() const noexcept { return executing_.load(std::memory_order_acquire); }

  // Starts the queue's processing of stored events: the process's sender now sends while
  // the network matches this queue's condition. Caller's thread, returns at once.
  void execute();
  // Accepts one upload string. Calls the event observer on this thread, then stages the
  // event for the writer, also when the observer throws (the first throw of an observer is
  // logged); while no collect URL is set, the first event kept so is logged too. Any thread,
  // several at once.
  void addTask(std::string_view uploadString, std::string_view eventName);

  // Calls the installed event observer, if any (shared by every queue).
  static void notifyObserver(std::string_view eventName, std::string_view uploadString);
  static void setEventObserver(ZEVSiteSupport::EventObserver observer);

 private:
  const int sendCondition_;
  const std::shared_ptr<zevsite::EventStorage> storage_;
  std::atomic<bool> executing_{false};
};
