// The SDK's background workers (the event writer, the sender, the configuration refresh) as
// step functions: a step does what is due and says when it wants to run again. The platform
// starts them: the real platform runs each on a thread of its own, waiting between steps on
// the platform's clock; a test platform may run the due steps on the test's own thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace zevsite {

// When a worker's step wants to run next.
struct NextRun {
  enum class Kind {
    Now,        // at once: there may be more to do
    WhenWoken,  // only once someone calls wake()
    At,         // at `at` on the platform's monotonic clock, or when woken before
    Stop,       // never again: the worker ends
  };
  Kind kind = Kind::WhenWoken;
  std::chrono::steady_clock::time_point at{};

  static NextRun now() { return {Kind::Now, {}}; }
  static NextRun whenWoken() { return {Kind::WhenWoken, {}}; }
  static NextRun after(std::chrono::steady_clock::time_point at) { return {Kind::At, at}; }
  static NextRun stop() { return {Kind::Stop, {}}; }
};

using WorkerStep = std::function<NextRun()>;

// The name of the worker whose step or wait runs on this thread ("" elsewhere): the thread
// workers set it, and name their threads so (as a debugger or top shows them).
const char* currentWorkerName() noexcept;
void setCurrentWorkerName(const char* name) noexcept;

// A started worker. Its step never runs on two threads at once, and a wake() that comes while
// a step runs makes the step run once more after it.
class Worker {
 public:
  virtual ~Worker() = default;
  // Runs the step soon. Any thread, never blocks long; never from inside a step of the
  // same platform's inline driver (it only marks the worker due there).
  virtual void wake() = 0;
  // Waits until the step returned stop. Not from the worker's own step.
  virtual void join() = 0;
  // Whether its steps run on the threads that wait for it (a test platform's driven worker)
  // rather than on a thread of its own: see awaitWorkers.
  virtual bool runsInline() { return false; }
};

}  // namespace zevsite
