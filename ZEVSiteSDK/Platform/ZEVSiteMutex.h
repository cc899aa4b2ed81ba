// The SDK's lock types, annotated for clang's thread-safety analysis (-Wthread-safety).
//
// A field says which lock guards it (ZEVSITE_GUARDED_BY), a function which locks it expects
// held (ZEVSITE_REQUIRES), and clang checks every use at compile time. Other compilers see
// plain wrappers of std::mutex: the macros expand to nothing there. The macros carry the
// SDK's prefix so they never collide with a host's own.
//
// A helper that works for a while without its caller's lock says so with MutexUnlock, and
// condition variables wait on a Mutex itself (ConditionVariable), so the analysis follows
// both. Only the fork handlers, which take and release every lock of the process at once,
// are marked ZEVSITE_NO_THREAD_SAFETY_ANALYSIS, each with a one-line reason.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#if defined(__clang__)
#define ZEVSITE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZEVSITE_THREAD_ANNOTATION(x)
#endif

#define ZEVSITE_CAPABILITY(x) ZEVSITE_THREAD_ANNOTATION(capability(x))
#define ZEVSITE_SCOPED_CAPABILITY ZEVSITE_THREAD_ANNOTATION(scoped_lockable)
#define ZEVSITE_GUARDED_BY(x) ZEVSITE_THREAD_ANNOTATION(guarded_by(x))
#define ZEVSITE_PT_GUARDED_BY(x) ZEVSITE_THREAD_ANNOTATION(pt_guarded_by(x))
#define ZEVSITE_REQUIRES(...) ZEVSITE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ZEVSITE_ACQUIRE(...) ZEVSITE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZEVSITE_RELEASE(...) ZEVSITE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ZEVSITE_TRY_ACQUIRE(...) ZEVSITE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ZEVSITE_EXCLUDES(...) ZEVSITE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ZEVSITE_RETURN_CAPABILITY(x) ZEVSITE_THREAD_ANNOTATION(lock_returned(x))
#define ZEVSITE_NO_THREAD_SAFETY_ANALYSIS ZEVSITE_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace zevsite {

// std::mutex, as a capability the analysis tracks. Where a lock is declared, its comment says
// who takes it and what it guards, as for any lock of the SDK.
class ZEVSITE_CAPABILITY("mutex") Mutex {
  static constexpr int kSpinAttempts = 100;
  static void pauseBriefly() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // Spins briefly before it sleeps: the SDK's critical sections are short (a host thread
  // staging an event holds its lock for a copy of a few hundred bytes), and a thread put to
  // sleep behind one waits for the scheduler far longer than the section lasts.
  void lock() ZEVSITE_ACQUIRE() {
    for (int attempt = 0; attempt < kSpinAttempts; ++attempt) {
      if (mutex_.try_lock()) return;
      pauseBriefly();
    }
    mutex_.lock();
  }
  void unlock() ZEVSITE_RELEASE() { mutex_.unlock(); }
  bool try_lock() ZEVSITE_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  // The std::mutex itself, for fork-safety registration; the analysis does not see locks
  // taken through it.
  std::mutex& native() noexcept { return mutex_; }

 private:
  std::mutex mutex_;
};

// std::recursive_mutex, as a capability. The analysis does not model re-entry: a function that
// takes the lock twice itself is reported, while re-entry through a called function (the
// reason for a recursive lock) is not seen and so stays allowed.
class ZEVSITE_CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() ZEVSITE_ACQUIRE() { mutex_.lock(); }
  void unlock() ZEVSITE_RELEASE() { mutex_.unlock(); }
  bool try_lock() ZEVSITE_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  std::recursive_mutex& native() noexcept { return mutex_; }

 private:
  std::recursive_mutex mutex_;
};

// Holds a Mutex for its lifetime, as std::lock_guard does.
class ZEVSITE_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ZEVSITE_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() ZEVSITE_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Holds a RecursiveMutex for its lifetime, as std::lock_guard does.
class ZEVSITE_SCOPED_CAPABILITY RecursiveMutexLock {
 public:
  explicit RecursiveMutexLock(RecursiveMutex& mutex) ZEVSITE_ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.lock();
  }
  ~RecursiveMutexLock() ZEVSITE_RELEASE() { mutex_.unlock(); }
  RecursiveMutexLock(const RecursiveMutexLock&) = delete;
  RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

 private:
  RecursiveMutex& mutex_;
};

// Holds a Mutex, as std::unique_lock does: it may be released and taken again.
class ZEVSITE_SCOPED_CAPABILITY UniqueMutexLock {
 public:
  explicit UniqueMutexLock(Mutex& mutex) ZEVSITE_ACQUIRE(mutex) : lock_(mutex.native()) {}
  ~UniqueMutexLock() ZEVSITE_RELEASE() {}  // std::unique_lock releases it if still held
  UniqueMutexLock(const UniqueMutexLock&) = delete;
  UniqueMutexLock& operator=(const UniqueMutexLock&) = delete;

  void lock() ZEVSITE_ACQUIRE() { lock_.lock(); }
  void unlock() ZEVSITE_RELEASE() { lock_.unlock(); }

 private:
  std::unique_lock<std::mutex> lock_;
};

// Lets a held Mutex go for its lifetime and takes it again when it ends, also when an
// exception leaves the scope: how a function that requires a lock works a while without it
// (writing to disk, calling a listener). The caller's guard holds the lock again afterwards.
class ZEVSITE_SCOPED_CAPABILITY MutexUnlock {
 public:
  explicit MutexUnlock(Mutex& mutex) ZEVSITE_RELEASE(mutex) : mutex_(mutex) { mutex_.unlock(); }
  // Ending the scope is its release, which for an unlocking scope takes the Mutex back.
  ~MutexUnlock() ZEVSITE_RELEASE() { mutex_.lock(); }
  MutexUnlock(const MutexUnlock&) = delete;
  MutexUnlock& operator=(const MutexUnlock&) = delete;

 private:
  Mutex& mutex_;
};

// std::condition_variable bound to the Mutex a wait names: each wait requires the Mutex held,
// lets it go while it waits and returns with it held again, as the analysis sees it.
class ConditionVariable {
 public:
  void notify_one() noexcept { condition_.notify_one(); }
  void notify_all() noexcept { condition_.notify_all(); }

  void wait(Mutex& mutex) ZEVSITE_REQUIRES(mutex) {
    Adopted held(mutex);
    condition_.wait(held.lock);
  }
  template <class Predicate>
  void wait(Mutex& mutex, Predicate ready) ZEVSITE_REQUIRES(mutex) {
    Adopted held(mutex);
    condition_.wait(held.lock, std::move(ready));
  }
  // Until notified, `deadline` or a spurious return; false when the deadline passed.
  template <class Clock, class Duration>
  bool waitUntil(Mutex& mutex, std::chrono::time_point<Clock, Duration> deadline)
      ZEVSITE_REQUIRES(mutex) {
    Adopted held(mutex);
    return condition_.wait_until(held.lock, deadline) == std::cv_status::no_timeout;
  }
  // False when `deadline` passed with `ready` still false.
  template <class Clock, class Duration, class Predicate>
  bool waitUntil(Mutex& mutex, std::chrono::time_point<Clock, Duration> deadline, Predicate ready)
      ZEVSITE_REQUIRES(mutex) {
    Adopted held(mutex);
    return condition_.wait_until(held.lock, deadline, std::move(ready));
  }
  template <class Rep, class Period, class Predicate>
  bool waitFor(Mutex& mutex, std::chrono::duration<Rep, Period> timeout, Predicate ready)
      ZEVSITE_REQUIRES(mutex) {
    Adopted held(mutex);
    return condition_.wait_for(held.lock, timeout, std::move(ready));
  }
  // Runs a wait of another's making, such as the platform's clock-driven one, as
  // `wait(std::condition_variable&, std::unique_lock<std::mutex>&)` on this condition.
  template <class Wait>
  void waitWith(Mutex& mutex, Wait&& wait) ZEVSITE_REQUIRES(mutex) {
    Adopted held(mutex);
    std::forward<Wait>(wait)(condition_, held.lock);
  }

 private:
  // The caller's hold on `mutex` lent to a std::unique_lock for one wait, and kept by the
  // caller when it ends.
  struct Adopted {
    explicit Adopted(Mutex& mutex) : lock(mutex.native(), std::adopt_lock) {}
    ~Adopted() { lock.release(); }
    Adopted(const Adopted&) = delete;
    Adopted& operator=(const Adopted&) = delete;
    std::unique_lock<std::mutex> lock;
  };

  std::condition_variable condition_;
};

}  // namespace zevsite
