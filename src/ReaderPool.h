// A pool of reader threads that start, park, wake and stop as their user says; what they read,
// and in what order, is the user's.
//
// The pool works under its user's mutex, which guards the user's state and the pool's alike: the
// calls named ...Locked are made with it held. A reader numbered below the active count asks the
// user for a job (take, with the mutex held), does it (run, without), and tells the user (finish,
// with it held again); with no job to take it waits until woken, or until the active count
// changes. Readers numbered at or past the active count are parked. Stop() ends them all.
#pragma once

#include <pthread.h>

#include <type_traits>

#include "Threads.h"

/// What the readers do, as three calls on the user's context.
struct ReaderWork {
  void* context;
  /// With the mutex held: returns the next job, or nullptr where there is none now.
  void* (*takeLocked)(void* context) noexcept;
  /// Without the mutex: does the job.
  void (*run)(void* context, void* job) noexcept;
  /// With the mutex held: the job is done.
  void (*finishLocked)(void* context, void* job) noexcept;

  /// The work of \a user, whose TakeLocked() returns a Job* or nullptr, and whose RunJob(Job&) and
  /// FinishLocked(Job&) do a job and end it: each call goes to the member that takes its type.
  template <typename User>
  static ReaderWork Of(User& user) noexcept {
    using Job = std::remove_pointer_t<decltype(user.TakeLocked())>;
    return {&user, [](void* context) noexcept -> void* { return static_cast<User*>(context)->TakeLocked(); },
            [](void* context, void* job) noexcept {
              static_cast<User*>(context)->RunJob(*static_cast<Job*>(job));
            },
            [](void* context, void* job) noexcept {
              static_cast<User*>(context)->FinishLocked(*static_cast<Job*>(job));
            }};
  }
};

/// Up to kMostReaders threads that do a user's work.
class ReaderPool {
 public:
  static constexpr int kMostReaders = 16;

  /// Readers that do \a work under \a mutex, which must outlive the pool; none started yet.
  ReaderPool(Mutex& mutex, ReaderWork work) noexcept : mutex_(mutex), work_(work) {}
  ReaderPool(const ReaderPool&) = delete;
  ReaderPool& operator=(const ReaderPool&) = delete;
  /// Stops the readers.
  ~ReaderPool() { Stop(); }

  /// With the mutex held, on the thread that owns the pool: lets \a wanted readers (at most
  /// kMostReaders) take work, starting those not running yet where threads can be had, and parks
  /// the others; ActiveLocked() tells how many that made.
  void SetActiveLocked(int wanted) noexcept;
  /// With the mutex held: wakes up to \a count readers that wait for a job.
  void WakeLocked(int count) noexcept;
  /// Without the mutex, on the thread that owns the pool: ends every reader and waits for it.
  void Stop() noexcept;
  /// With the mutex held: how many readers may take work.
  int ActiveLocked() const noexcept { return active_; }
  /// On the thread that owns the pool: how many readers run, parked or not.
  int Started() const noexcept { return started_; }

 private:
  static void* Run(void* pool) noexcept;

  Mutex& mutex_;
  const ReaderWork work_;
  // The thread that owns the pool only.
  pthread_t threads_[kMostReaders];
  int started_ = 0;  // started and not joined
  // Guarded by mutex_.
  Condition jobsCame_;       // active readers without a job wait here
  Condition activeChanged_;  // parked readers wait here
  int active_ = 0;           // readers numbered below it may take jobs; all have started
  int numbered_ = 0;         // readers that have taken their number
  int idle_ = 0;             // active readers waiting on jobsCame_
  bool stopping_ = false;    // every reader is to end
};
