// The output file: written through a large buffer, by a thread of its own where one can be had.
//
// The run appends to the buffer being filled. Without the writer thread, a full buffer is written
// at once by the thread that filled it. With it, the buffers form a ring of kRingBuffers: the
// filling thread hands each full buffer over in turn and goes on with the next, and the writer
// thread writes them in the order handed over. The filler waits only when every buffer is queued,
// the writer only when none is; mutex_ guards the queue (queued_, queuedSizes_) and stopping_,
// and changed_ is signalled whenever either side has moved. Only the filler touches buffer_,
// used_ and filling_; only the writer writes to fd_ until Close() has joined it.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "Threads.h"

/// The output file behind a large buffer, written behind by a thread where one can be had;
/// remembers whether any write has failed.
class OutputStream {
 public:
  /// Takes ownership of \a fd, an open writable file descriptor; \a writeBehind asks for the thread.
  explicit OutputStream(int fd, bool writeBehind = false) noexcept;
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;
  /// Writes out what is buffered and closes quietly, unless Close() already ran.
  ~OutputStream();

  /// Opens \a path for writing, created with mode 0666 less the umask or emptied; returns -1 on failure.
  static int Open(const char* path) noexcept;

  /// Buffers \a size bytes at \a data, writing out every full buffer; drops them once a write has failed.
  void Append(const char* data, std::size_t size) noexcept {
    if (size <= capacity_ - used_) {
      std::memcpy(buffer_ + used_, data, size);
      used_ += size;
    } else {
      AppendPastEnd(data, size);
    }
  }
  /// Buffers the bytes of \a text.
  void Append(std::string_view text) noexcept { Append(text.data(), text.size()); }

  /// Returns where at least \a size free bytes start, writing out the buffer first if it lacks them;
  /// what is put there counts once Commit() is called. \a size is at most 2 KiB.
  char* Reserve(std::size_t size) noexcept {
    if (size > capacity_ - used_) WriteOutBuffer();
    return buffer_ + used_;
  }
  /// Takes the bytes put after Reserve() up to \a end into the buffer.
  void Commit(const char* end) noexcept { used_ = static_cast<std::size_t>(end - buffer_); }

  /// Returns true once a write to the file has failed; the thread may tell of a failure late.
  bool Failed() const noexcept { return failed_.load(std::memory_order_relaxed); }

  /// Waits until the writer thread has written every buffer handed over so far; returns false if a
  /// write failed.
  bool Drain() noexcept;

  /// For the filling thread: writes out what is buffered and waits until it is in the file; returns
  /// false if a write failed.
  bool Flush() noexcept {
    if (used_ > 0) WriteOutBuffer();
    return Drain();
  }

  /// Returns true if the file on \a device numbered \a inode is the output file.
  bool IsOutputFile(dev_t device, ino_t inode) const noexcept { return device == device_ && inode == inode_; }

  /// Writes out what is buffered and closes the file; returns false if any write or the close failed.
  bool Close() noexcept;

 private:
  static void* RunWriter(void* stream) noexcept;
  void AppendPastEnd(const char* data, std::size_t size) noexcept;
  void WriteOutBuffer() noexcept;
  void WriteOut(const char* data, std::size_t size) noexcept;

  // With two buffers of 512 KiB, the writer waited at every hand-over, and "bigblock into tmpfs"
  // took 1.1 times as long as cat; with a ring of four of 256 KiB, 0.85 times.
  static constexpr int kRingBuffers = 4;

  // Set by the constructor, before the writer starts.
  dev_t device_ = 0;
  ino_t inode_ = 0;  // 0, which names no file, where fstat failed
  std::size_t capacity_;
  // With the thread: kRingBuffers buffers of capacity_ bytes, filled and written in turn; the
  // filling thread touches only buffer_'s part, the writer only the parts queued, each until it
  // hands the part over under mutex_.
  char* ring_ = nullptr;
  pthread_t writer_{};

  // The writer thread while it runs, else the filling thread.
  int fd_;
  // Any thread: set by whichever write fails first.
  std::atomic<bool> failed_{false};

  // The filling thread only.
  char* buffer_;            // the buffer being filled
  std::size_t used_ = 0;    // bytes of buffer_ filled
  int filling_ = 0;         // which part of ring_ buffer_ is
  char smallBuffer_[4096];  // where the address space has no room for a large buffer

  // Guarded by mutex_.
  Mutex mutex_;
  Condition changed_;                           // a buffer was handed over or written, or stop
  int queued_ = 0;                              // buffers handed over, not yet written
  std::size_t queuedSizes_[kRingBuffers] = {};  // the bytes of each, by its place in ring_
  bool stopping_ = false;                       // the writer is to end once queued_ is 0
};
