// The walk hands over what the open files are, whatever the listing said or a read ahead met.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "EntryWalk.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

struct CloseDirectory {
  void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};

// Makes every read of the calling thread, and of the threads it starts from now on, fail.
bool FailReadsOfThisThread() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_read, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOMEM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{sizeof filter / sizeof filter[0], filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Returns the body lines that the walk's entry gives.
std::string BodyLines(const WalkEntry& entry) {
  const ScopedTempDir scratch;
  const fs::path path = scratch.Path() / "body";
  {
    OutputStream output(OutputStream::Open(path.c_str()));
    EXPECT_TRUE(CopyCommentBlock(entry.fd, output, entry.input));
  }
  return ReadWholeFile(path);
}

TEST(EntryWalkTest, AFileReplacedByADeviceAfterTheListingIsNotRead) {
  const ScopedTempDir scratch;
  for (const char* name : {"a.txt", "b.txt"}) WriteWholeFile(scratch.Path() / name, "/*\nA\n*/\n");
  const std::unique_ptr<DIR, CloseDirectory> folder(::opendir(scratch.Path().c_str()));
  OutputStream output(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  EntryWalk walk(folder.get(), output, 0);

  const WalkEntry* first = walk.Next();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->regular);
  // Both names are listed now, as regular files; the second becomes a link to a device.
  const std::string second = first->name == std::string("a.txt") ? "b.txt" : "a.txt";
  fs::remove(scratch.Path() / second);
  fs::create_symlink("/dev/zero", scratch.Path() / second);
  const WalkEntry* replaced = walk.Next();
  ASSERT_NE(replaced, nullptr);
  EXPECT_EQ(replaced->name, second);
  EXPECT_TRUE(replaced->opened);
  EXPECT_FALSE(replaced->regular);
  EXPECT_EQ(walk.Next(), nullptr);
}

TEST(EntryWalkTest, ReadsAheadThatFailAreMadeAgainInTurn) {
  const ScopedTempDir scratch;
  constexpr int kFiles = 40;
  for (int index = 0; index < kFiles; ++index) {
    const std::string number = std::to_string(index);
    WriteWholeFile(scratch.Path() / ("f" + number), "/*\n" + number + "\n*/\n");
  }
  const std::unique_ptr<DIR, CloseDirectory> folder(::opendir(scratch.Path().c_str()));
  OutputStream output(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  // The readers start from a thread whose reads fail, and so every read they make fails; this
  // thread takes the entries in turn and reads as usual.
  std::optional<EntryWalk> walk;
  std::thread([&] {
    if (FailReadsOfThisThread()) walk.emplace(folder.get(), output, 2);
  }).join();
  ASSERT_TRUE(walk.has_value());

  int taken = 0;
  while (const WalkEntry* entry = walk->Next()) {
    SCOPED_TRACE(entry->name);
    ASSERT_TRUE(entry->opened);
    // File fN holds the line N.
    EXPECT_EQ(BodyLines(*entry), std::string("\t").append(entry->name + 1).append("\n"));
    ++taken;
  }
  EXPECT_EQ(taken, kFiles);
  EXPECT_FALSE(walk->ListingFailed());
}

}  // namespace
