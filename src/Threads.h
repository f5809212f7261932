// Small handles over POSIX threads. The tool links no C++ runtime library, whose thread and
// condition variable classes live in that library, so it holds the pthread objects itself.
#pragma once

#include <pthread.h>

/// A mutex, unlocked at the start.
class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  ~Mutex() { ::pthread_mutex_destroy(&mutex_); }

  void Lock() noexcept { ::pthread_mutex_lock(&mutex_); }
  void Unlock() noexcept { ::pthread_mutex_unlock(&mutex_); }

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
  ~Condition() { ::pthread_cond_destroy(&condition_); }

  /// Unlocks \a mutex, which the caller holds, until woken; holds it again on return.
  void Wait(Mutex& mutex) noexcept { ::pthread_cond_wait(&condition_, &mutex.mutex_); }
  void Signal() noexcept { ::pthread_cond_signal(&condition_); }
  void Broadcast() noexcept { ::pthread_cond_broadcast(&condition_); }

 private:
  pthread_cond_t condition_ = PTHREAD_COND_INITIALIZER;
};

/// Starts \a run with \a argument on a new thread with a small stack; returns false where no
/// thread can be had (thread or address-space limits).
bool StartThread(pthread_t& thread, void* (*run)(void*), void* argument) noexcept;

/// Waits for \a thread, started by StartThread() and not yet joined, to end; aborts otherwise.
void JoinThread(pthread_t thread) noexcept;

/// Returns how many processors this process may run on, at least 1.
int UsableProcessors() noexcept;
