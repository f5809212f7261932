// The system calls that fetch and read entries, as a table: the tool makes them through
// kLibraryCalls, and tests through a table of their own, to fail or shorten any of them.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

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
