#include "EntryWalk.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Entries are opened without blocking, so that a named pipe without a writer cannot stall the run.
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// User data of the operations whose completions matter only in number.
constexpr std::uint64_t kCloseTag = ~std::uint64_t{0};

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

/// Returns true when the open entry is a regular file: only those are read, so that a pipe or a
/// device can neither stall the run nor feed it forever.
bool IsRegularFile(unsigned char listedType, int entryFd) {
  if (listedType == DT_REG) return true;
  if (listedType == DT_DIR) return false;
  // Links, special files and listings that do not say: ask the open file itself.
  struct stat status;
  return ::fstat(entryFd, &status) == 0 && S_ISREG(status.st_mode);
}

void* MapRing(int ringFd, std::size_t size, off_t offset) {
  void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, ringFd, offset);
  return map == MAP_FAILED ? nullptr : map;
}

}  // namespace

SubmissionRing::SubmissionRing(unsigned entries) noexcept {
  io_uring_params params{};
  // Where the kernel lacks io_uring or a filter forbids it, this fails and the walk keeps to
  // plain system calls.
  ringFd_ = static_cast<int>(::syscall(__NR_io_uring_setup, entries, &params));
  if (ringFd_ < 0) return;
  // Reads at the file's current position came with the same kernel as open and close; without
  // them a read ahead would leave the file where it was.
  if ((params.features & IORING_FEAT_RW_CUR_POS) == 0) {
    TearDown();
    return;
  }
  submitMapSize_ = params.sq_off.array + params.sq_entries * sizeof(unsigned);
  completeMapSize_ = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
  const bool singleMap = (params.features & IORING_FEAT_SINGLE_MMAP) != 0;
  if (singleMap && completeMapSize_ > submitMapSize_) submitMapSize_ = completeMapSize_;
  submitMap_ = MapRing(ringFd_, submitMapSize_, IORING_OFF_SQ_RING);
  completeMap_ = singleMap ? submitMap_ : MapRing(ringFd_, completeMapSize_, IORING_OFF_CQ_RING);
  entriesSize_ = params.sq_entries * sizeof(io_uring_sqe);
  entries_ = static_cast<io_uring_sqe*>(MapRing(ringFd_, entriesSize_, IORING_OFF_SQES));
  if (submitMap_ == nullptr || completeMap_ == nullptr || entries_ == nullptr) {
    TearDown();
    return;
  }

  auto* submit = static_cast<char*>(submitMap_);
  auto* complete = static_cast<char*>(completeMap_);
  submitTail_ = reinterpret_cast<unsigned*>(submit + params.sq_off.tail);
  submitMask_ = *reinterpret_cast<unsigned*>(submit + params.sq_off.ring_mask);
  submitArray_ = reinterpret_cast<unsigned*>(submit + params.sq_off.array);
  completeHead_ = reinterpret_cast<unsigned*>(complete + params.cq_off.head);
  completeTail_ = reinterpret_cast<unsigned*>(complete + params.cq_off.tail);
  completeMask_ = *reinterpret_cast<unsigned*>(complete + params.cq_off.ring_mask);
  completions_ = reinterpret_cast<io_uring_cqe*>(complete + params.cq_off.cqes);
}

SubmissionRing::~SubmissionRing() {
  TearDown();
}

void SubmissionRing::TearDown() noexcept {
  if (entries_ != nullptr) ::munmap(entries_, entriesSize_);
  if (completeMap_ != nullptr && completeMap_ != submitMap_) ::munmap(completeMap_, completeMapSize_);
  if (submitMap_ != nullptr) ::munmap(submitMap_, submitMapSize_);
  if (ringFd_ >= 0) ::close(ringFd_);
  entries_ = nullptr;
  completeMap_ = submitMap_ = nullptr;
  ringFd_ = -1;
}

io_uring_sqe* SubmissionRing::NextEntry(std::uint8_t opcode, int fd, std::uint64_t userData) noexcept {
  // The caller never queues more than the ring holds between two submissions.
  const unsigned tail = *submitTail_ + queued_++;
  const unsigned index = tail & submitMask_;
  submitArray_[index] = index;
  io_uring_sqe* entry = &entries_[index];
  *entry = io_uring_sqe{};
  entry->opcode = opcode;
  entry->fd = fd;
  entry->user_data = userData;
  return entry;
}

void SubmissionRing::QueueOpen(int folderFd, const char* name, std::uint64_t userData) noexcept {
  io_uring_sqe* entry = NextEntry(IORING_OP_OPENAT, folderFd, userData);
  entry->addr = reinterpret_cast<std::uintptr_t>(name);
  entry->open_flags = kOpenFlags;
}

void SubmissionRing::QueueRead(int fd, char* buffer, unsigned size, std::uint64_t userData) noexcept {
  io_uring_sqe* entry = NextEntry(IORING_OP_READ, fd, userData);
  entry->addr = reinterpret_cast<std::uintptr_t>(buffer);
  entry->len = size;
  entry->off = ~std::uint64_t{0};  // the file's current position, which the read then advances
}

void SubmissionRing::QueueClose(int fd, std::uint64_t userData) noexcept {
  NextEntry(IORING_OP_CLOSE, fd, userData);
}

int SubmissionRing::SubmitAndWait(Completion* completions) noexcept {
  const unsigned expected = queued_;
  std::atomic_ref<unsigned>(*submitTail_).store(*submitTail_ + queued_, std::memory_order_release);
  unsigned toSubmit = queued_;
  queued_ = 0;
  unsigned collected = 0;
  while (collected < expected) {
    const unsigned before = collected;
    const unsigned head = *completeHead_;
    const unsigned tail = std::atomic_ref<unsigned>(*completeTail_).load(std::memory_order_acquire);
    for (unsigned at = head; at != tail && collected < expected; ++at) {
      const io_uring_cqe& done = completions_[at & completeMask_];
      completions[collected++] = Completion{done.user_data, done.res};
    }
    std::atomic_ref<unsigned>(*completeHead_).store(head + (collected - before), std::memory_order_release);
    if (collected == expected) break;
    const long entered = ::syscall(__NR_io_uring_enter, ringFd_, toSubmit, expected - collected,
                                   IORING_ENTER_GETEVENTS, nullptr, 0);
    if (entered < 0 && errno != EINTR) {
      // Whatever the kernel still holds may finish at any time: the ring cannot be used again.
      ringFd_ = -1;
      return -1;
    }
    if (entered > 0) toSubmit -= static_cast<unsigned>(entered);
  }
  return static_cast<int>(collected);
}

EntryWalk::EntryWalk(DIR* folder) noexcept : folder_(folder), folderFd_(::dirfd(folder)), ring_(2 * kBatch) {
  if (ring_.Usable()) {
    readBuffers_ = static_cast<char*>(std::malloc(kBatch * (kFirstReadSize + kFirstReadSlack)));
  }
}

EntryWalk::~EntryWalk() {
  if (current_.fd >= 0) ::close(current_.fd);
  for (int index = taken_; index < listed_; ++index) {
    if (slots_[index].fd >= 0) ::close(slots_[index].fd);
  }
  for (int index = 0; index < toCloseCount_; ++index) ::close(toClose_[index]);
  std::free(readBuffers_);
}

char* EntryWalk::ReadBuffer(int slot) const noexcept {
  return readBuffers_ + static_cast<std::size_t>(slot) * (kFirstReadSize + kFirstReadSlack);
}

void EntryWalk::ListBatch() noexcept {
  listed_ = taken_ = 0;
  while (listed_ < kBatch) {
    errno = 0;
    const dirent* entry = ::readdir(folder_);
    if (entry == nullptr) {
      listingEnded_ = true;
      listingFailed_ = errno != 0;
      break;
    }
    if (IsDotOrDotDot(entry->d_name)) continue;
    Slot& slot = slots_[listed_++];
    std::memcpy(slot.name, entry->d_name, std::strlen(entry->d_name) + 1);
    slot.type = entry->d_type;
    slot.fd = kNotOpened;
    slot.readResult = kNotRead;
  }
}

void EntryWalk::OpenAndReadAhead() noexcept {
  if (!ReadingAhead()) return;
  SubmissionRing::Completion completions[2 * kBatch];

  // The files of the previous batch are closed along with the opens of this one.
  for (int index = 0; index < toCloseCount_; ++index) ring_.QueueClose(toClose_[index], kCloseTag);
  toCloseCount_ = 0;
  for (int index = 0; index < listed_; ++index) {
    if (slots_[index].type == DT_REG)
      ring_.QueueOpen(folderFd_, slots_[index].name, static_cast<std::uint64_t>(index));
  }
  const int opened = ring_.SubmitAndWait(completions);
  for (int index = 0; index < opened; ++index) {
    const SubmissionRing::Completion& done = completions[index];
    if (done.userData != kCloseTag) slots_[done.userData].fd = done.result >= 0 ? done.result : -1;
  }

  int reads = 0;
  for (int index = 0; index < listed_; ++index) {
    if (slots_[index].type != DT_REG || slots_[index].fd < 0) continue;
    ring_.QueueRead(slots_[index].fd, ReadBuffer(index), kFirstReadSize, static_cast<std::uint64_t>(index));
    slots_[index].readResult = kReadPending;
    ++reads;
  }
  if (reads == 0) return;
  const int read = ring_.SubmitAndWait(completions);
  for (int index = 0; index < read; ++index) {
    slots_[completions[index].userData].readResult = completions[index].result;
  }
  if (read < 0) {
    // Where such a read stands is unknown, and so is where it left the file.
    for (int index = 0; index < listed_; ++index) {
      if (slots_[index].readResult == kReadPending) slots_[index].readResult = -EIO;
    }
  }
}

const WalkEntry* EntryWalk::Next() noexcept {
  if (current_.fd >= 0) {
    if (ReadingAhead() && toCloseCount_ < kBatch) {
      toClose_[toCloseCount_++] = current_.fd;
    } else {
      ::close(current_.fd);
    }
    current_.fd = -1;
  }
  if (taken_ == listed_) {
    if (listingEnded_) return nullptr;
    ListBatch();
    if (listed_ == 0) return nullptr;
    OpenAndReadAhead();
  }

  Slot& slot = slots_[taken_++];
  current_ = WalkEntry{};
  current_.name = slot.name;
  if (slot.fd == kNotOpened) {
    current_.fd = ::openat(folderFd_, slot.name, kOpenFlags);
    current_.regular = current_.fd >= 0 && IsRegularFile(slot.type, current_.fd);
    return &current_;
  }
  current_.fd = slot.fd;
  slot.fd = -1;
  current_.regular = true;
  // A read that could not go ahead without waiting is left to CopyCommentBlock, which may wait.
  const int readResult = slot.readResult;
  if (current_.fd >= 0 && readResult != kNotRead && readResult != -EAGAIN && readResult != -EINTR) {
    current_.firstRead.made = true;
    if (readResult > 0) {
      char* buffer = ReadBuffer(taken_ - 1);
      std::memset(buffer + readResult, 0, kFirstReadSlack);
      current_.firstRead.bytes = std::string_view(buffer, static_cast<std::size_t>(readResult));
    } else if (readResult < 0) {
      current_.firstRead.error = -readResult;
    }
  }
  return &current_;
}
