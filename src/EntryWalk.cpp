#include "EntryWalk.h"

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
#include <new>
#include <string_view>

namespace {

// Entries are opened without blocking, so that a named pipe without a writer cannot stall the run.
// That also lets some network and FUSE file systems fail a read with EAGAIN for a moment, which the
// block copy's ReadWithRetries() tries again.
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// An open that fails for want of descriptors or memory may work once the files held open ahead are
// closed; any other failure is final, as it would be without reading ahead.
bool ForWantOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == EAGAIN;
}

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Entries the listing calls a regular file, a link or nothing yet may hold lines; folders, pipes,
// sockets and devices do not, and are only opened when handed over.
bool MayHoldLines(unsigned char type) {
  return type == DT_REG || type == DT_LNK || type == DT_UNKNOWN;
}

// What the walk learns of an open entry.
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
bool Examine(int fd, bool synced, Attributes& attributes) noexcept {
  struct statx status;
  const int flags = AT_EMPTY_PATH | (synced ? AT_STATX_SYNC_AS_STAT : AT_STATX_DONT_SYNC);
  if (::statx(fd, "", flags, STATX_TYPE | STATX_SIZE | STATX_INO, &status) == 0) {
    attributes = {S_ISREG(status.stx_mode), static_cast<off_t>(status.stx_size),
                  makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino};
    return true;
  }
  struct stat fallback;
  if ((errno != ENOSYS && errno != EINVAL) || ::fstat(fd, &fallback) != 0) return false;
  attributes = {S_ISREG(fallback.st_mode), fallback.st_size, fallback.st_dev, fallback.st_ino};
  return true;
}

std::int64_t Now() noexcept {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

EntryWalk::EntryWalk(DIR* folder, OutputStream& output, int readers, Depth depth) noexcept
    : folder_(folder),
      folderFd_(::dirfd(folder)),
      output_(output),
      depth_(depth),
      shallowReaders_(std::clamp(readers, 0, kMostShallowReaders)) {
  // The slots stay off the stack, which may be small; where memory for them cannot be had, the
  // walk reads no further ahead than the shallow window.
  void* const memory = std::malloc(kDeepWindow * sizeof(Slot));
  slots_ = memory != nullptr ? static_cast<Slot*>(memory) : fallbackSlots_;
  slotCount_ = memory != nullptr ? kDeepWindow : kShallowWindow;
  for (int index = 0; index < slotCount_; ++index) {
    if (slots_ != fallbackSlots_) new (&slots_[index]) Slot();
    freeSlots_[freeCount_++] = &slots_[index];
  }
  ScopedLock lock(mutex_);
  SetDeepLocked(depth_ != Depth::kFollowStorage);
}

EntryWalk::~EntryWalk() {
  StopPrefetching();
  for (std::uint64_t sequence = next_ - (callerHolds_ ? 1 : 0); sequence < listedEnd_; ++sequence) {
    if (SlotOf(sequence).entry.fd >= 0) ::close(SlotOf(sequence).entry.fd);
  }
  for (int index = 0; index < slotCount_; ++index) std::free(slots_[index].buffer);
  if (slots_ != fallbackSlots_) std::free(slots_);
}

void* EntryWalk::RunReader(void* walk) noexcept {
  EntryWalk& self = *static_cast<EntryWalk*>(walk);
  ScopedLock lock(self.mutex_);
  const int number = self.readersNumbered_++;
  while (!self.stopping_) {
    if (number >= self.activeReaders_) {
      self.depthChanged_.Wait(self.mutex_);
      continue;
    }
    Slot* slot = self.FindPrefetchableLocked();
    if (slot == nullptr) {
      ++self.idleReaders_;
      self.workPublished_.Wait(self.mutex_);
      --self.idleReaders_;
      continue;
    }
    slot->state = SlotState::kFetching;
    self.mutex_.Unlock();
    const std::int64_t took = self.Fetch(*slot, true);
    self.mutex_.Lock();
    slot->state = SlotState::kFetched;
    slot->holdsAhead = slot->entry.fd >= 0;
    self.heldAhead_ += slot->holdsAhead;
    self.depthPolicy_.Count(took);
    if (self.mainWaiting_ && slot == &self.SlotOf(self.next_)) self.entryFetched_.Signal();
  }
  return nullptr;
}

int EntryWalk::ListAhead() noexcept {
  // The slots past the published ones belong to this thread alone until it publishes them.
  int prefetchable = 0;
  while (!listingEnded_ && listedEnd_ - next_ < static_cast<std::uint64_t>(window_)) {
    errno = 0;
    const dirent* found = ::readdir(folder_);
    if (found == nullptr) {
      listingEnded_ = true;
      listingFailed_ = errno != 0;
      break;
    }
    if (IsDotOrDotDot(found->d_name)) continue;
    Slot& slot = *freeSlots_[--freeCount_];
    ring_[listedEnd_++ % kDeepWindow] = &slot;
    std::memcpy(slot.name, found->d_name, std::strlen(found->d_name) + 1);
    const bool mayHoldLines = MayHoldLines(found->d_type);
    if (mayHoldLines && slot.buffer == nullptr) {
      slot.buffer = static_cast<char*>(std::malloc(kSmallestFirstRead + kScanSlack));
      if (slot.buffer != nullptr) {
        slot.capacity = kSmallestFirstRead;
        bufferBytes_ += kSmallestFirstRead;
      }
    }
    slot.prefetchable = mayHoldLines && slot.buffer != nullptr;
    slot.state = SlotState::kListed;
    DropPrefetch(slot);
    prefetchable += slot.prefetchable;
  }
  return prefetchable;
}

EntryWalk::Slot* EntryWalk::FindPrefetchableLocked() noexcept {
  // Files read only in part keep their descriptors until handed over; past kMostHeldAhead of them,
  // only the entry to hand over next may be taken, so that the walk goes on.
  if (heldAhead_ >= kMostHeldAhead) {
    return next_ < publishedEnd_ && SlotOf(next_).Untaken() ? &SlotOf(next_) : nullptr;
  }
  if (!deep_) {
    // Shallow, the main thread fetches most entries itself, from the front of the window: a
    // reader takes the farthest, so that the two seldom want the same entry.
    for (std::uint64_t sequence = publishedEnd_; sequence > next_; --sequence) {
      if (SlotOf(sequence - 1).Untaken()) return &SlotOf(sequence - 1);
    }
    return nullptr;
  }
  if (searchFrom_ < next_) searchFrom_ = next_;
  for (; searchFrom_ < publishedEnd_; ++searchFrom_) {
    if (SlotOf(searchFrom_).Untaken()) return &SlotOf(searchFrom_);
  }
  return nullptr;
}

bool EntryWalk::OpenEntry(Slot& slot, bool ahead, off_t& size) noexcept {
  FolderEntry& entry = slot.entry;
  do {
    entry.fd = ::openat(folderFd_, slot.name, kOpenFlags);
  } while (entry.fd < 0 && errno == EINTR);
  if (entry.fd < 0) {
    slot.openError = errno;
    return false;
  }
  // Whether to read is asked of the open file itself: the listing may be out of date, and a device
  // or a pipe behind a link could feed the run forever.
  Attributes attributes;
  bool examined = Examine(entry.fd, false, attributes);
  if (examined && attributes.regularFile && output_.IsOutputFile(attributes.device, attributes.inode)) {
    // The output file, listed in its own folder, is read only as far as the run had written it
    // when it is handed over, as if every write were made at once: the run never feeds on its own
    // lines. Only the main thread, as it hands the entry over, can tell how far that is.
    if (ahead) {
      DropPrefetch(slot);
      return false;
    }
    output_.Drain();
    examined = Examine(entry.fd, true, attributes);
    if (examined) entry.start.sizeLimit = static_cast<std::uint64_t>(attributes.size);
  }
  if (!examined) {
    // What cannot be told apart from a device, or whose written part is unknown, cannot be read.
    // A prefetch leaves that to the fetch on hand-over to find out again.
    if (ahead) {
      DropPrefetch(slot);
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

std::size_t EntryWalk::FirstReadRoom(Slot& slot, off_t size, std::uint64_t sizeLimit) noexcept {
  // One byte more than the size says, so that a read that comes short proves the end of the file
  // even where the size is out of date; at least kSmallestFirstRead, as some files (of /proc and
  // sysfs) say 0 or 4096 whatever they hold.
  std::size_t wanted = kFirstReadSize;
  if (size >= 0 && static_cast<std::uint64_t>(size) < kFirstReadSize) {
    wanted = std::max(static_cast<std::size_t>(size) + 1, kSmallestFirstRead);
  }
  if (sizeLimit < wanted) wanted = static_cast<std::size_t>(sizeLimit);
  if (wanted <= slot.capacity) return wanted;
  // A buffer grows, for good, while the slots' buffers stay within kFirstReadBudget in all; past
  // it, the first read takes what the buffer holds, and the block copy reads on.
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

std::int64_t EntryWalk::Fetch(Slot& slot, bool ahead) noexcept {
  const std::int64_t started = Now();
  bool fresh = false;
  off_t size = 0;
  FolderEntry& entry = slot.entry;
  if (OpenEntry(slot, ahead, size) && entry.state == EntryState::kRegularFile && slot.buffer != nullptr) {
    const std::size_t wanted = FirstReadRoom(slot, size, entry.start.sizeLimit);
    ssize_t got;
    do {
      got = ::read(entry.fd, slot.buffer, wanted);
    } while (got < 0 && errno == EINTR);
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
      DropPrefetch(slot);
    }
    // On hand-over, the block copy reads the entry from its start again, and reports a failure.
  }
  if (fresh || entry.start.sizeLimit != UINT64_MAX) return DepthPolicy::kNotTimed;
  return Now() - started;
}

void EntryWalk::DropPrefetch(Slot& slot) noexcept {
  if (slot.entry.fd >= 0) ::close(slot.entry.fd);
  slot.entry = FolderEntry{};
  slot.entry.name = slot.name;
  slot.holdsAhead = false;
}

void EntryWalk::FetchOnHandOver(Slot& slot) noexcept {
  handOverFetchTime_ = Fetch(slot, false);
  if (slot.entry.state != EntryState::kNotOpened || readers_ == 0 || !ForWantOfResources(slot.openError))
    return;
  // Files prefetched may hold the last descriptors or the memory the open needed: they are given
  // up, and the open is made once more as it would be without prefetching.
  StopPrefetching();
  Fetch(slot, false);
}

void EntryWalk::UpdateDepthLocked() noexcept {
  if (prefetchStopped_ || depth_ == Depth::kDeep) return;
  if (depth_ == Depth::kAlternating) {
    if (deep_ != (next_ / kAlternation % 2 == 0)) SetDeepLocked(!deep_);
    return;
  }
  if (deep_ != depthPolicy_.Deep()) SetDeepLocked(depthPolicy_.Deep());
}

void EntryWalk::SetDeepLocked(bool deep) noexcept {
  deep_ = deep;
  searchFrom_ = next_;
  window_ = deep ? slotCount_ : kShallowWindow;
  const int wanted = deep ? kDeepReaders : shallowReaders_;
  // A reader started here waits for the lock, then takes the next number.
  while (readers_ < wanted && StartThread(readerThreads_[readers_], RunReader, this)) ++readers_;
  const int active = std::min(wanted, readers_);
  if (active < activeReaders_) {
    // Readers beyond the active ones must not wait for work, or a signal could wake one of them
    // in vain: they move over to depthChanged_.
    workPublished_.Broadcast();
  } else {
    depthChanged_.Broadcast();
  }
  activeReaders_ = active;
}

bool EntryWalk::LeftToReadersLocked(const Slot& slot) const noexcept {
  return depth_ != Depth::kFollowStorage && activeReaders_ > 0 && slot.Untaken();
}

void EntryWalk::StopPrefetching() noexcept {
  prefetchStopped_ = true;
  if (readers_ == 0) return;
  {
    ScopedLock lock(mutex_);
    stopping_ = true;
    activeReaders_ = 0;
    workPublished_.Broadcast();
    depthChanged_.Broadcast();
  }
  for (int reader = 0; reader < readers_; ++reader) JoinThread(readerThreads_[reader]);
  readers_ = 0;
  heldAhead_ = 0;
  window_ = kShallowWindow;
  // What was read whole holds no descriptor and stays; the rest is fetched again on hand-over.
  for (std::uint64_t sequence = next_; sequence < listedEnd_; ++sequence) {
    if (!SlotOf(sequence).entry.start.whole) DropPrefetch(SlotOf(sequence));
  }
}

const FolderEntry* EntryWalk::Next() noexcept {
  if (callerHolds_) {
    Slot& held = SlotOf(next_ - 1);
    if (held.entry.fd >= 0) ::close(held.entry.fd);
    held.entry.fd = -1;
    freeSlots_[freeCount_++] = &held;
    callerHolds_ = false;
  }
  const int prefetchable = ListAhead();

  mutex_.Lock();
  publishedEnd_ = listedEnd_;
  depthPolicy_.Count(handOverFetchTime_);
  handOverFetchTime_ = DepthPolicy::kNotTimed;
  UpdateDepthLocked();
  for (int woken = 0; woken < prefetchable && woken < idleReaders_; ++woken) workPublished_.Signal();
  if (next_ == publishedEnd_) {
    mutex_.Unlock();
    return nullptr;
  }
  Slot& slot = SlotOf(next_);
  // This thread never opens an entry before it hands it over: where a reader has the next one in
  // hand, it waits, so that an entry after one that ends the run, on a server that stopped
  // answering say, cannot hold the run up.
  while (slot.state == SlotState::kFetching || LeftToReadersLocked(slot)) {
    mainWaiting_ = true;
    entryFetched_.Wait(mutex_);
    mainWaiting_ = false;
  }
  if (slot.holdsAhead) {
    slot.holdsAhead = false;
    // A reader that stopped at kMostHeldAhead may go on.
    if (heldAhead_-- == kMostHeldAhead && idleReaders_ > 0) workPublished_.Signal();
  }
  ++next_;
  mutex_.Unlock();
  callerHolds_ = true;
  // An entry nobody prefetched is fetched now; so is one whose prefetch failed, for want of
  // descriptors say, and only that fetch decides whether it opens.
  if (slot.entry.state == EntryState::kNotOpened) FetchOnHandOver(slot);
  return &slot.entry;
}
