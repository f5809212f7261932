// The tool as the run tests also run it. "--alternate" before its arguments makes the walk deep
// from the start, then shallow and deep in turn every few entries; "--count-reads" makes it write
// to standard output, after the run, how many reads threads other than the main one made. Built as the tool
// is, with no C++ runtime, so that it runs under the same limits.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FolderParser.h"

namespace {

// Returns the count of read calls that the /proc "io" file at \a path gives, or -1.
long ReadCalls(const char* path) {
  char text[1024] = {};
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  const ssize_t got = fd >= 0 ? ::read(fd, text, sizeof text - 1) : -1;
  if (fd >= 0) ::close(fd);
  const char* field = got > 0 ? std::strstr(text, "syscr:") : nullptr;
  return field != nullptr ? std::strtol(field + 6, nullptr, 10) : -1;
}

}  // namespace

int main(int argc, char* argv[]) {
  Depth depth = Depth::kFollowStorage;
  bool countReads = false;
  for (; argc > 1 && std::strncmp(argv[1], "--", 2) == 0; --argc, ++argv) {
    if (std::strcmp(argv[1], "--alternate") == 0) depth = Depth::kAlternating;
    if (std::strcmp(argv[1], "--count-reads") == 0) countReads = true;
    argv[1] = argv[0];
  }
  const int status = RunFolderParser(argc, argv, depth);
  if (countReads) {
    // The process's count includes the threads that have ended. Read after it, the main thread's
    // own count includes the one read that took the process's.
    const long processReads = ReadCalls("/proc/self/io");
    std::printf("%ld\n", processReads - (ReadCalls("/proc/thread-self/io") - 1));
  }
  return status;
}
