#include "OutputStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// The size of a write: a full buffer, bar the little that Reserve() may leave unused. Writes of
// 64 KiB and more keep "small: writes to the output file" and "bigblock into tmpfs" near the floor.
constexpr std::size_t kCapacity = 256 * 1024;

}  // namespace

OutputStream::OutputStream(int fd, bool writeBehind) noexcept : capacity_(kCapacity), fd_(fd) {
  struct stat status;
  if (::fstat(fd_, &status) == 0) {
    device_ = status.st_dev;
    inode_ = status.st_ino;
  }
  // Several buffers let the writer go from one to the next without waiting for this thread.
  if (writeBehind) ring_ = static_cast<char*>(std::malloc(kRingBuffers * kCapacity));
  if (ring_ != nullptr && StartThread(writer_, RunWriter, this)) {
    buffer_ = ring_;
    return;
  }
  std::free(ring_);
  ring_ = nullptr;
  buffer_ = static_cast<char*>(std::malloc(kCapacity));
  if (buffer_ == nullptr) {
    buffer_ = smallBuffer_;
    capacity_ = sizeof smallBuffer_;
  }
}

OutputStream::~OutputStream() {
  Close();
  if (ring_ != nullptr) {
    std::free(ring_);
  } else if (buffer_ != smallBuffer_) {
    std::free(buffer_);
  }
}

int OutputStream::Open(const char* path) noexcept {
  return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

void* OutputStream::RunWriter(void* stream) noexcept {
  OutputStream& output = *static_cast<OutputStream*>(stream);
  int writing = 0;
  ScopedLock lock(output.mutex_);
  for (;;) {
    while (output.queued_ == 0 && !output.stopping_) output.changed_.Wait(output.mutex_);
    if (output.queued_ == 0) return nullptr;
    const std::size_t size = output.queuedSizes_[writing];
    output.mutex_.Unlock();
    output.WriteOut(output.ring_ + writing * output.capacity_, size);
    output.mutex_.Lock();
    writing = (writing + 1) % kRingBuffers;
    --output.queued_;
    output.changed_.Signal();
  }
}

void OutputStream::AppendPastEnd(const char* data, std::size_t size) noexcept {
  // Top the buffer up before writing it, so that every write but the last is a full buffer.
  while (size > capacity_ - used_) {
    const std::size_t room = capacity_ - used_;
    std::memcpy(buffer_ + used_, data, room);
    used_ = capacity_;
    WriteOutBuffer();
    data += room;
    size -= room;
  }
  std::memcpy(buffer_ + used_, data, size);
  used_ += size;
}

void OutputStream::WriteOutBuffer() noexcept {
  if (ring_ == nullptr) {
    WriteOut(buffer_, used_);
    used_ = 0;
    return;
  }
  ScopedLock lock(mutex_);
  queuedSizes_[filling_] = used_;
  ++queued_;
  // The writer waits only for a buffer, and this thread only for a free one: never both at once.
  changed_.Signal();
  while (queued_ == kRingBuffers) changed_.Wait(mutex_);
  filling_ = (filling_ + 1) % kRingBuffers;
  buffer_ = ring_ + filling_ * capacity_;
  used_ = 0;
}

void OutputStream::WriteOut(const char* data, std::size_t size) noexcept {
  while (size > 0 && !Failed()) {
    const ssize_t written = ::write(fd_, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      failed_.store(true, std::memory_order_relaxed);
      break;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

bool OutputStream::Drain() noexcept {
  if (ring_ != nullptr) {
    ScopedLock lock(mutex_);
    while (queued_ > 0) changed_.Wait(mutex_);
  }
  return !Failed();
}

bool OutputStream::Close() noexcept {
  if (fd_ < 0) return !Failed();
  WriteOutBuffer();
  if (ring_ != nullptr) {
    {
      // The writer ends only once every buffer handed over is written.
      ScopedLock lock(mutex_);
      stopping_ = true;
      changed_.Signal();
    }
    JoinThread(writer_);
  }
  // The close is checked too: some file systems report a failed write only here.
  if (::close(fd_) != 0) failed_.store(true, std::memory_order_relaxed);
  fd_ = -1;
  return !Failed();
}
