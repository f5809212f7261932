#include "Threads.h"

#include <sched.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

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

void CheckThreadCall(int result, const char* what) noexcept {
  if (result == 0) return;
  // Written in pieces with write(2): nothing here may allocate or take a lock.
  const char* const pieces[] = {"docgleaner: internal error: ", what, " failed\n"};
  for (const char* piece : pieces) {
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, piece, std::strlen(piece));
  }
  std::abort();
}

void JoinThread(pthread_t thread) noexcept {
  CheckThreadCall(::pthread_join(thread, nullptr), "pthread_join");
}

int UsableProcessors() noexcept {
  cpu_set_t processors;
  if (::sched_getaffinity(0, sizeof processors, &processors) != 0) return 1;
  const int count = CPU_COUNT(&processors);
  return count > 0 ? count : 1;
}
