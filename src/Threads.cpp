#include "Threads.h"

#include <sched.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>

namespace {

// The helper threads only make system calls into buffers they are given; a small stack keeps
// them cheap and lets them start under tight address-space limits.
constexpr std::size_t kStackSize = 128 * 1024;

}  // namespace

bool StartThread(pthread_t& thread, void* (*run)(void*), void* argument) noexcept {
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0) return false;
  const bool started = ::pthread_attr_setstacksize(&attributes, kStackSize) == 0 &&
                       ::pthread_create(&thread, &attributes, run, argument) == 0;
  ::pthread_attr_destroy(&attributes);
  return started;
}

void JoinThread(pthread_t thread) noexcept {
  // A thread joined twice, or never started, is a bug in the caller: stop before it does harm.
  if (::pthread_join(thread, nullptr) != 0) {
    static constexpr char kMessage[] = "docgleaner: internal error: a thread cannot be joined\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    std::abort();
  }
}

int UsableProcessors() noexcept {
  cpu_set_t processors;
  if (::sched_getaffinity(0, sizeof processors, &processors) != 0) return 1;
  const int count = CPU_COUNT(&processors);
  return count > 0 ? count : 1;
}
