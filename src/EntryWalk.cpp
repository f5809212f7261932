#include "EntryWalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// Entries are opened without blocking, so that a named pipe without a writer cannot stall the run.
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

constexpr std::size_t kReadBufferSize = kFirstReadSize + kScanSlack;

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

EntryWalk::EntryWalk(DIR* folder, OutputStream& output, int readers) noexcept
    : folder_(folder), folderFd_(::dirfd(folder)), output_(output) {
  if (readers > kMostReaders) readers = kMostReaders;
  if (readers <= 0) return;
  readBuffers_ = static_cast<char*>(std::malloc(kWindow * kReadBufferSize));
  if (readBuffers_ == nullptr) return;
  while (readers_ < readers && StartThread(readerThreads_[readers_], RunReader, this)) ++readers_;
}

EntryWalk::~EntryWalk() {
  StopReadingAhead();
  for (std::uint64_t sequence = next_ - (holding_ ? 1 : 0); sequence < listing_; ++sequence) {
    if (SlotOf(sequence).entry.fd >= 0) ::close(SlotOf(sequence).entry.fd);
  }
  std::free(readBuffers_);
}

char* EntryWalk::ReadBuffer(const Slot& slot) const noexcept {
  return readBuffers_ + static_cast<std::size_t>(&slot - slots_) * kReadBufferSize;
}

void* EntryWalk::RunReader(void* walk) noexcept {
  EntryWalk& self = *static_cast<EntryWalk*>(walk);
  ScopedLock lock(self.mutex_);
  while (!self.stopping_) {
    Slot* slot = self.FindWorkAheadLocked();
    if (slot == nullptr) {
      ++self.idleReaders_;
      self.workListed_.Wait(self.mutex_);
      --self.idleReaders_;
      continue;
    }
    slot->state = State::kTaken;
    self.mutex_.Unlock();
    self.WorkAhead(*slot);
    self.mutex_.Lock();
    slot->state = State::kDone;
    if (self.mainWaiting_ && slot == &self.SlotOf(self.next_)) self.entryDone_.Signal();
  }
  return nullptr;
}

bool EntryWalk::ListAhead() noexcept {
  // The slots past the listed ones are free, and no reader looks at them: they are filled without
  // the lock, and the caller publishes them.
  bool worthReadingAhead = false;
  while (!listingEnded_ && listing_ - next_ < kWindow) {
    errno = 0;
    const dirent* found = ::readdir(folder_);
    if (found == nullptr) {
      listingEnded_ = true;
      listingFailed_ = errno != 0;
      break;
    }
    if (IsDotOrDotDot(found->d_name)) continue;
    Slot& slot = SlotOf(listing_++);
    std::memcpy(slot.name, found->d_name, std::strlen(found->d_name) + 1);
    slot.worthReadingAhead = found->d_type == DT_REG;
    slot.state = State::kListed;
    ForgetWorkAhead(slot);
    worthReadingAhead = worthReadingAhead || slot.worthReadingAhead;
  }
  return worthReadingAhead;
}

EntryWalk::Slot* EntryWalk::FindWorkAheadLocked() noexcept {
  for (std::uint64_t sequence = next_; sequence < listed_; ++sequence) {
    Slot& slot = SlotOf(sequence);
    if (slot.state == State::kListed && slot.worthReadingAhead) return &slot;
  }
  return nullptr;
}

bool EntryWalk::OpenEntry(Slot& slot, bool inTurn, off_t& size) noexcept {
  FolderEntry& entry = slot.entry;
  do {
    entry.fd = ::openat(folderFd_, slot.name, kOpenFlags);
  } while (entry.fd < 0 && errno == EINTR);
  entry.opened = entry.fd >= 0;
  if (!entry.opened) return false;
  // Whether to read is asked of the open file itself: the listing may be out of date, and a device
  // or a pipe behind a link could feed the run forever.
  struct stat status;
  bool examined = ::fstat(entry.fd, &status) == 0;
  if (examined && S_ISREG(status.st_mode) && output_.IsOutputFile(status)) {
    // The output file, listed in its own folder, is read only as far as the run had written it
    // when it opened, as if every write were made at once: the run never feeds on its own lines.
    // Only the main thread, in the entry's turn, can tell how far that is.
    if (!inTurn) {
      ForgetWorkAhead(slot);
      return false;
    }
    output_.Settle();
    examined = ::fstat(entry.fd, &status) == 0;
    if (examined) entry.start.sizeLimit = static_cast<std::uint64_t>(status.st_size);
  }
  if (!examined) {
    // What cannot be told apart from a device, or whose written part is unknown, cannot be read.
    // Ahead, that is left for the entry's turn to find out again.
    if (!inTurn) {
      ForgetWorkAhead(slot);
      return false;
    }
    entry.unreadable = true;
  }
  entry.regular = examined && S_ISREG(status.st_mode);
  if (!entry.regular) {
    ::close(entry.fd);
    entry.fd = -1;
  }
  if (entry.regular) size = status.st_size;
  return true;
}

void EntryWalk::WorkAhead(Slot& slot) noexcept {
  off_t size = 0;
  if (!OpenEntry(slot, false, size) || !slot.entry.regular) return;
  FolderEntry& entry = slot.entry;
  char* const buffer = ReadBuffer(slot);
  ssize_t got;
  do {
    got = ::read(entry.fd, buffer, kFirstReadSize);
  } while (got < 0 && errno == EINTR);
  // The entry is opened and read again in its turn, which alone may report a failure.
  if (got < 0) return ForgetWorkAhead(slot);
  std::memset(buffer + got, 0, kScanSlack);
  entry.start.firstBytes = std::string_view(buffer, static_cast<std::size_t>(got));
  // A regular file gives less than asked for only at its end; the size confirms it.
  entry.start.whole = got == 0 || (static_cast<std::size_t>(got) < kFirstReadSize && got == size);
  if (entry.start.whole) {
    ::close(entry.fd);
    entry.fd = -1;
  }
}

void EntryWalk::ForgetWorkAhead(Slot& slot) noexcept {
  if (slot.entry.fd >= 0) ::close(slot.entry.fd);
  slot.entry = FolderEntry{};
  slot.entry.name = slot.name;
}

void EntryWalk::OpenInTurn(Slot& slot) noexcept {
  off_t size = 0;
  if (OpenEntry(slot, true, size) || readers_ == 0) return;
  // Files opened ahead may hold the last descriptors or the memory the open needed: they are
  // given up, and the open is made once more as it would be without reading ahead.
  StopReadingAhead();
  OpenEntry(slot, true, size);
}

void EntryWalk::StopReadingAhead() noexcept {
  if (readers_ == 0) return;
  {
    ScopedLock lock(mutex_);
    stopping_ = true;
    workListed_.Broadcast();
  }
  for (int reader = 0; reader < readers_; ++reader) JoinThread(readerThreads_[reader]);
  readers_ = 0;
  // What was read whole holds no descriptor and stays; the rest is opened again in its turn.
  for (std::uint64_t sequence = next_; sequence < listing_; ++sequence) {
    if (!SlotOf(sequence).entry.start.whole) ForgetWorkAhead(SlotOf(sequence));
  }
}

const FolderEntry* EntryWalk::Next() noexcept {
  if (holding_) {
    FolderEntry& held = SlotOf(next_ - 1).entry;
    if (held.fd >= 0) ::close(held.fd);
    held.fd = -1;
    holding_ = false;
  }
  const bool worthReadingAhead = ListAhead();

  mutex_.Lock();
  listed_ = listing_;
  if (worthReadingAhead && idleReaders_ > 0) workListed_.Broadcast();
  if (next_ == listed_) {
    mutex_.Unlock();
    return nullptr;
  }
  Slot& slot = SlotOf(next_);
  while (slot.state == State::kTaken) {
    // A reader has it in hand: read another entry ahead meanwhile, or wait if none is left.
    if (Slot* ahead = FindWorkAheadLocked()) {
      ahead->state = State::kTaken;
      mutex_.Unlock();
      WorkAhead(*ahead);
      mutex_.Lock();
      ahead->state = State::kDone;
      continue;
    }
    mainWaiting_ = true;
    entryDone_.Wait(mutex_);
    mainWaiting_ = false;
  }
  ++next_;
  mutex_.Unlock();
  holding_ = true;
  // An entry not opened yet is opened in its turn; so is one whose open ahead failed, for want of
  // descriptors say, and only that open decides whether it opens.
  if (!slot.entry.opened) OpenInTurn(slot);
  return &slot.entry;
}
