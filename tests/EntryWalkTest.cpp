// The walk hands over what the open files are, whatever the listing said or a read ahead met.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "CommentBlock.h"
#include "EntryWalk.h"
#include "OutputStream.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

struct CloseDirectory {
  void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};

// How the reads of the threads started from a thread that TrapReadsOfThisThread() set up go.
enum class ReadTrap { kFail, kShort };
std::atomic<ReadTrap> readTrap;

#if defined(__x86_64__)
// Stands in for a trapped read: fails it, or reads at most 100 bytes.
void OnTrappedRead(int, siginfo_t*, void* context) {
  greg_t* const registers = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
  long result = -ENOMEM;
  if (readTrap == ReadTrap::kShort) {
    const int savedErrno = errno;
    iovec part{reinterpret_cast<void*>(registers[REG_RSI]),
               std::min<std::size_t>(static_cast<std::size_t>(registers[REG_RDX]), 100)};
    result = ::syscall(SYS_readv, registers[REG_RDI], &part, 1);
    if (result < 0) result = -errno;
    errno = savedErrno;
  }
  registers[REG_RAX] = result;
}

// Makes every read of the calling thread, and of the threads it starts from now on, go as \a trap
// says.
bool TrapReadsOfThisThread(ReadTrap trap) {
  readTrap = trap;
  struct sigaction action {};
  action.sa_sigaction = OnTrappedRead;
  action.sa_flags = SA_SIGINFO;
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_read, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{sizeof filter / sizeof filter[0], filter};
  return ::sigaction(SIGSYS, &action, nullptr) == 0 && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}
#else
bool TrapReadsOfThisThread(ReadTrap) {
  return false;
}
#endif

// Writes \a count files fN in \a folder, each holding the line N, after \a lead, in a block.
void WriteNumberedFiles(const fs::path& folder, int count, const std::string& lead = "") {
  for (int index = 0; index < count; ++index) {
    const std::string number = std::to_string(index);
    WriteWholeFile(folder / ("f" + number), lead + "/*\n" + number + "\n*/\n");
  }
}

// Returns the body lines that the walk's entry gives.
std::string BodyLines(const FolderEntry& entry) {
  const ScopedTempDir scratch;
  const fs::path path = scratch.Path() / "body";
  {
    OutputStream output(OutputStream::Open(path.c_str()));
    EXPECT_TRUE(CopyCommentBlock(entry.fd, output, entry.start));
  }
  return ReadWholeFile(path);
}

TEST(EntryWalkTest, AFileReplacedByADeviceAfterTheListingIsNotRead) {
  const ScopedTempDir scratch;
  for (const char* name : {"a.txt", "b.txt"}) WriteWholeFile(scratch.Path() / name, "/*\nA\n*/\n");
  const std::unique_ptr<DIR, CloseDirectory> folder(::opendir(scratch.Path().c_str()));
  OutputStream output(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  EntryWalk walk(folder.get(), output, 0);

  const FolderEntry* first = walk.Next();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->regular);
  // Both names are listed now, as regular files; the second becomes a link to a device.
  const std::string second = first->name == std::string("a.txt") ? "b.txt" : "a.txt";
  fs::remove(scratch.Path() / second);
  fs::create_symlink("/dev/zero", scratch.Path() / second);
  const FolderEntry* replaced = walk.Next();
  ASSERT_NE(replaced, nullptr);
  EXPECT_EQ(replaced->name, second);
  EXPECT_TRUE(replaced->opened);
  EXPECT_FALSE(replaced->regular);
  EXPECT_EQ(walk.Next(), nullptr);
}

TEST(EntryWalkTest, ReadsAheadThatFailOrComeShortLoseNothing) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "stands in for reads on x86-64 only";
#endif
  constexpr int kFiles = 40;
  for (const ReadTrap trap : {ReadTrap::kFail, ReadTrap::kShort}) {
    SCOPED_TRACE(trap == ReadTrap::kFail ? "reads ahead fail" : "reads ahead come short");
    // File fN holds the line N in a block that starts past the first 100 bytes.
    const ScopedTempDir scratch;
    WriteNumberedFiles(scratch.Path(), kFiles, std::string(150, '\n'));
    const std::unique_ptr<DIR, CloseDirectory> folder(::opendir(scratch.Path().c_str()));
    OutputStream output(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    // The readers start from a thread whose reads are trapped, and so are theirs; this thread takes
    // the entries in turn and reads as usual.
    std::optional<EntryWalk> walk;
    std::thread([&] {
      if (TrapReadsOfThisThread(trap)) walk.emplace(folder.get(), output, 2);
    }).join();
    ASSERT_TRUE(walk.has_value());

    int taken = 0;
    while (const FolderEntry* entry = walk->Next()) {
      SCOPED_TRACE(entry->name);
      ASSERT_TRUE(entry->opened);
      EXPECT_EQ(BodyLines(*entry), std::string("\t").append(entry->name + 1).append("\n"));
      ++taken;
    }
    EXPECT_EQ(taken, kFiles);
    EXPECT_FALSE(walk->ListingFailed());
  }
}

// Returns how many reads the threads of this process but the calling one have made.
long ReadsOfOtherThreads() {
  long reads = 0;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    if (task.path().filename() == std::to_string(::gettid())) continue;
    std::istringstream io(ReadWholeFile(task.path() / "io"));
    for (std::string field; io >> field;) {
      long threadReads = 0;
      if (field == "syscr:" && io >> threadReads) reads += threadReads;
    }
  }
  return reads;
}

TEST(EntryWalkTest, ReadersWaitingForWorkAreWokenForIt) {
  // This thread takes its time over each entry, so the readers run out of work and wait before
  // every entry listed next. They must be woken for each and, where the walk turns shallow and then
  // deep again, when it turns deep; so they read nearly every entry, as each deep stretch reads
  // ahead over the shallow one after it.
  const struct {
    const char* name;
    int readers;  // while shallow
    Depth depth;
    int files;
  } kWalks[] = {
      {"one reader", 1, Depth::kFollowStorage, 40},
      {"deep and shallow in turn", 0, Depth::kAlternating, 160},
  };
  for (const auto& walkCase : kWalks) {
    SCOPED_TRACE(walkCase.name);
    const ScopedTempDir scratch;
    WriteNumberedFiles(scratch.Path(), walkCase.files);
    const std::unique_ptr<DIR, CloseDirectory> folder(::opendir(scratch.Path().c_str()));
    OutputStream output(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    EntryWalk walk(folder.get(), output, walkCase.readers, walkCase.depth);
    while (walk.Next() != nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_GT(ReadsOfOtherThreads(), walkCase.files * 3 / 4);
  }
}

TEST(EntryWalkTest, EndsCleanlyAfterAnyNumberOfReadersAndARetry) {
  // An entry that does not open is tried again once the readers are stopped; the walk then ends
  // with what it still holds. More readers than a walk runs are asked for too.
  const ScopedTempDir scratch;
  WriteNumberedFiles(scratch.Path(), 30);
  fs::create_symlink(scratch.Path() / "nowhere", scratch.Path() / "gone");
  for (const int readers : {1, 64}) {
    SCOPED_TRACE(std::to_string(readers) + " readers");
    const std::unique_ptr<DIR, CloseDirectory> folder(::opendir(scratch.Path().c_str()));
    OutputStream output(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    EntryWalk walk(folder.get(), output, readers);
    const FolderEntry* entry;
    while ((entry = walk.Next()) != nullptr && entry->opened)
      EXPECT_EQ(BodyLines(*entry), std::string("\t").append(entry->name + 1).append("\n"));
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->name, "gone");
  }
}

}  // namespace
