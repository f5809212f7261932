// Feeds the same bytes to CopyCommentBlock and to a plain fgets reading with a 1010-byte buffer,
// the reference for what a chunk is, and stops on any difference in the body lines they write.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CommentBlock.h"
#include "EntryStart.h"
#include "OutputStream.h"

namespace {

std::string ReferenceBodyLines(const std::string& input) {
  std::string bodyLines;
  if (input.empty()) return bodyLines;
  FILE* entry = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
  if (entry == nullptr) std::abort();
  char line[1010];
  bool inside = false;
  while (std::fgets(line, sizeof line, entry) != nullptr) {
    std::size_t size = std::strlen(line);
    if (size > 0 && line[size - 1] == '\n') line[--size] = '\0';
    if (std::strcmp(line, "*/") == 0) break;
    if (std::strcmp(line, "/*") == 0) {
      inside = true;
    } else if (inside) {
      bodyLines.append("\t").append(line, size).append("\n");
    }
  }
  std::fclose(entry);
  return bodyLines;
}

// Runs CopyCommentBlock over \a input, its first \a aheadSize bytes handed over as read ahead when
// \a aheadSize is not npos, and no more than \a sizeLimit bytes read in all.
std::string BodyLines(const std::string& input, std::size_t aheadSize, std::uint64_t sizeLimit) {
  const int inputFd = memfd_create("entry", MFD_CLOEXEC);
  const int outputFd = memfd_create("output", MFD_CLOEXEC);
  if (inputFd < 0 || outputFd < 0) std::abort();
  if (::write(inputFd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) std::abort();
  EntryStart entryStart;
  entryStart.sizeLimit = sizeLimit;
  std::string aheadBytes;
  if (aheadSize != std::string::npos) {
    // A read ahead gives at least one byte unless the entry is empty, and never passes the limit.
    aheadSize =
        std::min({std::max<std::size_t>(aheadSize, 1), input.size(), static_cast<std::size_t>(sizeLimit)});
    aheadBytes = input.substr(0, aheadSize) + std::string(kScanSlack, '\0');
    entryStart.firstBytes = std::string_view(aheadBytes.data(), aheadSize);
    entryStart.whole = aheadSize == input.size();
  }
  if (::lseek(inputFd, static_cast<off_t>(entryStart.firstBytes.size()), SEEK_SET) < 0) std::abort();
  {
    OutputStream output(::dup(outputFd));
    if (!CopyCommentBlock(inputFd, output, entryStart) || !output.Close()) std::abort();
  }
  std::string bodyLines;
  char chunk[65536];
  ssize_t got;
  for (off_t offset = 0; (got = ::pread(outputFd, chunk, sizeof chunk, offset)) > 0; offset += got) {
    bodyLines.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(inputFd);
  ::close(outputFd);
  return bodyLines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input;
  // Inputs that start with "#" have their first bytes handed over as read ahead, as many as the
  // next byte says, times 17.
  std::size_t aheadSize = std::string::npos;
  if (size >= 2 && data[0] == '#') {
    aheadSize = data[1] * std::size_t{17};
    data += 2;
    size -= 2;
  }
  // Inputs that start with "!" may be read no further than the next byte says, times 17.
  std::uint64_t sizeLimit = UINT64_MAX;
  if (size >= 2 && data[0] == '!') {
    sizeLimit = data[1] * std::uint64_t{17};
    data += 2;
    size -= 2;
  }
  // Inputs that start with "@" are moved to just before the end of the first read, behind
  // filler chosen by their next bytes, so that their chunks and markers straddle the two reads.
  // With bit 4, the filler follows a line of its own and ends where a chunk does.
  if (size >= 4 && data[0] == '@') {
    std::size_t lead = kFirstReadSize - (data[1] | (data[2] & 0x07) << 8);
    const char filler = data[3] & 1 ? 'x' : '\n';
    if (data[3] & 2) input = "/*\n";
    if (data[3] & 4) {
      input += "\n";
      lead -= (lead - input.size()) % kChunkLimit;
    }
    input.append(lead - input.size(), filler);
    data += 4;
    size -= 4;
  }
  input.append(reinterpret_cast<const char*>(data), size);
  const std::string readable = input.substr(0, std::min<std::uint64_t>(sizeLimit, input.size()));
  if (BodyLines(input, aheadSize, sizeLimit) != ReferenceBodyLines(readable)) std::abort();
  return 0;
}
