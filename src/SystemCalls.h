// The system calls that fetch and read entries, as a table: the tool makes them through
// kLibraryCalls, and tests through a table of their own, to fail or shorten any of them; and the
// one rule for trying them again.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cerrno>
#include <cstddef>

/// The calls an entry is opened, examined and read with, each as the C library's of that name.
struct SystemCalls {
  int (*openat)(int folderFd, const char* name, int flags);
  int (*statx)(int fd, const char* path, int flags, unsigned int mask, struct statx* status);
  int (*fstat)(int fd, struct stat* status);
  ssize_t (*read)(int fd, void* into, std::size_t size);
};

/// The C library's calls.
extern const SystemCalls kLibraryCalls;

/// How often the block copy tries a read again that met a passing fault. Entries are opened with
/// O_NONBLOCK, so that a pipe cannot stall the run; with it, some network and FUSE file systems
/// fail a regular file's read with EAGAIN for a moment. Opens and first reads are not tried again
/// after EAGAIN: from an open it means a want of resources, which the walk meets by giving up
/// what it holds ahead, and a first read that failed is made again by the block copy.
inline constexpr int kPassingFaultRetries = 7;

/// Makes \a call, which returns a negative value and sets errno where it fails, again whenever it
/// was interrupted (EINTR), and up to \a passingFaultRetries times where it met a passing fault
/// (EAGAIN), after waits that double from 1 ms; returns what the last try returned.
template <typename Call>
auto CallWithRetries(Call call, int passingFaultRetries = 0) noexcept -> decltype(call()) {
  long waitNanoseconds = 1000000;
  for (int retries = 0;;) {
    const auto result = call();
    if (result >= 0) return result;
    if (errno == EINTR) continue;
    if (errno != EAGAIN || retries++ == passingFaultRetries) return result;
    const timespec wait{0, waitNanoseconds};
    ::nanosleep(&wait, nullptr);
    waitNanoseconds *= 2;
  }
}
