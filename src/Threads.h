// Small handles over POSIX threads. The tool needs no library but the C library, so that its
// package depends on nothing else and a run stays small in memory (.ci/run checks it); the C++
// runtime library, where std::thread and std::condition_variable live, is not linked, so the tool
// holds the pthread objects itself. A call on them that fails is a bug in the caller: it ends the
// process with a message.
#pragma once

#include <pthread.h>

/// Writes "docgleaner: internal error: \a what failed" to standard error and aborts, unless
/// \a result, which a pthread call returned, is 0.
void CheckThreadCall(int result, const char* what) noexcept;

/// A mutex, unlocked at the start.
class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  ~Mutex() { CheckThreadCall(::pthread_mutex_destroy(&mutex_), "pthread_mutex_destroy"); }

  void Lock() noexcept { CheckThreadCall(::pthread_mutex_lock(&mutex_), "pthread_mutex_lock"); }
  void Unlock() noexcept { CheckThreadCall(::pthread_mutex_unlock(&mutex_), "pthread_mutex_unlock"); }

 private:
  friend class Condition;
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
};

/// Holds a mutex locked for the life of the scope.
class ScopedLock {
 public:
  explicit ScopedLock(Mutex& mutex) noexcept : mutex_(mutex) { mutex_.Lock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;
  ~ScopedLock() { mutex_.Unlock(); }

 private:
  Mutex& mutex_;
};

/// A condition variable to wait on with a locked Mutex.
class Condition {
 public:
  Condition() = default;
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;
  ~Condition() { CheckThreadCall(::pthread_cond_destroy(&condition_), "pthread_cond_destroy"); }

  /// Unlocks \a mutex, which the caller holds, until woken; holds it again on return. May return
  /// without a wake-up: callers wait in a loop on what they wait for.
  void Wait(Mutex& mutex) noexcept {
    CheckThreadCall(::pthread_cond_wait(&condition_, &mutex.mutex_), "pthread_cond_wait");
  }
  void Signal() noexcept { CheckThreadCall(::pthread_cond_signal(&condition_), "pthread_cond_signal"); }
  void Broadcast() noexcept {
    CheckThreadCall(::pthread_cond_broadcast(&condition_), "pthread_cond_broadcast");
  }

 private:
  pthread_cond_t condition_ = PTHREAD_COND_INITIALIZER;
};

/// Starts \a run with \a argument on a new thread with a small stack; returns false where no
/// thread can be had (thread or address-space limits).
bool StartThread(pthread_t& thread, void* (*run)(void*), void* argument) noexcept;

/// Waits for \a thread, started by StartThread() and not yet joined, to end.
void JoinThread(pthread_t thread) noexcept;

/// Returns how many processors this process may run on, at least 1.
int UsableProcessors() noexcept;
