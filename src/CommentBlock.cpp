#include "CommentBlock.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "SummaryDocument.h"

#if defined(__SSE2__) && !defined(DOCGLEANER_PORTABLE_SCAN)
#define DOCGLEANER_SSE2_SCAN 1
#include <emmintrin.h>
#endif

namespace {

// Once an entry runs on past its first read, larger reads mean fewer system calls; reads of
// 256 KiB keep "bigblock into tmpfs" near cat.
constexpr std::size_t kReadSize = 256 * 1024;

// Reads of this size go into a buffer inside the reader where the address space has no room for
// the large one.
constexpr std::size_t kSmallReadSize = 4096;

/// The large read buffer, allocated on first use and kept for every later entry; nullptr if no
/// memory could be had for it.
char* LargeReadBuffer() noexcept {
  static char* buffer = nullptr;
  static bool tried = false;
  if (!tried) {
    tried = true;
    buffer = static_cast<char*>(std::malloc(kChunkLimit + kReadSize + kScanSlack));
  }
  return buffer;
}

#if defined(DOCGLEANER_SSE2_SCAN)
/// Returns a mask with bit i set where byte i of \a bytes is a line feed or a NUL byte.
inline int LineFeedOrNulMask(__m128i bytes) noexcept {
  const __m128i lineFeeds = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'));
  return _mm_movemask_epi8(_mm_or_si128(lineFeeds, _mm_cmpeq_epi8(bytes, _mm_setzero_si128())));
}

/// Returns the index of the lowest bit set in \a mask, which is not 0.
inline std::size_t LowestBit(int mask) noexcept {
  return static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
}
#endif

/// Returns the first line feed or NUL byte among the \a size bytes at \a from, or nullptr; may look
/// at up to kScanSlack bytes past them.
inline const char* FindLineFeedOrNul(const char* from, std::size_t size) noexcept {
#if defined(DOCGLEANER_SSE2_SCAN)
  for (std::size_t at = 0; at < size; at += 16) {
    const int found = LineFeedOrNulMask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at)));
    if (found != 0) {
      const std::size_t offset = at + LowestBit(found);
      return offset < size ? from + offset : nullptr;
    }
  }
  return nullptr;
#else
  for (std::size_t at = 0; at < size; ++at) {
    if (from[at] == '\n' || from[at] == '\0') return from + at;
  }
  return nullptr;
#endif
}

enum class Marker : unsigned char { kNone, kOpening, kClosing };

/// Returns which marker a chunk whose text is \a text is. A marker fills its line alone: "/*\r" or
/// "*/ " is an ordinary line.
inline Marker MarkerOf(std::string_view text) noexcept {
  if (text == "/*") return Marker::kOpening;
  return text == "*/" ? Marker::kClosing : Marker::kNone;
}

/// Cuts an entry's bytes into chunks: a line with its line feed, or the next kChunkLimit bytes of a
/// longer line.
class ChunkReader {
 public:
  ChunkReader(const SystemCalls& calls, int entryFd, const EntryStart& start) noexcept
      : calls_(calls),
        entryFd_(entryFd),
        atEnd_(start.whole),
        unread_(start.sizeLimit - start.firstBytes.size()) {
    // An entry read whole is never read again, and needs no large buffer.
    buffer_ = start.whole ? nullptr : LargeReadBuffer();
    if (buffer_ == nullptr) {
      buffer_ = smallBuffer_;
      readSize_ = nextReadSize_ = kSmallReadSize;
    } else if (!start.firstBytes.empty()) {
      readSize_ = kReadSize;
    }
    pending_ = pendingEnd_ = buffer_ + kChunkLimit;
    if (start.firstBytes.empty()) return;
    pending_ = start.firstBytes.data();
    pendingEnd_ = pending_ + start.firstBytes.size();
  }

  /// Sets \a text to the next chunk's text, up to its first NUL and less a final line feed; returns
  /// false at the end of input.
  bool Next(std::string_view& text) noexcept {
    for (;;) {
      const std::size_t available = static_cast<std::size_t>(pendingEnd_ - pending_);
      const std::size_t window = available < kChunkLimit ? available : kChunkLimit;
      const char* stop = FindLineFeedOrNul(pending_, window);
      // A line's text ends at its first NUL byte; its chunk still runs on to the line feed.
      const char* lineFeed = stop == nullptr || *stop == '\n'
                                 ? stop
                                 : static_cast<const char*>(std::memchr(
                                       stop, '\n', window - static_cast<std::size_t>(stop - pending_)));
      std::size_t chunkSize = window;
      if (lineFeed != nullptr) {
        chunkSize = static_cast<std::size_t>(lineFeed - pending_) + 1;
      } else if (available < kChunkLimit && !atEnd_) {
        Refill();
        continue;
      } else if (available == 0) {
        return false;
      }
      const std::size_t textSize = stop != nullptr ? static_cast<std::size_t>(stop - pending_) : chunkSize;
      text = std::string_view(pending_, textSize);
      pending_ += chunkSize;
      atLineStart_ = lineFeed != nullptr;
      return true;
    }
  }

  /// Inside a block, copies the ordinary lines that come next straight into \a output as body lines.
  /// Stops before the first line that Next() must see: one that may be a marker, may hold a NUL
  /// byte, is longer than a chunk or is not wholly read yet.
  void CopyOrdinaryLines(OutputStream& output) noexcept;

  /// Outside a block, passes over the ordinary lines that come next, looking for the markers' bytes
  /// rather than cutting every line. Stops before the first chunk that Next() must see: one that
  /// may be a marker, lies in a line longer than a chunk or is not wholly read yet.
  void SkipOrdinaryLines() noexcept;

  /// Returns true if reading stopped on an error rather than at the end of input.
  bool ReadFailed() const noexcept { return readFailed_; }

 private:
  void Refill() noexcept {
    // The unfinished chunk moves into the reserve just before the read area, so that every read
    // is a whole read size and no chunk straddles two reads.
    const std::size_t carried = static_cast<std::size_t>(pendingEnd_ - pending_);
    char* const readArea = buffer_ + kChunkLimit;
    std::memmove(readArea - carried, pending_, carried);
    pending_ = readArea - carried;
    const std::size_t wanted = readSize_ < unread_ ? readSize_ : static_cast<std::size_t>(unread_);
    const ssize_t got = wanted > 0 ? CallWithRetries([&] { return calls_.read(entryFd_, readArea, wanted); },
                                                     kPassingFaultRetries)
                                   : 0;
    readSize_ = nextReadSize_;
    const std::size_t gotSize = got > 0 ? static_cast<std::size_t>(got) : 0;
    unread_ -= gotSize;
    pendingEnd_ = readArea + gotSize;
    // Defined bytes for the searches that look past the end; none is a line feed.
    std::memset(readArea + gotSize, 0, kScanSlack);
    if (got > 0) return;
    atEnd_ = true;
    readFailed_ = got < 0;
  }

  const SystemCalls& calls_;
  int entryFd_;
  bool atEnd_;
  bool readFailed_ = false;
  bool atLineStart_ = true;  // whether the next chunk starts a line, not a later chunk of one
  std::uint64_t unread_;     // bytes the size limit still lets be read
  std::size_t readSize_ = kFirstReadSize;
  std::size_t nextReadSize_ = kReadSize;
  char* buffer_;
  const char* pending_;
  const char* pendingEnd_;
  char smallBuffer_[kChunkLimit + kSmallReadSize + kScanSlack];
};

#if defined(DOCGLEANER_SSE2_SCAN)
void ChunkReader::CopyOrdinaryLines(OutputStream& output) noexcept {
  if (output.Failed()) return;
  for (;;) {
    const std::size_t available = static_cast<std::size_t>(pendingEnd_ - pending_);
    const std::size_t scanLimit = available < kChunkLimit ? available : kChunkLimit;
    // The body line is built in place while its line feed is searched for, sixteen bytes at a
    // time: one pass over the text instead of a search and then a copy.
    char* const text = BeginBlockLine(output, kChunkLimit + kScanSlack);
    std::size_t lineSize = 0;
    for (std::size_t scanned = 0;; scanned += 16) {
      if (scanned >= scanLimit) return;
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pending_ + scanned));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(text + scanned), bytes);
      const int found = LineFeedOrNulMask(bytes);
      if (found != 0) {
        lineSize = scanned + LowestBit(found) + 1;
        break;
      }
    }
    if (lineSize > scanLimit || pending_[lineSize - 1] == '\0') return;
    const std::string_view lineText(pending_, lineSize - 1);
    if (MarkerOf(lineText) != Marker::kNone) return;
    EndBlockLine(output, text + lineText.size());
    pending_ += lineSize;
  }
}

void ChunkReader::SkipOrdinaryLines() noexcept {
  // Sixty-four bytes at a time, a bit per byte: where a chunk starts, where a marker's two bytes
  // may stand and where a line's text may end. A chunk starts where the skip starts and after every
  // line feed; a line longer than a chunk starts more of them, so the skip stops before such a
  // line, and starts again only once Next() has cut that line to its end, so that no chunk of it
  // is looked at twice. "//" and "**" pass the test too, as do the last two bytes, whose next ones
  // are not looked at: Next() tells those apart.
  if (!atLineStart_) return;
  const std::size_t available = static_cast<std::size_t>(pendingEnd_ - pending_);
  std::size_t lineStart = 0;  // where the line being passed over starts, from pending_
  std::uint64_t startsNext = 1;
  for (std::size_t at = 0; at + 64 <= available; at += 64) {
    std::uint64_t feeds = 0;
    std::uint64_t textEnds = 0;
    std::uint64_t markerBytes = 0;
    for (int part = 0; part < 4; ++part) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pending_ + at + 16 * part));
      const __m128i lineFeeds = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'));
      const __m128i marks =
          _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('/')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('*')));
      feeds |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(lineFeeds))) << (16 * part);
      textEnds |= static_cast<std::uint64_t>(static_cast<unsigned>(LineFeedOrNulMask(bytes))) << (16 * part);
      markerBytes |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(marks)))
                     << (16 * part);
    }
    const std::uint64_t starts = feeds << 1 | startsNext;
    startsNext = feeds >> 63;
    const std::uint64_t hits = starts & markerBytes & (markerBytes >> 1 | std::uint64_t{1} << 63) &
                               (textEnds >> 2 | std::uint64_t{3} << 62);
    const std::size_t firstFeed =
        feeds != 0 ? at + static_cast<std::size_t>(__builtin_ctzll(feeds)) : at + 64;
    if (firstFeed - lineStart >= kChunkLimit) break;
    if (hits != 0) {
      lineStart = at + static_cast<std::size_t>(__builtin_ctzll(hits));
      break;
    }
    if (feeds != 0) lineStart = at + 64 - static_cast<std::size_t>(__builtin_clzll(feeds));
  }
  pending_ += lineStart;
}
#else
void ChunkReader::CopyOrdinaryLines(OutputStream&) noexcept {}
void ChunkReader::SkipOrdinaryLines() noexcept {}
#endif

}  // namespace

bool CopyCommentBlock(int entryFd, OutputStream& output, const EntryStart& start, const SystemCalls& calls) {
  ChunkReader reader(calls, entryFd, start);
  bool inside = false;
  std::string_view text;
  // Once the output has failed, nothing more of this entry can reach it: nothing more is read.
  while (!output.Failed() && reader.Next(text)) {
    const Marker marker = MarkerOf(text);
    if (marker == Marker::kClosing) break;
    if (marker == Marker::kOpening) {
      inside = true;
    } else if (inside) {
      WriteBlockLine(output, text);
    }
    if (inside) {
      reader.CopyOrdinaryLines(output);
    } else {
      reader.SkipOrdinaryLines();
    }
  }
  return !reader.ReadFailed();
}
