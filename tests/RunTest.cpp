// Runs the built executable as a user would and checks every byte it leaves behind.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

const std::string kUsage = "\nUsage: docgleaner [target folder] [output file]\n\n";

struct RunResult {
  int status = -1;  // exit status, or -1 if the run did not end by itself
  std::string standardOutput;
  std::string standardError;
};

// Makes io_uring_setup fail with ENOSYS in this process and all it starts, as in a container whose
// filter forbids io_uring.
bool ForbidIoUring() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{sizeof filter / sizeof filter[0], filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Runs the tool with \a arguments in \a workingFolder, under \a wrapper if given, killing it after
// ten seconds.
RunResult RunTool(const std::vector<std::string>& arguments, const fs::path& workingFolder,
                  const fs::path& scratch, bool withIoUring = true,
                  const std::vector<std::string>& wrapper = {}) {
  const fs::path outPath = scratch / "stdout", errPath = scratch / "stderr";
  const pid_t child = ::fork();
  if (child == 0) {
    const int outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (outFd < 0 || errFd < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0 ||
        ::chdir(workingFolder.c_str()) != 0 || (!withIoUring && !ForbidIoUring()))
      ::_exit(127);
    // LeakSanitizer, in a sanitized build, cannot work under a tracer such as strace.
    if (!wrapper.empty()) ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    std::vector<char*> argv;
    for (const std::string& word : wrapper) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(const_cast<char*>(DOCGLEANER_PATH));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  RunResult result;
  int waitStatus = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(child, &waitStatus, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &waitStatus, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(waitStatus)) result.status = WEXITSTATUS(waitStatus);
  result.standardOutput = ReadWholeFile(outPath);
  result.standardError = ReadWholeFile(errPath);
  return result;
}

enum class Kind { kFile, kFolder, kFifo, kDanglingLink, kProcMemLink };

struct Entry {
  std::string name;
  Kind kind = Kind::kFile;
  std::string contents = {};
  std::string body = {};  // the body lines the entry should give
};

// \a count files, each with a one-line block, and \a extra entries among them.
std::vector<Entry> ManyFiles(int count, std::vector<Entry> extra = {}) {
  for (int index = 0; index < count; ++index) {
    const std::string line = "line of file " + std::to_string(index);
    extra.push_back(
        {"file" + std::to_string(index) + ".txt", Kind::kFile, "/*\n" + line + "\n*/\n", "\t" + line + "\n"});
  }
  return extra;
}

std::string NumberedLines(int count, const std::string& prefix) {
  std::string lines;
  for (int index = 0; index < count; ++index)
    lines += prefix + "line " + std::to_string(index) + " of a long block\n";
  return lines;
}

// "@in" stands for the target folder and "@out" for the output file, both in the test's own folder.
struct RunCase {
  const char* name;
  std::vector<std::string> arguments;
  std::vector<Entry> entries;
  std::string expectedError;
  int expectedStatus;
  bool outputCreated;
  bool runInsideFolder = false;
};

const Entry kBlockA{"a.txt", Kind::kFile, "/*\nA\n*/\n", "\tA\n"};
const Entry kBlockB{"b.txt", Kind::kFile, "/*\nB\n*/\n", "\tB\n"};

// clang-format off
const RunCase kRunCases[] = {
    // The command line, then the folder and the output file, checked in that order.
    {"NoArgument", {}, {kBlockA}, kUsage, 255, false},
    {"OneArgument", {"@in/"}, {}, kUsage, 255, false},
    {"ThreeArguments", {"@in/", "@out", "extra"}, {}, kUsage, 255, false},
    {"MissingFolderTriedFirst", {"@in/missing/", "@in/missing/out.md"}, {}, "Cannot open dir\n", 255, false},
    {"FolderIsAFile", {"@in/a.txt", "@out"}, {kBlockA}, "Cannot open dir\n", 255, false},
    {"OutputCannotOpen", {"@in/", "@in/missing/out.md"}, {kBlockA}, "Cannot open output\n", 255, false},
    // Complete runs.
    {"EmptyFolder", {"@in/", "@out"}, {}, "", 0, true},
    {"WorkedExample", {"@in/", "@out"}, {{"alpha.txt", Kind::kFile, "/*\nA\nB\n*/\n", "\tA\n\tB\n"}, {"beta.dat", Kind::kFile, "no block\n"}}, "", 0, true},
    {"FolderWithoutSlash", {"@in", "@out"}, {kBlockA}, "", 0, true},
    {"FolderWithPercent", {"@in/%s%d/..", "@out"}, {{"%s%d", Kind::kFolder}}, "", 0, true},
    {"DotSlashFolder", {"./", "@out"}, {kBlockA}, "", 0, true, true},
    {"NamesOfAnyLength", {"@in/", "@out"}, {{".hidden", Kind::kFile, "/*\nH\n*/\n", "\tH\n"}, {"abcd", Kind::kFile}, {"abc", Kind::kFile}, {"a%s.c", Kind::kFile}}, "", 0, true},
    {"SubfolderAndPipe", {"@in/", "@out"}, {{"sub", Kind::kFolder}, {"pipe", Kind::kFifo}, {"z.txt", Kind::kFile, "/*\nZ\n", "\tZ\n"}}, "", 0, true},
    {"ManyEntries", {"@in/", "@out"}, ManyFiles(40, {{"sub", Kind::kFolder}, {"pipe", Kind::kFifo}}), "", 0, true},
    {"LargeEntries", {"@in/", "@out"}, {{"a.txt", Kind::kFile, "/*\n" + NumberedLines(20000, "") + "*/\n", NumberedLines(20000, "\t")}, {"b.txt", Kind::kFile, "x\n" + NumberedLines(5000, "") + "/*\nB\n", "\tB\n"}}, "", 0, true},
    // Failures part-way keep what was written before them.
    {"EntryCannotOpen", {"@in/", "@out"}, {kBlockA, {"gone.txt", Kind::kDanglingLink}, kBlockB}, "Cannot open file\n", 255, true},
    {"ManyEntriesOneDangling", {"@in/", "@out"}, ManyFiles(40, {{"gone.txt", Kind::kDanglingLink}}), "Cannot open file\n", 255, true},
    {"EntryCannotBeRead", {"@in/", "@out"}, {kBlockA, {"mem.txt", Kind::kProcMemLink}, kBlockB}, "Cannot read file\n", 255, true},
    {"OutputFull", {"@in/", "/dev/full"}, {kBlockA}, "Cannot write output\n", 255, false},
    {"OpenFailsBeforeWriteFails", {"@in/", "/dev/full"}, {{"gone.txt", Kind::kDanglingLink}}, "Cannot open file\n", 255, false},
};
// clang-format on

void MakeEntry(const fs::path& folder, const Entry& entry) {
  const fs::path path = folder / entry.name;
  switch (entry.kind) {
    case Kind::kFile: WriteWholeFile(path, entry.contents); break;
    case Kind::kFolder: fs::create_directory(path); break;
    case Kind::kFifo: ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); break;
    case Kind::kDanglingLink: fs::create_symlink(folder / "nowhere", path); break;
    case Kind::kProcMemLink: fs::create_symlink("/proc/self/mem", path); break;
  }
}

// The names in \a folder as its listing yields them, "." and ".." left out.
std::vector<std::string> ListingOrder(const fs::path& folder) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(folder.c_str());
  while (const dirent* entry = listing != nullptr ? ::readdir(listing) : nullptr) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  if (listing != nullptr) ::closedir(listing);
  return names;
}

// The document a run over \a entries should leave: the walk goes in listing order and stops at
// an entry that does not open, or after one that cannot be read.
std::string ExpectedDocument(const std::string& folderText, const std::vector<Entry>& entries,
                             const fs::path& folder) {
  std::string document = "\n\n### Files in " + folderText + "\n\n";
  int entryNumber = 0;
  for (const std::string& name : ListingOrder(folder)) {
    const Entry* entry = nullptr;
    for (const Entry& candidate : entries) {
      if (candidate.name == name) entry = &candidate;
    }
    if (entry->kind == Kind::kDanglingLink) break;
    const std::string displayName = name.size() < 4 ? name : name.substr(0, name.size() - 4);
    document.append("\t").append(std::to_string(++entryNumber)).append(".\t").append(displayName);
    document.append(":\n").append(entry->body).append("\n\n");
    if (entry->kind == Kind::kProcMemLink) break;
  }
  return document;
}

std::string Substitute(std::string argument, const fs::path& folder, const fs::path& output) {
  if (argument.rfind("@in", 0) == 0) return folder.string().append(argument, 3);
  if (argument == "@out") return output.string();
  return argument;
}

TEST(RunTest, EachCaseLeavesItsMessageStatusAndDocument) {
  // Each case runs twice: as the kernel allows, and with io_uring forbidden as some containers do.
  for (const bool withIoUring : {true, false}) {
    for (const RunCase& runCase : kRunCases) {
      SCOPED_TRACE(std::string(runCase.name) + (withIoUring ? "" : ", io_uring forbidden"));
      const ScopedTempDir scratch;
      const fs::path folder = scratch.Path() / "in", output = scratch.Path() / "out.md";
      fs::create_directory(folder);
      for (const Entry& entry : runCase.entries) MakeEntry(folder, entry);
      std::vector<std::string> arguments;
      for (const std::string& argument : runCase.arguments)
        arguments.push_back(Substitute(argument, folder, output));

      const fs::path workingFolder = runCase.runInsideFolder ? folder : scratch.Path();
      const RunResult result = RunTool(arguments, workingFolder, scratch.Path(), withIoUring);

      EXPECT_EQ(result.status, runCase.expectedStatus);
      EXPECT_EQ(result.standardError, runCase.expectedError);
      EXPECT_EQ(result.standardOutput, "");
      EXPECT_EQ(fs::exists(output), runCase.outputCreated);
      if (runCase.outputCreated) {
        EXPECT_EQ(ReadWholeFile(output), ExpectedDocument(arguments[0], runCase.entries, folder));
      }
    }
  }
}

TEST(RunTest, EmptiesAnExistingOutputFile) {
  const ScopedTempDir scratch;
  const fs::path output = scratch.Path() / "out.md";
  fs::create_directory(scratch.Path() / "in");
  WriteWholeFile(output, std::string(100000, 'o'));
  const RunResult result = RunTool({"in/", "out.md"}, scratch.Path(), scratch.Path());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(ReadWholeFile(output), "\n\n### Files in in/\n\n");
}

TEST(RunTest, ListingErrorKeepsTheEntriesBeforeIt) {
  if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace to make the listing fail";
  const ScopedTempDir scratch;
  const fs::path folder = scratch.Path() / "in", output = scratch.Path() / "out.md";
  fs::create_directory(folder);
  // More entries than one read of the listing returns, so that the second read can fail.
  const std::vector<Entry> entries = ManyFiles(3000);
  for (const Entry& entry : entries) MakeEntry(folder, entry);
  const std::vector<std::string> failSecondListingRead{"strace", "-f",
                                                       "-o",     "/dev/null",
                                                       "-e",     "trace=getdents64",
                                                       "-e",     "inject=getdents64:error=EIO:when=2"};

  const RunResult result =
      RunTool({"in/", "out.md"}, scratch.Path(), scratch.Path(), true, failSecondListingRead);

  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.standardError, "Cannot read dir\n");
  EXPECT_EQ(result.standardOutput, "");
  // The output holds the header and the entries of the first read of the listing, complete.
  const std::string written = ReadWholeFile(output);
  const std::string whole = ExpectedDocument("in/", entries, folder);
  EXPECT_GT(written.size(), std::string("\n\n### Files in in/\n\n").size());
  EXPECT_LT(written.size(), whole.size());
  EXPECT_EQ(written, whole.substr(0, written.size()));
  EXPECT_EQ(written.substr(written.size() - 3), "\n\n\n");
}

}  // namespace
