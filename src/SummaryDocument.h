// The summary document: the output file and the writers of its four records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

/// The output file behind a large buffer; remembers whether any write has failed.
class OutputStream {
 public:
  /// Takes ownership of \a fd, an open writable file descriptor.
  explicit OutputStream(int fd) noexcept : fd_(fd) {}
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;
  /// Writes out what is buffered and closes quietly, unless Close() already ran.
  ~OutputStream() { Close(); }

  /// Opens \a path for writing, created with mode 0666 less the umask or emptied; returns -1 on failure.
  static int Open(const char* path) noexcept;

  /// Buffers \a size bytes at \a data, writing out every full buffer; drops them once a write has failed.
  void Append(const char* data, std::size_t size) noexcept {
    if (size <= kCapacity - used_) {
      std::memcpy(buffer_ + used_, data, size);
      used_ += size;
    } else {
      AppendPastEnd(data, size);
    }
  }
  /// Buffers the bytes of \a text.
  void Append(std::string_view text) noexcept { Append(text.data(), text.size()); }

  /// Returns where at least \a size free bytes start, writing out the buffer first if it lacks them;
  /// what is put there counts once Commit() is called. \a size is at most 64 KiB.
  char* Reserve(std::size_t size) noexcept {
    if (size > kCapacity - used_) WriteOutBuffer();
    return buffer_ + used_;
  }
  /// Takes the bytes put after Reserve() up to \a end into the buffer.
  void Commit(const char* end) noexcept { used_ = static_cast<std::size_t>(end - buffer_); }

  /// Returns true once a write to the file has failed.
  bool Failed() const noexcept { return failed_; }

  /// Writes out what is buffered and closes the file; returns false if any write or the close failed.
  bool Close() noexcept;

 private:
  static constexpr std::size_t kCapacity = 512 * 1024;

  void AppendPastEnd(const char* data, std::size_t size) noexcept;
  void WriteOutBuffer() noexcept;
  void WriteOut(const char* data, std::size_t size) noexcept;

  int fd_;
  bool failed_ = false;
  std::size_t used_ = 0;
  char buffer_[kCapacity];
};

/// Writes the header: two empty lines, "### Files in " and \a folderText, one empty line.
void WriteHeader(OutputStream& output, std::string_view folderText);

/// Writes "\t<entryNumber>.\t<display name of entryName>:\n".
void WriteEntryHeading(OutputStream& output, std::int32_t entryNumber, std::string_view entryName);

/// Writes one body line: a tab, \a lineText and a line feed.
inline void WriteBlockLine(OutputStream& output, std::string_view lineText) {
  output.Append("\t", 1);
  output.Append(lineText);
  output.Append("\n", 1);
}

/// Writes the entry end: two line feeds.
void WriteEntryEnd(OutputStream& output);

/// Returns \a entryName less its last four bytes, or whole when it is shorter than four bytes.
std::string_view MakeDisplayName(std::string_view entryName);
