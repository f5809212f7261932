// The walk hands over what the open files are, whatever the listing said or a read ahead met.
//
// The walks here make their system calls through kTrappedCalls, which can tell which thread read
// and make the readers' calls fail or come short.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "CommentBlock.h"
#include "EntryWalk.h"
#include "OutputStream.h"
#include "SystemCalls.h"
#include "TestDepths.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

// The reads, or with kFailStatx, kHalfSize and kMaskless the statx calls, of every thread but
// untrappedThread (with kCountAll, of every thread) are counted and go as readTrap says; with
// kEagainForAWhile, the reads of every thread, uncounted, fail with EAGAIN until eagainUntil. While
// untrappedThread is 0, every call goes as usual.
enum class ReadTrap { kCount, kCountAll, kFail, kShort, kFailStatx, kHalfSize, kMaskless, kEagainForAWhile };
std::atomic<pid_t> untrappedThread{0};
std::atomic<ReadTrap> readTrap{ReadTrap::kCount};
std::atomic<long> trappedCalls{0};
std::atomic<std::chrono::steady_clock::time_point> eagainUntil;

bool Trapped(bool statxCall) {
  const pid_t untrapped = untrappedThread;
  const ReadTrap trap = readTrap;
  return untrapped != 0 && (trap == ReadTrap::kCountAll || ::gettid() != untrapped) &&
         statxCall ==
             (trap == ReadTrap::kFailStatx || trap == ReadTrap::kHalfSize || trap == ReadTrap::kMaskless);
}

// Traps the reads of every thread but the calling one, as \a trap says, for the life of the object;
// meanwhile, a walk that hangs, as one whose readers are not woken does, ends the test program and
// names the test.
class ScopedReadTrap {
 public:
  explicit ScopedReadTrap(ReadTrap trap) {
    readTrap = trap;
    trappedCalls = 0;
    untrappedThread = ::gettid();
    eagainUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(40);
    static std::string hung;
    hung = std::string("EntryWalkTest.") + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
           ": the walk hung for 120 s\n";
    std::signal(SIGALRM, [](int) { ::_exit(::write(STDERR_FILENO, hung.data(), hung.size()) < 0 ? 2 : 1); });
    ::alarm(120);
  }
  ScopedReadTrap(const ScopedReadTrap&) = delete;
  ScopedReadTrap& operator=(const ScopedReadTrap&) = delete;
  ~ScopedReadTrap() {
    ::alarm(0);
    untrappedThread = 0;
  }
};

int TrappedStatx(int fd, const char* path, int flags, unsigned int mask, struct statx* status) {
  const bool trapped = Trapped(true);
  if (trapped && (++trappedCalls, readTrap == ReadTrap::kFailStatx)) {
    errno = ENOMEM;
    return -1;
  }
  const int done = ::statx(fd, path, flags, mask, status);
  if (trapped && readTrap == ReadTrap::kHalfSize) status->stx_size /= 2;
  // What a file system that leaves them out may leave in their place.
  if (trapped && readTrap == ReadTrap::kMaskless) status->stx_mask = status->stx_mode = status->stx_size = 0;
  return done;
}

ssize_t TrappedRead(int fd, void* buffer, std::size_t size) {
  if (readTrap == ReadTrap::kEagainForAWhile) {
    if (untrappedThread != 0 && std::chrono::steady_clock::now() < eagainUntil.load()) {
      errno = EAGAIN;
      return -1;
    }
  } else if (Trapped(false)) {
    ++trappedCalls;
    if (readTrap == ReadTrap::kFail) {
      errno = ENOMEM;
      return -1;
    }
    if (readTrap == ReadTrap::kShort) size = std::min<std::size_t>(size, 100);
  }
  return ::read(fd, buffer, size);
}

const SystemCalls kTrappedCalls = {
    [](int folderFd, const char* name, int flags) { return ::openat(folderFd, name, flags); }, TrappedStatx,
    [](int fd, struct stat* status) { return ::fstat(fd, status); }, TrappedRead};

struct CloseDirectory {
  void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};
using Folder = std::unique_ptr<DIR, CloseDirectory>;

// Writes \a count files fN in \a folder, each holding the line N, after \a lead, in a block; with
// \a targets, the files go there and \a folder holds links to them.
void WriteNumberedFiles(const fs::path& folder, int count, const std::string& lead = "",
                        const fs::path& targets = {}) {
  for (int index = 0; index < count; ++index) {
    const std::string number = std::to_string(index), name = "f" + number;
    WriteWholeFile((targets.empty() ? folder : targets) / name, lead + "/*\n" + number + "\n*/\n");
    if (!targets.empty()) fs::create_symlink(targets / name, folder / name);
  }
}

// Returns the body lines that the walk's entry gives.
std::string BodyLines(const FolderEntry& entry) {
  const ScopedTempDir scratch;
  const fs::path path = scratch.Path() / "body";
  {
    OutputStream output(OutputStream::Open(path.c_str()));
    EXPECT_TRUE(CopyCommentBlock(entry.fd, output, entry.start, kTrappedCalls));
  }
  return ReadWholeFile(path);
}

// Walks \a folder, which holds the files of WriteNumberedFiles(), checking each entry's body lines;
// returns how many entries it handed over.
int WalkNumberedFiles(const fs::path& folder, DepthRule depth, int readers) {
  const Folder listing(::opendir(folder.c_str()));
  OutputStream output(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  // The threads the walk starts are those listed once it is made and not before: a count would
  // take in threads joined before and still listed for a while. A sanitizer's runtime may start a
  // thread of its own with the first one, so one is started first.
  std::thread([] {}).join();
  const auto threads = [] {
    std::set<fs::path> ids;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) ids.insert(task.path().filename());
    return ids;
  };
  const std::set<fs::path> before = threads();
  EntryWalk walk(listing.get(), output, readers, depth, kTrappedCalls);
  const std::set<fs::path> after = threads();
  // Deep from the first entry, as both test depths are, the walk starts its 16 readers at once.
  EXPECT_EQ(
      std::count_if(after.begin(), after.end(), [&](const fs::path& id) { return before.count(id) == 0; }),
      16)
      << "readers started deep";
  int taken = 0;
  while (const FolderEntry* entry = walk.Next()) {
    SCOPED_TRACE(entry->name);
    EXPECT_EQ(entry->state, EntryState::kRegularFile);
    EXPECT_EQ(BodyLines(*entry), std::string("\t").append(entry->name + 1).append("\n"));
    ++taken;
  }
  EXPECT_FALSE(walk.ListingFailed());
  return taken;
}

TEST(EntryWalkTest, AFileReplacedByADeviceAfterTheListingIsNotRead) {
  const ScopedTempDir scratch;
  for (const char* name : {"a.txt", "b.txt"}) WriteWholeFile(scratch.Path() / name, "/*\nA\n*/\n");
  const Folder folder(::opendir(scratch.Path().c_str()));
  OutputStream output(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  DepthPolicy storage;
  EntryWalk walk(folder.get(), output, 0, storage.Rule());

  const FolderEntry* first = walk.Next();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->state, EntryState::kRegularFile);
  // Both names are listed now, as regular files; the second becomes a link to a device.
  const std::string second = first->name == std::string("a.txt") ? "b.txt" : "a.txt";
  fs::remove(scratch.Path() / second);
  fs::create_symlink("/dev/zero", scratch.Path() / second);
  const FolderEntry* replaced = walk.Next();
  ASSERT_NE(replaced, nullptr);
  EXPECT_EQ(replaced->name, second);
  EXPECT_EQ(replaced->state, EntryState::kNoLines);
  EXPECT_EQ(walk.Next(), nullptr);
}

TEST(EntryWalkTest, WorkAheadThatFailsOrComesShortLosesNothing) {
  constexpr int kFiles = 40;
  const std::pair<ReadTrap, const char*> kTraps[] = {
      {ReadTrap::kFail, "reads ahead fail"},
      {ReadTrap::kShort, "reads ahead come short"},
      {ReadTrap::kFailStatx, "statx calls ahead fail"},
      {ReadTrap::kHalfSize, "statx calls ahead tell half the size, as of a file that grew"},
      {ReadTrap::kMaskless, "statx calls ahead leave out the type and the size"},
      // For far less time than the block copy waits between its tries of a read.
      {ReadTrap::kEagainForAWhile, "every read fails with EAGAIN for 40 ms"}};
  for (const auto& [trap, name] : kTraps) {
    SCOPED_TRACE(name);
    // File fN holds the line N in a block that starts past the first 10,000 bytes. Deep, the
    // readers read every entry ahead; this thread reads as usual.
    const ScopedTempDir scratch;
    WriteNumberedFiles(scratch.Path(), kFiles, std::string(10000, '\n'));
    const ScopedReadTrap readsAhead(trap);
    EXPECT_EQ(WalkNumberedFiles(scratch.Path(), kDeepThroughout, 0), kFiles);
    EXPECT_EQ(trappedCalls, trap == ReadTrap::kEagainForAWhile ? 0 : kFiles);
  }
}

TEST(EntryWalkTest, ReadsEachEntryNoMoreThanItNeeds) {
  // Reads over every thread, deep: reading a file once more than it needs, or in small pieces,
  // takes 1.3 to 2.3 times as long and changes nothing else that a test sees.
  const struct {
    const char* name;
    std::string contents;
    int files;
    long reads;
  } kShapes[] = {
      {"2 KiB without a block: one read each", std::string(2047, 'x') + "\n", 50, 50},
      {"4 MiB, the block at its head: none past it", "/*\nA\n*/\n" + std::string(4 << 20, 'x'), 1, 1},
      {"1 MiB in a block that never closes: 16 KiB, then reads of 256 KiB",
       "/*\n" + std::string(1 << 20, '\n'), 1, 6},
  };
  for (const auto& shape : kShapes) {
    SCOPED_TRACE(shape.name);
    const ScopedTempDir scratch;
    for (int index = 0; index < shape.files; ++index)
      WriteWholeFile(scratch.Path() / std::to_string(index), shape.contents);
    const Folder listing(::opendir(scratch.Path().c_str()));
    OutputStream output(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    const ScopedReadTrap counted(ReadTrap::kCountAll);
    {
      EntryWalk walk(listing.get(), output, 0, kDeepThroughout, kTrappedCalls);
      while (const FolderEntry* entry = walk.Next()) BodyLines(*entry);
    }
    EXPECT_EQ(trappedCalls, shape.reads);
  }
}

TEST(EntryWalkTest, HoldsFewDescriptorsAhead) {
  // Files read only in part keep their descriptors until handed over: with room for 64 of them,
  // the 16 readers' opens and the walk's own few, no open ahead fails, and the readers read every
  // entry handed over while deep. Turning deep while the files that shallow readers took from the
  // far end of the window hold them all, the walk must still hand the next entry to a reader.
  constexpr int kFiles = 300;
  const ScopedTempDir scratch;
  WriteNumberedFiles(scratch.Path(), kFiles, std::string(70000, '\n'));
  rlimit saved, limited;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  limited = saved;
  limited.rlim_cur = std::distance(fs::directory_iterator("/proc/self/fd"), {}) + 64 + 16 + 8;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limited), 0);
  for (const auto& [depth, readers, leastReads] :
       {std::tuple{kDeepThroughout, 0, kFiles}, std::tuple{kDeepAndShallowInTurn, 1, kFiles / 2}}) {
    SCOPED_TRACE(readers == 0 ? "deep" : "deep and shallow in turn");
    const ScopedReadTrap readsAhead(ReadTrap::kCount);
    EXPECT_EQ(WalkNumberedFiles(scratch.Path(), depth, readers), kFiles);
    EXPECT_GE(trappedCalls, leastReads);
  }
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
}

// A fresh ext2 file system, whose listings give no entry types, mounted on a new folder for the life
// of the object; Mounted() is false where that cannot be done (without root or loop devices).
class TypelessFileSystem {
 public:
  explicit TypelessFileSystem(const fs::path& folder) : folder_(folder.string()) {
    fs::create_directory(folder);
    const std::string image = folder_ + ".img";
    const std::string commands = "truncate -s 16M '" + image + "' && mkfs.ext2 -q -F -O ^filetype '" + image +
                                 "' && mount -o loop '" + image + "' '" + folder_ + "'";
    mounted_ = std::system((commands + " 2>/dev/null").c_str()) == 0;
    if (mounted_) fs::remove(folder / "lost+found");
  }
  TypelessFileSystem(const TypelessFileSystem&) = delete;
  TypelessFileSystem& operator=(const TypelessFileSystem&) = delete;
  ~TypelessFileSystem() {
    if (mounted_) {
      EXPECT_EQ(std::system(("umount '" + folder_ + "'").c_str()), 0);
    }
  }
  bool Mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

TEST(EntryWalkTest, ReadersReadEveryEntryThatMayHoldLines) {
  // Deep, the walk leaves the entries worth reading ahead to its readers: deep throughout, all of
  // them; deep and shallow in turn, at least those handed over while deep. A reader left waiting
  // for work that has come, or for the walk to turn deep again, hangs it.
  constexpr int kFiles = 1000;
  const struct {
    const char* name;
    bool links;     // the folder holds links to the files, which its listing calls links
    bool typeless;  // on a file system whose listings give no entry types
    DepthRule depth;
    int readers;     // while shallow
    int leastReads;  // by the readers
  } kWalks[] = {
      {"files, deep", false, false, kDeepThroughout, 0, kFiles},
      {"links, deep", true, false, kDeepThroughout, 0, kFiles},
      {"files, deep and shallow in turn, no reader while shallow", false, false, kDeepAndShallowInTurn, 0,
       kFiles / 2},
      {"files, deep and shallow in turn, one reader while shallow", false, false, kDeepAndShallowInTurn, 1,
       kFiles / 2},
      // Last, as it skips where it cannot mount.
      {"files of no listed type, deep", false, true, kDeepThroughout, 0, kFiles},
  };
  for (const auto& walkCase : kWalks) {
    SCOPED_TRACE(walkCase.name);
    const ScopedTempDir scratch;
    const fs::path folder = scratch.Path() / "in", targets = scratch.Path() / "targets";
    std::unique_ptr<TypelessFileSystem> typeless;
    if (walkCase.typeless) {
      typeless = std::make_unique<TypelessFileSystem>(folder);
      if (!typeless->Mounted())
        GTEST_SKIP() << "cannot loop-mount an ext2 file system without entry types here";
    }
    fs::create_directories(folder);
    if (walkCase.links) fs::create_directory(targets);
    WriteNumberedFiles(folder, kFiles, "", walkCase.links ? targets : fs::path());
    const ScopedReadTrap readsAhead(ReadTrap::kCount);
    EXPECT_EQ(WalkNumberedFiles(folder, walkCase.depth, walkCase.readers), kFiles);
    EXPECT_GE(trappedCalls, walkCase.leastReads);
  }
}

TEST(EntryWalkTest, EndsCleanlyWithAnyNumberOfReaders) {
  // An entry that does not open ends the walk with what it still holds. More readers than a walk
  // runs are asked for too.
  const ScopedTempDir scratch;
  WriteNumberedFiles(scratch.Path(), 30);
  fs::create_symlink(scratch.Path() / "nowhere", scratch.Path() / "gone");
  for (const int readers : {1, 64}) {
    SCOPED_TRACE(std::to_string(readers) + " readers");
    const Folder folder(::opendir(scratch.Path().c_str()));
    OutputStream output(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    DepthPolicy storage;
    EntryWalk walk(folder.get(), output, readers, storage.Rule());
    const FolderEntry* entry;
    while ((entry = walk.Next()) != nullptr && entry->state != EntryState::kNotOpened)
      EXPECT_EQ(BodyLines(*entry), std::string("\t").append(entry->name + 1).append("\n"));
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->name, "gone");
  }
}

}  // namespace
