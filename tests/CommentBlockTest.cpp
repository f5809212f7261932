// The block copy gives the lines a plain line reader gives, whatever was read ahead or the limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "CommentBlock.h"
#include "EntryStart.h"
#include "OutputStream.h"
#include "TestSupport.h"

namespace {

struct BlockCase {
  const char* name;
  std::string input;
  std::string expected;
};

std::string Line(std::size_t size, char fill = 'x') {
  return std::string(size, fill);
}

std::string Repeat(const std::string& text, std::size_t count) {
  std::string repeated;
  for (std::size_t index = 0; index < count; ++index) repeated += text;
  return repeated;
}

// Numbered lines of 100 bytes each, so that some line straddles the edge of every read.
std::string NumberedLines(int count, const char* prefix) {
  std::string lines;
  for (int index = 0; index < count; ++index) {
    std::string line = std::to_string(index);
    line.resize(99, '.');
    lines += prefix + line + "\n";
  }
  return lines;
}

const BlockCase kBlockCases[] = {
    // No block.
    {"Empty", "", ""},
    {"NoOpeningMarker", "int a;\nint b;\n", ""},
    {"EmptyBlock", "/*\n*/\n", ""},
    {"ClosingBeforeOpening", "a\n*/\n/*\nA\n*/\n", ""},
    // What the block gives.
    {"CodeAroundBlock", "code\n/*\nA\nB\n*/\nmore\n", "\tA\n\tB\n"},
    {"EmptyLineInside", "/*\n\n*/\n", "\t\n"},
    {"SpacesAndTabsKept", "/*\n \tA \t\n*/\n", "\t \tA \t\n"},
    {"PercentKept", "/*\n100%s %d\n*/\n", "\t100%s %d\n"},
    {"ClosingWithoutLineFeed", "/*\nA\n*/", "\tA\n"},
    {"LastLineWithoutLineFeed", "/*\nA\nB", "\tA\n\tB\n"},
    {"NeverClosed", "/*\nA\n\nB\n", "\tA\n\t\n\tB\n"},
    {"OnlyFirstBlock", "/*\nA\n*/\n/*\nB\n*/\n", "\tA\n"},
    {"SecondOpeningPassedOver", "/*\n/*\nA\n*/\n", "\tA\n"},
    // A marker must stand alone on its line.
    {"CrLfMarkersAreOrdinary", "/*\r\nA\r\n*/\r\n", ""},
    {"CrLfInsideKeepsReturn", "/*\nA\r\n*/\n", "\tA\r\n"},
    {"IndentedMarkers", " /*\nA\n/*\nB\n\t*/\n*/ \n*/\nC\n", "\tB\n\t\t*/\n\t*/ \n"},
    {"ThirdStar", "/**\nA\n*/\n", ""},
    {"ClosingWithTrailingText", "/*\n*/x\nA\n*/\nB\n", "\t*/x\n\tA\n"},
    // Lines longer than a chunk.
    {"LineOneShortOfChunk", "/*\n" + Line(1008) + "\n*/\n", "\t" + Line(1008) + "\n"},
    {"LineOfExactlyOneChunk", "/*\n" + Line(1009) + "\n*/\n", "\t" + Line(1009) + "\n\t\n"},
    {"LongLineSplit", "/*\n" + Line(2500) + "\n*/\n",
     "\t" + Line(1009) + "\n\t" + Line(1009) + "\n\t" + Line(482) + "\n"},
    {"ChunkEndingInClosing", "/*\n" + Line(1009) + "*/\nB\n*/\n", "\t" + Line(1009) + "\n"},
    {"ChunkEndingInOpening", Line(1009) + "/*\nA\n*/\n", "\tA\n"},
    {"LaterChunkEndingInOpening", "a\n" + Line(2018) + "/*\nA\n*/\n", "\tA\n"},
    {"LongLastLineWithoutLineFeed", "/*\n" + Line(1010), "\t" + Line(1009) + "\n\tx\n"},
    // A NUL byte ends a chunk's text, not the chunk.
    {"NulFirst", "/*\n" + std::string("\0abc\nB\n*/\n", 10), "\t\n\tB\n"},
    {"NulInside", "/*\n" + std::string("ab\0cd\n*/\n", 9), "\tab\n"},
    {"NulAfterOpening", "a\n" + std::string("/*\0x\nA\n*/\n", 11), "\tA\n"},
    {"NulAfterClosing", "/*\nA\n" + std::string("*/\0x\nB\n", 7), "\tA\n"},
    {"NulInLongLine", "/*\n" + std::string("ab\0", 3) + Line(1100) + "\n*/\n", "\tab\n\t" + Line(94) + "\n"},
    // Chunks and markers across the edge of the first read.
    {"LinesAcrossReads", "/*\n" + NumberedLines(1400, "") + "*/\n", NumberedLines(1400, "\t")},
    {"LongLineAcrossRead", Line(kFirstReadSize - 2, '\n') + "/*\n" + Line(1500) + "\n*/\n",
     "\t" + Line(1009) + "\n\t" + Line(491) + "\n"},
    {"ClosingAcrossRead", "/*\n" + Line(kFirstReadSize - 4, '\n') + "*/\nB\n",
     Repeat("\t\n", kFirstReadSize - 4)},
};

// Returns an anonymous in-memory file holding \a contents, positioned at its start.
int MakeMemoryFile(const std::string& contents) {
  const int fd = ::memfd_create("docgleaner-test", MFD_CLOEXEC);
  if (fd >= 0 && (::write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size()) ||
                  ::lseek(fd, 0, SEEK_SET) != 0)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string ReadMemoryFile(int fd) {
  std::string contents;
  char chunk[4096];
  for (off_t offset = 0;;) {
    const ssize_t got = ::pread(fd, chunk, sizeof chunk, offset);
    if (got <= 0) return contents;
    contents.append(chunk, static_cast<std::size_t>(got));
    offset += got;
  }
}

// Runs CopyCommentBlock over \a input and returns what it wrote: the first \a aheadSize bytes are
// handed over as read ahead (none when npos), marked as the whole entry if \a whole, and no more
// than \a sizeLimit bytes may be read in all.
std::string CopyBlock(const std::string& input, std::size_t aheadSize, bool whole = false,
                      std::uint64_t sizeLimit = UINT64_MAX) {
  const std::size_t ahead = aheadSize == std::string::npos ? 0 : std::min(aheadSize, input.size());
  const int inputFd = MakeMemoryFile(input);
  const int outputFd = MakeMemoryFile("");
  if (inputFd < 0 || outputFd < 0 || ::lseek(inputFd, static_cast<off_t>(ahead), SEEK_SET) < 0)
    return "no memory file";
  const std::string aheadBytes = input.substr(0, ahead) + std::string(kScanSlack, '\0');
  EntryStart entryStart;
  entryStart.firstBytes = std::string_view(aheadBytes.data(), ahead);
  entryStart.whole = whole;
  entryStart.sizeLimit = sizeLimit;
  {
    OutputStream output(::dup(outputFd));
    EXPECT_TRUE(CopyCommentBlock(inputFd, output, entryStart));
    EXPECT_TRUE(output.Close());
  }
  std::string written = ReadMemoryFile(outputFd);
  ::close(inputFd);
  ::close(outputFd);
  return written;
}

TEST(CommentBlockTest, CopiesTheBlockLinesOfEachCase) {
  for (const BlockCase& blockCase : kBlockCases) {
    SCOPED_TRACE(blockCase.name);
    EXPECT_TRUE(SameDocument(CopyBlock(blockCase.input, std::string::npos), blockCase.expected));
  }
}

TEST(CommentBlockTest, GivesTheSameLinesWhateverWasReadAhead) {
  for (const BlockCase& blockCase : kBlockCases) {
    const std::size_t size = blockCase.input.size();
    // A read ahead gives at least one byte unless the entry is empty; one that took it all may or
    // may not know that nothing follows.
    for (const std::size_t ahead : {std::size_t{1}, std::size_t{4}, kChunkLimit, size / 2 + 1, size}) {
      for (const bool whole : {false, ahead >= size}) {
        SCOPED_TRACE(std::string(blockCase.name) + ", read ahead " + std::to_string(ahead) +
                     (whole ? ", whole" : ""));
        EXPECT_TRUE(SameDocument(CopyBlock(blockCase.input, ahead, whole), blockCase.expected));
      }
    }
  }
}

TEST(CommentBlockTest, ReadsNoFurtherThanTheSizeLimit) {
  // Reading up to a limit gives what the entry cut at that limit gives, the bytes read ahead
  // counted in.
  for (const BlockCase& blockCase : kBlockCases) {
    const std::size_t size = blockCase.input.size();
    for (const std::size_t limit : {std::size_t{0}, std::size_t{3}, size / 2, std::size_t{65537}, size - 1}) {
      if (limit > size) continue;
      for (const std::size_t ahead : {std::string::npos, limit / 2}) {
        SCOPED_TRACE(std::string(blockCase.name) + ", limit " + std::to_string(limit) + ", read ahead " +
                     std::to_string(ahead));
        EXPECT_TRUE(SameDocument(CopyBlock(blockCase.input, ahead, false, limit),
                                 CopyBlock(blockCase.input.substr(0, limit), std::string::npos)));
      }
    }
  }
}

TEST(CommentBlockTest, ReportsAReadThatKeepsFailing) {
  // Whatever the error, even one that may pass (EAGAIN from an empty pipe), a read that keeps
  // failing is a failure, never the end of the entry.
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC), 0);
  const struct {
    const char* name;
    int fd;
  } kSources[] = {
      {"unmapped memory", ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC)},
      {"folder", ::open("/", O_RDONLY | O_CLOEXEC)},
      {"empty pipe", pipeFds[0]},
  };
  OutputStream output(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  for (const auto& source : kSources) {
    SCOPED_TRACE(source.name);
    ASSERT_GE(source.fd, 0);
    EXPECT_FALSE(CopyCommentBlock(source.fd, output));
    ::close(source.fd);
  }
  ::close(pipeFds[1]);
}

}  // namespace
