// The walk over a folder's listing: every entry opened without blocking, and the regular files
// opened and read ahead a batch at a time where the kernel offers io_uring.
#pragma once

#include <dirent.h>
#include <linux/io_uring.h>

#include <cstdint>

#include "CommentBlock.h"

/// A minimal io_uring: a submission and a completion queue shared with the kernel.
class SubmissionRing {
 public:
  /// One finished operation: the user data it was queued with and its result (-errno on failure).
  struct Completion {
    std::uint64_t userData;
    int result;
  };

  /// Sets up a ring for \a entries operations at a time; Usable() tells whether the kernel allowed it.
  explicit SubmissionRing(unsigned entries) noexcept;
  SubmissionRing(const SubmissionRing&) = delete;
  SubmissionRing& operator=(const SubmissionRing&) = delete;
  ~SubmissionRing();

  /// Returns true if the ring is set up and has not failed.
  bool Usable() const noexcept { return ringFd_ >= 0; }

  /// Queues an open of \a name relative to \a folderFd, for reading and without blocking.
  void QueueOpen(int folderFd, const char* name, std::uint64_t userData) noexcept;
  /// Queues a read of up to \a size bytes from \a fd at its current position into \a buffer.
  void QueueRead(int fd, char* buffer, unsigned size, std::uint64_t userData) noexcept;
  /// Queues a close of \a fd.
  void QueueClose(int fd, std::uint64_t userData) noexcept;

  /// Submits what is queued and waits until all of it has finished, storing each completion in
  /// \a completions (room for every queued operation); returns how many, or -1 if the ring failed.
  int SubmitAndWait(Completion* completions) noexcept;

 private:
  io_uring_sqe* NextEntry(std::uint8_t opcode, int fd, std::uint64_t userData) noexcept;
  void TearDown() noexcept;

  int ringFd_ = -1;
  unsigned queued_ = 0;
  // The kernel's shared memory: the submission ring, the completion ring (often the same
  // mapping) and the array of submission entries.
  void* submitMap_ = nullptr;
  std::size_t submitMapSize_ = 0;
  void* completeMap_ = nullptr;
  std::size_t completeMapSize_ = 0;
  io_uring_sqe* entries_ = nullptr;
  std::size_t entriesSize_ = 0;
  unsigned* submitTail_ = nullptr;
  unsigned submitMask_ = 0;
  unsigned* submitArray_ = nullptr;
  unsigned* completeHead_ = nullptr;
  unsigned* completeTail_ = nullptr;
  unsigned completeMask_ = 0;
  io_uring_cqe* completions_ = nullptr;
};

/// An entry of the listing as the walk hands it over.
struct WalkEntry {
  const char* name = nullptr;  ///< the entry name as the listing gives it
  int fd = -1;                 ///< open for reading, or -1 if the entry did not open
  bool regular = false;        ///< true for a regular file: only those hold lines to read
  FirstRead firstRead;         ///< what was read of it ahead, if anything
};

/// Hands over a folder's entries in listing order, "." and ".." left out.
class EntryWalk {
 public:
  /// Walks \a folder, which must stay open for as long as the walk.
  explicit EntryWalk(DIR* folder) noexcept;
  EntryWalk(const EntryWalk&) = delete;
  EntryWalk& operator=(const EntryWalk&) = delete;
  /// Closes every file the walk still holds open.
  ~EntryWalk();

  /// Returns the next entry, valid and open until the next call, or nullptr where the listing ends
  /// or cannot be read further.
  const WalkEntry* Next() noexcept;

  /// Returns true if Next() returned nullptr because the listing could not be read.
  bool ListingFailed() const noexcept { return listingFailed_ && taken_ == listed_; }

 private:
  static constexpr int kBatch = 16;
  // Markers in a slot's fd and readResult, apart from any descriptor and any -errno.
  static constexpr int kNotOpened = -2;
  static constexpr int kNotRead = 1 << 30;
  static constexpr int kReadPending = kNotRead + 1;

  struct Slot {
    char name[sizeof(dirent::d_name)];
    unsigned char type;
    int fd;
    int readResult;
  };

  bool ReadingAhead() const noexcept { return readBuffers_ != nullptr && ring_.Usable(); }
  void ListBatch() noexcept;
  void OpenAndReadAhead() noexcept;
  char* ReadBuffer(int slot) const noexcept;

  DIR* folder_;
  int folderFd_;
  SubmissionRing ring_;
  char* readBuffers_ = nullptr;
  Slot slots_[kBatch];
  int listed_ = 0;
  int taken_ = 0;
  bool listingEnded_ = false;
  bool listingFailed_ = false;
  int toClose_[kBatch];
  int toCloseCount_ = 0;
  WalkEntry current_;
};
