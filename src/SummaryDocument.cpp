#include "SummaryDocument.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

int OutputStream::Open(const char* path) noexcept {
  return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

void OutputStream::AppendPastEnd(const char* data, std::size_t size) noexcept {
  // Top the buffer up before writing it, so that every write but the last is a full buffer.
  while (size > kCapacity - used_) {
    const std::size_t room = kCapacity - used_;
    std::memcpy(buffer_ + used_, data, room);
    used_ = kCapacity;
    WriteOutBuffer();
    data += room;
    size -= room;
  }
  std::memcpy(buffer_ + used_, data, size);
  used_ += size;
}

void OutputStream::WriteOutBuffer() noexcept {
  WriteOut(buffer_, used_);
  used_ = 0;
}

void OutputStream::WriteOut(const char* data, std::size_t size) noexcept {
  while (size > 0 && !failed_) {
    const ssize_t written = ::write(fd_, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      failed_ = true;
      break;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

bool OutputStream::Close() noexcept {
  if (fd_ < 0) return !failed_;
  WriteOutBuffer();
  // The close is checked too: some file systems report a failed write only here.
  if (::close(fd_) != 0) failed_ = true;
  fd_ = -1;
  return !failed_;
}

void WriteHeader(OutputStream& output, std::string_view folderText) {
  output.Append("\n\n### Files in ");
  output.Append(folderText);
  output.Append("\n\n");
}

void WriteEntryHeading(OutputStream& output, std::int32_t entryNumber, std::string_view entryName) {
  char number[16];
  const auto converted = std::to_chars(number, number + sizeof number, entryNumber);
  output.Append("\t");
  output.Append(number, static_cast<std::size_t>(converted.ptr - number));
  output.Append(".\t");
  output.Append(MakeDisplayName(entryName));
  output.Append(":\n");
}

void WriteEntryEnd(OutputStream& output) {
  output.Append("\n\n");
}

std::string_view MakeDisplayName(std::string_view entryName) {
  constexpr std::size_t kCut = 4;
  if (entryName.size() < kCut) return entryName;
  return entryName.substr(0, entryName.size() - kCut);
}
