// The SDK's lock types, annotated for clang's thread-safety analysis (-Wthread-safety).
//
// A field says which lock guards it (ZEVSITE_GUARDED_BY), a function which locks it expects
// held (ZEVSITE_REQUIRES), and clang checks every use at compile time. Other compilers see
// plain wrappers of std::mutex: the macros expand to nothing there. The macros carry the
// SDK's prefix so they never collide with a host's own.
//
// Where the analysis cannot follow a correct pattern (a lock released and re-taken by a helper
// through its caller's guard, the fork handlers), the narrowest function is marked
// ZEVSITE_NO_THREAD_SAFETY_ANALYSIS with a one-line reason.
#pragma once

#include <mutex>

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

// Holds a Mutex, as std::unique_lock does: it may be released and taken again, and native()
// gives the std::unique_lock for condition-variable waits (std::condition_variable::wait and
// the platform's waitUntil), which return with the lock held again.
class ZEVSITE_SCOPED_CAPABILITY UniqueMutexLock {
 public:
  explicit UniqueMutexLock(Mutex& mutex) ZEVSITE_ACQUIRE(mutex) : lock_(mutex.native()) {}
  ~UniqueMutexLock() ZEVSITE_RELEASE() {}  // std::unique_lock releases it if still held
  UniqueMutexLock(const UniqueMutexLock&) = delete;
  UniqueMutexLock& operator=(const UniqueMutexLock&) = delete;

  void lock() ZEVSITE_ACQUIRE() { lock_.lock(); }
  void unlock() ZEVSITE_RELEASE() { lock_.unlock(); }

  std::unique_lock<std::mutex>& native() noexcept { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace zevsite
