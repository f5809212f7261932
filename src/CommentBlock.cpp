#include "CommentBlock.h"

#include <unistd.h>

#include <cerrno>

namespace {

constexpr std::size_t kReadSize = 64 * 1024;

/// Cuts an entry's bytes into chunks: a line with its line feed, or the next kChunkLimit bytes of a
/// longer line.
class ChunkReader {
 public:
  explicit ChunkReader(int entryFd) noexcept : entryFd_(entryFd) {}

  /// Sets \a text to the next chunk's text, up to its first NUL and less a final line feed; returns
  /// false at the end of input.
  bool Next(std::string_view& text) noexcept {
    for (;;) {
      const std::size_t available = static_cast<std::size_t>(pendingEnd_ - pending_);
      const std::size_t window = available < kChunkLimit ? available : kChunkLimit;
      const auto* lineFeed = static_cast<const char*>(std::memchr(pending_, '\n', window));
      std::size_t chunkSize = window;
      if (lineFeed != nullptr) {
        chunkSize = static_cast<std::size_t>(lineFeed - pending_) + 1;
      } else if (available < kChunkLimit && !atEnd_) {
        Refill();
        continue;
      } else if (available == 0) {
        return false;
      }
      std::size_t textSize = chunkSize;
      if (mayHoldNul_) {
        if (const void* nul = std::memchr(pending_, '\0', chunkSize)) {
          textSize = static_cast<std::size_t>(static_cast<const char*>(nul) - pending_);
        }
      }
      if (textSize > 0 && pending_[textSize - 1] == '\n') --textSize;
      text = std::string_view(pending_, textSize);
      pending_ += chunkSize;
      return true;
    }
  }

  /// Returns true if reading stopped on an error rather than at the end of input.
  bool ReadFailed() const noexcept { return readFailed_; }

 private:
  void Refill() noexcept {
    // The unfinished chunk moves into the reserve just before the read area, so that every read
    // is a whole kReadSize and no chunk straddles two reads.
    const std::size_t carried = static_cast<std::size_t>(pendingEnd_ - pending_);
    char* const readArea = buffer_ + kChunkLimit;
    std::memmove(readArea - carried, pending_, carried);
    pending_ = readArea - carried;
    pendingEnd_ = readArea;
    ssize_t got;
    do {
      got = ::read(entryFd_, readArea, kReadSize);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
      pendingEnd_ += got;
      // Most text holds no NUL at all; one look here spares a look per chunk.
      mayHoldNul_ = std::memchr(pending_, '\0', carried + static_cast<std::size_t>(got)) != nullptr;
      return;
    }
    atEnd_ = true;
    // A pipe with nothing to give yet, or a folder, simply holds no lines.
    readFailed_ = got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EISDIR;
  }

  int entryFd_;
  bool atEnd_ = false;
  bool readFailed_ = false;
  bool mayHoldNul_ = false;
  const char* pending_ = buffer_ + kChunkLimit;
  const char* pendingEnd_ = buffer_ + kChunkLimit;
  char buffer_[kChunkLimit + kReadSize];
};

bool IsMarker(std::string_view text, char first, char second) {
  return text.size() == 2 && text[0] == first && text[1] == second;
}

}  // namespace

bool CopyCommentBlock(int entryFd, OutputStream& output) {
  ChunkReader reader(entryFd);
  bool inside = false;
  std::string_view text;
  while (reader.Next(text)) {
    // A marker must fill its line alone: "/*\r" or "*/ " is an ordinary line.
    if (IsMarker(text, '*', '/')) break;
    if (IsMarker(text, '/', '*')) {
      inside = true;
    } else if (inside) {
      // Once the output has failed, nothing more of this entry can reach it.
      if (output.Failed()) break;
      WriteBlockLine(output, text);
    }
  }
  return !reader.ReadFailed();
}
