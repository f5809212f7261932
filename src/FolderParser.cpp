#include "FolderParser.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "CommentBlock.h"
#include "SummaryDocument.h"

namespace {

/// An open file descriptor, closed quietly when it goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Get() const noexcept { return fd_; }

 private:
  int fd_;
};

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

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

/// Returns true when the open entry is a regular file; only those are read, so that a pipe or a
/// device can neither stall the run nor feed it forever.
bool IsRegularFile(unsigned char listedType, int entryFd) {
  if (listedType == DT_REG) return true;
  if (listedType == DT_DIR) return false;
  // Links, special files and listings that do not say: ask the open file itself.
  struct stat status;
  return ::fstat(entryFd, &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

void PrintUsage() {
  WriteMessage("\nUsage: docgleaner [target folder] [output file]\n\n");
}

int RunFolderParser(int argumentCount, char* argumentVector[]) {
  if (argumentCount != 3) {
    PrintUsage();
    return -1;
  }
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
  OutputStream output(outputFd);
  WriteHeader(output, folderText);

  // Entries are opened relative to the open folder: the same file as the folder text joined to
  // the name with one "/", without any limit on the joined length.
  const int folderFd = ::dirfd(folder.get());
  std::int32_t entryNumber = 0;
  const char* failure = nullptr;
  while (!output.Failed()) {
    errno = 0;
    const dirent* entry = ::readdir(folder.get());
    if (entry == nullptr) {
      if (errno != 0) failure = "Cannot read dir\n";
      break;
    }
    if (IsDotOrDotDot(entry->d_name)) continue;

    // O_NONBLOCK keeps the open of a pipe without a writer from waiting forever.
    const FileDescriptor entryFile(
        ::openat(folderFd, entry->d_name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (entryFile.Get() < 0) {
      failure = "Cannot open file\n";
      break;
    }
    ++entryNumber;
    WriteEntryHeading(output, entryNumber, entry->d_name);
    const bool readWhole =
        !IsRegularFile(entry->d_type, entryFile.Get()) || CopyCommentBlock(entryFile.Get(), output);
    WriteEntryEnd(output);
    if (!readWhole) {
      failure = "Cannot read file\n";
      break;
    }
  }

  // The output is written out on every path, so a failed run keeps all it wrote before.
  const bool outputWritten = output.Close();
  if (failure != nullptr) {
    WriteMessage(failure);
    return -1;
  }
  if (!outputWritten) {
    WriteMessage("Cannot write output\n");
    return -1;
  }
  return 0;
}
