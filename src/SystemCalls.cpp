#include "SystemCalls.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

// openat takes a mode only with O_CREAT, which no entry is opened with.
int OpenAt(int folderFd, const char* name, int flags) {
  return ::openat(folderFd, name, flags);
}

}  // namespace

const SystemCalls kLibraryCalls = {OpenAt, ::statx, ::fstat, ::read};
