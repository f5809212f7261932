#include "ReaderPool.h"

#include <algorithm>

void* ReaderPool::Run(void* pool) noexcept {
  ReaderPool& self = *static_cast<ReaderPool*>(pool);
  ScopedLock lock(self.mutex_);
  const int number = self.numbered_++;
  while (!self.stopping_) {
    if (number >= self.active_) {
      self.activeChanged_.Wait(self.mutex_);
      continue;
    }
    void* const job = self.work_.takeLocked(self.work_.context);
    if (job == nullptr) {
      ++self.idle_;
      self.jobsCame_.Wait(self.mutex_);
      --self.idle_;
      continue;
    }
    self.mutex_.Unlock();
    self.work_.run(self.work_.context, job);
    self.mutex_.Lock();
    self.work_.finishLocked(self.work_.context, job);
  }
  return nullptr;
}

void ReaderPool::SetActiveLocked(int wanted) noexcept {
  wanted = std::clamp(wanted, 0, kMostReaders);
  // A reader started here waits for the lock, then takes the next number.
  while (started_ < wanted && !stopping_ && StartThread(threads_[started_], Run, this)) ++started_;
  const int active = std::min(wanted, started_);
  if (active < active_) {
    // Readers beyond the active ones must not wait for jobs, or a wake-up could go to one of them
    // in vain: they move over to activeChanged_.
    jobsCame_.Broadcast();
  } else {
    activeChanged_.Broadcast();
  }
  active_ = active;
}

void ReaderPool::WakeLocked(int count) noexcept {
  for (int woken = 0; woken < count && woken < idle_; ++woken) jobsCame_.Signal();
}

void ReaderPool::Stop() noexcept {
  {
    ScopedLock lock(mutex_);
    stopping_ = true;
    active_ = 0;
    jobsCame_.Broadcast();
    activeChanged_.Broadcast();
  }
  for (int reader = 0; reader < started_; ++reader) JoinThread(threads_[reader]);
  started_ = 0;
}
