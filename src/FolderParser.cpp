#include "FolderParser.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "CommentBlock.h"
#include "EntryWalk.h"
#include "FolderParserWithDepth.h"
#include "OutputStream.h"
#include "SummaryDocument.h"
#include "Threads.h"

namespace {

struct CloseDirectory {
  void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};
using DirectoryStream = std::unique_ptr<DIR, CloseDirectory>;

void WriteMessage(std::string_view message) {
  // Nothing useful is left to do if standard error itself cannot be written.
  while (!message.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, message.data(), message.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    message.remove_prefix(static_cast<std::size_t>(written));
  }
}

// A standard stream that the tool was started without gets a stand-in, so that neither the folder
// nor the output takes its number and has a message written into it. The stand-in, a path-only
// descriptor of the root folder (which even an empty chroot has), fails every read and write.
void StandInForClosedStreams() noexcept {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) ::open("/", O_PATH | O_CLOEXEC);
  }
}

void CloseEveryDescriptor() noexcept {
  if (::close_range(0, ~0U, 0) == 0) return;
  // Kernels before 5.9 lack close_range: the descriptors open are those /proc lists, where one call
  // per possible descriptor would make a million under a common limit. Without /proc, the standard
  // streams are what others wait on; the output is closed already.
  const int listing = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) ::close(fd);
    return;
  }
  alignas(dirent64) char names[2048];
  for (long got; (got = ::syscall(SYS_getdents64, listing, names, sizeof names)) > 0;) {
    for (long at = 0; at < got; at += reinterpret_cast<const dirent64*>(names + at)->d_reclen) {
      const char* name = reinterpret_cast<const dirent64*>(names + at)->d_name;
      int fd = 0;
      while (*name >= '0' && *name <= '9') fd = fd * 10 + (*name++ - '0');
      if (*name == '\0' && fd != listing) ::close(fd);
    }
  }
  ::close(listing);
}

}  // namespace

void PrintUsage() {
  WriteMessage("\nUsage: docgleaner [target folder] [output file]\n\n");
}

namespace {

/// The run, reading ahead as \a depth says, or where it is nullptr, as a DepthPolicy says from the
/// storage.
int Run(int argumentCount, char* argumentVector[], const DepthRule* depth) {
  if (argumentCount != 3) {
    PrintUsage();
    return -1;
  }
  StandInForClosedStreams();
  const char* const folderText = argumentVector[1];
  const DirectoryStream folder(::opendir(folderText));
  if (!folder) {
    WriteMessage("Cannot open dir\n");
    return -1;
  }
  const int outputFd = OutputStream::Open(argumentVector[2]);
  if (outputFd < 0) {
    WriteMessage("Cannot open output\n");
    return -1;
  }
  // Where the process may run on more than one processor, threads read entries ahead and write
  // the output behind, while this thread takes the entries in listing order and decides every
  // message and the exit status exactly as it would alone.
  const int processors = UsableProcessors();
  OutputStream output(outputFd, processors > 1);
  WriteHeader(output, folderText);

  DepthPolicy storagePolicy;
  EntryWalk walk(folder.get(), output, processors - 1, depth != nullptr ? *depth : storagePolicy.Rule());
  std::int32_t entryNumber = 0;
  const char* failure = nullptr;
  while (!output.Failed()) {
    const FolderEntry* entry = walk.Next();
    if (entry == nullptr) {
      if (walk.ListingFailed()) failure = "Cannot read dir\n";
      break;
    }
    if (entry->state == EntryState::kNotOpened) {
      failure = "Cannot open file\n";
      break;
    }
    ++entryNumber;
    WriteEntryHeading(output, entryNumber, entry->name);
    bool readFailed = false;
    switch (entry->state) {
      case EntryState::kRegularFile: readFailed = !CopyCommentBlock(entry->fd, output, entry->start); break;
      case EntryState::kNoLines: break;
      // Never here: a walk fetches every entry it hands over, and one that did not open ends the run
      // before its heading.
      case EntryState::kNotFetched:
      case EntryState::kNotOpened:
      case EntryState::kUnexamined: readFailed = true; break;
    }
    WriteEntryEnd(output);
    if (readFailed) {
      failure = "Cannot read file\n";
      break;
    }
  }

  // A write that failed before the run stopped is the first failure, though the writer thread may
  // tell of it only now.
  if (failure != nullptr && !output.Drain()) failure = nullptr;
  // The output is written out on every path, so a failed run keeps all it wrote before.
  if (!output.Close() && failure == nullptr) failure = "Cannot write output\n";
  if (failure != nullptr) {
    WriteMessage(failure);
    // The process ends here, without waiting for readers still busy on entries the run will not
    // use: an open on a server that stopped answering may never return. The kernel may still wait
    // out an open that a network file system's server has taken before the process can end, so
    // every descriptor is closed first: whoever reads the standard streams or the output sees
    // their end now, not when the server answers.
    CloseEveryDescriptor();
    ::_exit(255);
  }
  return 0;
}

}  // namespace

int RunFolderParser(int argumentCount, char* argumentVector[]) {
  return Run(argumentCount, argumentVector, nullptr);
}

int RunFolderParserWithDepth(int argumentCount, char* argumentVector[], DepthRule depth) {
  return Run(argumentCount, argumentVector, &depth);
}
