#include "EntryFetch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "DepthPolicy.h"

namespace {

// Entries are opened without blocking, so that a named pipe without a writer cannot stall the run.
// That also lets some network and FUSE file systems fail a read with EAGAIN for a moment, which the
// block copy tries again (kPassingFaultRetries).
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// What a fetch learns of an open entry.
struct Attributes {
  bool regularFile;
  off_t size;
  dev_t device;
  ino_t inode;
};

// Learns what \a fd is. Unless \a synced, from what the kernel holds already: a network or FUSE file
// system fetched it with the open, and asking its server again would cost a round trip per entry
// (bench/run's "network-like" rows); a file's type never changes, and a size that is out of date
// only makes the block copy read on. Where the kernel lacks statx (before 4.11, or a sandbox that
// refuses it), fstat tells the same; glibc then fails statx with EINVAL rather than ENOSYS, as its
// stand-in takes no AT_STATX_DONT_SYNC, and a kernel that has statx takes every flag used here.
bool Examine(const SystemCalls& calls, int fd, bool synced, Attributes& attributes) noexcept {
  constexpr unsigned int kWanted = STATX_TYPE | STATX_SIZE | STATX_INO;
  struct statx status;
  const int flags = AT_EMPTY_PATH | (synced ? AT_STATX_SYNC_AS_STAT : AT_STATX_DONT_SYNC);
  if (calls.statx(fd, "", flags, kWanted, &status) == 0) {
    if ((status.stx_mask & kWanted) == kWanted) {
      attributes = {S_ISREG(status.stx_mode), static_cast<off_t>(status.stx_size),
                    makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino};
      return true;
    }
    // A file system may leave out what it cannot tell at once; fstat asks for all of it.
  } else if (errno != ENOSYS && errno != EINVAL) {
    return false;
  }
  struct stat fallback;
  if (calls.fstat(fd, &fallback) != 0) return false;
  attributes = {S_ISREG(fallback.st_mode), fallback.st_size, fallback.st_dev, fallback.st_ino};
  return true;
}

std::int64_t Now() noexcept {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

bool ForWantOfResources(int error) noexcept {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == EAGAIN;
}

bool EntryFetcher::GiveBuffer(EntrySlot& slot) noexcept {
  slot.buffer = static_cast<char*>(std::malloc(kSmallestFirstRead + kScanSlack));
  if (slot.buffer == nullptr) return false;
  slot.capacity = kSmallestFirstRead;
  bufferBytes_.fetch_add(kSmallestFirstRead, std::memory_order_relaxed);
  return true;
}

bool EntryFetcher::Open(EntrySlot& slot, bool ahead, off_t& size) noexcept {
  FolderEntry& entry = slot.entry;
  // Relative to the open folder: the same file as the folder text joined to the name with one "/",
  // without any limit on the joined length.
  entry.fd = CallWithRetries([&] { return calls_.openat(folderFd_, slot.name, kOpenFlags); });
  if (entry.fd < 0) {
    slot.openError = errno;
    // Only the fetch on hand-over decides that an entry did not open.
    if (!ahead) entry.state = EntryState::kNotOpened;
    return false;
  }
  // Whether to read is asked of the open file itself: the listing may be out of date, and a device
  // or a pipe behind a link could feed the run forever.
  Attributes attributes;
  bool examined = Examine(calls_, entry.fd, false, attributes);
  if (examined && attributes.regularFile && output_.IsOutputFile(attributes.device, attributes.inode)) {
    // The output file, listed in its own folder, is read as far as the run had written it when it
    // is handed over, every buffered byte included, whatever the buffers: the run never feeds on
    // its own lines. Only the main thread, which fills the buffers, can tell how far that is.
    if (ahead) {
      Drop(slot);
      return false;
    }
    output_.Flush();
    examined = Examine(calls_, entry.fd, true, attributes);
    if (examined) entry.start.sizeLimit = static_cast<std::uint64_t>(attributes.size);
  }
  if (!examined) {
    // What cannot be told apart from a device, or whose written part is unknown, cannot be read.
    // A prefetch leaves that to the fetch on hand-over to find out again.
    if (ahead) {
      Drop(slot);
      return false;
    }
    entry.state = EntryState::kUnexamined;
  } else {
    entry.state = attributes.regularFile ? EntryState::kRegularFile : EntryState::kNoLines;
  }
  if (entry.state == EntryState::kRegularFile) {
    size = attributes.size;
  } else {
    ::close(entry.fd);
    entry.fd = -1;
  }
  return true;
}

std::size_t EntryFetcher::FirstReadRoom(EntrySlot& slot, off_t size, std::uint64_t sizeLimit) noexcept {
  // One byte more than the size says, so that a read that comes short proves the end of the file
  // even where the size is out of date.
  std::size_t wanted = kFirstReadSize;
  if (size >= 0 && static_cast<std::uint64_t>(size) < kFirstReadSize) {
    wanted = std::max(static_cast<std::size_t>(size) + 1, kSmallestFirstRead);
  }
  if (sizeLimit < wanted) wanted = static_cast<std::size_t>(sizeLimit);
  if (wanted <= slot.capacity) return wanted;
  // A buffer grows, for good, while the budget lasts.
  const std::size_t growth = wanted - slot.capacity;
  if (bufferBytes_.fetch_add(growth, std::memory_order_relaxed) + growth > kFirstReadBudget) {
    bufferBytes_.fetch_sub(growth, std::memory_order_relaxed);
    return slot.capacity;
  }
  char* const grown = static_cast<char*>(std::realloc(slot.buffer, wanted + kScanSlack));
  if (grown == nullptr) {
    bufferBytes_.fetch_sub(growth, std::memory_order_relaxed);
    return slot.capacity;
  }
  slot.buffer = grown;
  slot.capacity = wanted;
  slot.bufferUsed = false;
  return wanted;
}

std::int64_t EntryFetcher::Fetch(EntrySlot& slot, bool ahead) noexcept {
  const std::int64_t started = Now();
  bool fresh = false;
  off_t size = 0;
  FolderEntry& entry = slot.entry;
  if (Open(slot, ahead, size) && entry.state == EntryState::kRegularFile && slot.buffer != nullptr) {
    const std::size_t wanted = FirstReadRoom(slot, size, entry.start.sizeLimit);
    const ssize_t got = CallWithRetries([&] { return calls_.read(entry.fd, slot.buffer, wanted); });
    if (got > 0 && !slot.bufferUsed) {
      slot.bufferUsed = true;
      fresh = true;
    }
    if (got >= 0) {
      std::memset(slot.buffer + got, 0, kScanSlack);
      entry.start.firstBytes = std::string_view(slot.buffer, static_cast<std::size_t>(got));
      // A regular file gives less than asked for only at its end, which its size confirms; where
      // the size lies, as of /proc and sysfs files (0 or 4096), the block copy reads on.
      entry.start.whole = got == 0 || (static_cast<std::size_t>(got) < wanted && got == size);
      if (entry.start.whole) {
        ::close(entry.fd);
        entry.fd = -1;
      }
    } else if (ahead) {
      // The entry is fetched again on hand-over, which alone may report a failure.
      Drop(slot);
    }
    // On hand-over, the block copy reads the entry from its start again, and reports a failure.
  }
  if (fresh || entry.start.sizeLimit != UINT64_MAX) return DepthPolicy::kNotTimed;
  return Now() - started;
}

void EntryFetcher::Drop(EntrySlot& slot) noexcept {
  if (slot.entry.fd >= 0) ::close(slot.entry.fd);
  slot.entry = FolderEntry{};
  slot.entry.name = slot.name;
}
