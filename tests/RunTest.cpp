// Runs the built executable as a user would and checks every byte it leaves behind.
#include <dirent.h>
#include <sys/stat.h>

#include <optional>
#include <span>

#include "RunHarness.h"
#include "TestSupport.h"

namespace {

const std::string kUsage = "\nUsage: docgleaner [target folder] [output file]\n\n";

// Rules on the calls a run makes, from the lines of a trace ("PID call(...) = result"): each returns
// what breaks it, or "" where the run kept it.
// A failed run closes what it holds open, not every descriptor it might hold.
std::string FewCloses(const std::vector<std::string>& trace) {
  const auto closes = std::count_if(
      trace.begin(), trace.end(), [](const std::string& line) { return line.find(" close(") != line.npos; });
  return closes <= 64 ? "" : std::to_string(closes) + " calls of close";
}
// Once a write of the output fails, the thread that made it reads and opens nothing more.
std::string NothingReadAfterAFailedWrite(const std::vector<std::string>& trace) {
  std::string writer;  // the thread whose write failed, as its lines start
  int after = 0;
  for (const std::string& line : trace) {
    if (writer.empty() && line.find("= -1 ENOSPC") != line.npos) writer = line.substr(0, line.find(' ') + 1);
    after += !writer.empty() && line.rfind(writer, 0) == 0 &&
             (line.find(" read(") != line.npos || line.find(" openat(") != line.npos);
  }
  return after == 0 ? "" : std::to_string(after) + " reads and opens after the failed write";
}

// Of a case's kLastDanglingLink entries, only the one listed last is made: it follows most others.
// kStalled and kUntaken entries are links into a StallingMount, whose opens wait until it is
// released; those listed before the entry that ends the run, or where none does, all but the one
// listed last, are removed, so that a run on one processor opens none of them.
enum class Kind {
  kFile,
  kSparseFile,  // a hole past the first GiB, its contents, then a hole up to 5 GiB
  kFolder,
  kFifo,
  kSocket,
  kLink,
  kDanglingLink,
  kLastDanglingLink,
  kProcMemLink,
  kReadFailsLater,  // a file, whose reads after its first the case makes fail
  kStalled,         // the mount's server takes the open and never answers
  kUntaken,         // the mount's server never takes the open
};

struct Entry {
  std::string name;
  Kind kind = Kind::kFile;
  std::string contents = {};  // a file's bytes, or a link's target
  std::string body = {};      // the body lines the entry should give
};

std::string NumberedLines(int count, const std::string& prefix) {
  std::string lines;
  for (int index = 0; index < count; ++index)
    lines += prefix + "line " + std::to_string(index) + " of a long block\n";
  return lines;
}

// \a count files, each with a block of \a blockLines lines followed by \a padding, and \a extra
// entries among them.
std::vector<Entry> ManyFiles(int count, std::vector<Entry> extra = {}, const std::string& padding = "",
                             int blockLines = 1) {
  for (int index = 0; index < count; ++index) {
    const std::string line = "line of file " + std::to_string(index);
    extra.push_back({"file" + std::to_string(index) + ".txt", Kind::kFile,
                     "/*\n" + line + "\n" + NumberedLines(blockLines - 1, "") + "*/\n" + padding,
                     "\t" + line + "\n" + NumberedLines(blockLines - 1, "\t")});
  }
  return extra;
}

// \a count entries of \a kind named \a prefix and a number, after \a others.
std::vector<Entry> Numbered(int count, const std::string& prefix, Kind kind, std::vector<Entry> others = {}) {
  for (int index = 0; index < count; ++index) others.push_back({prefix + std::to_string(index), kind});
  return others;
}

// What a run leaves in the output file, which holds kOldOutput before it.
enum class Output {
  kUntouched,   // the old contents
  kDocument,    // the whole expected document, up to where the walk stops
  kPrefix,      // a part of the expected document, from its start
  kEntries,     // the expected document's header and first whole entries, not all of them
  kCutInBlock,  // the expected document up to a byte in an entry's block, then the entry's end
};
const std::string kOldOutput(100000, 'o');

// "@in" stands for the target folder and "@out" for the output file, both in the test's own folder.
struct RunCase {
  const char* name;
  std::vector<std::string> arguments;
  std::vector<Entry> entries;
  std::string expectedError;
  int expectedStatus;
  Output output;
  std::vector<std::string> wrapper = {};
  bool runInsideFolder = false;
  int newOutputMode = 0;  // where set, the output file does not exist before, and gets this mode
  std::string (*traceRule)(const std::vector<std::string>& trace) = nullptr;  // kept by the run's trace
};

const Entry kBlockA{"a.txt", Kind::kFile, "/*\nA\n*/\n", "\tA\n"};
const Entry kBlockB{"b.txt", Kind::kFile, "/*\nB\n*/\n", "\tB\n"};
// Files prefetched only in part, which hold their descriptors, among folders opened on hand-over.
const std::vector<Entry> kPartlyReadFiles =
    ManyFiles(30, Numbered(10, "sub", Kind::kFolder), std::string(70000, 'x'));
const std::vector<Entry> kEntryCannotOpen = {kBlockA, {"gone.txt", Kind::kDanglingLink}, kBlockB};
const std::vector<Entry> kLargeEntries = {
    {"a.txt", Kind::kFile, "/*\n" + NumberedLines(20000, "") + "*/\n", NumberedLines(20000, "\t")},
    {"b.txt", Kind::kFile, "x\n" + NumberedLines(5000, "") + "/*\nB\n", "\tB\n"}};
// A block of 600 KB, more than the first read and the next one take.
const Entry kPartlyRead{"a.txt", Kind::kReadFailsLater, kLargeEntries[0].contents, kLargeEntries[0].body};

// clang-format off
const RunCase kRunCases[] = {
    // The command line, then the folder and the output file, checked in that order.
    {"NoArgument", {}, {kBlockA}, kUsage, 255, Output::kUntouched},
    {"OneArgument", {"@in/"}, {}, kUsage, 255, Output::kUntouched},
    {"ThreeArguments", {"@in/", "@out", "extra"}, {}, kUsage, 255, Output::kUntouched},
    {"MissingFolderTriedFirst", {"@in/missing/", "@in/missing/out.md"}, {}, "Cannot open dir\n", 255, Output::kUntouched},
    {"FolderIsAFile", {"@in/a.txt", "@out"}, {kBlockA}, "Cannot open dir\n", 255, Output::kUntouched},
    {"OutputCannotOpen", {"@in/", "@in/missing/out.md"}, {kBlockA}, "Cannot open output\n", 255, Output::kUntouched},
    {"NewOutputTakesTheUmask", {"@in/", "@out"}, {kBlockA}, "", 0, Output::kDocument, Limited("umask 002"), false, 0664},
    // Complete runs.
    {"EmptyFolder", {"@in/", "@out"}, {}, "", 0, Output::kDocument},
    {"WorkedExample", {"@in/", "@out"}, {{"alpha.txt", Kind::kFile, "/*\nA\nB\n*/\n", "\tA\n\tB\n"}, {"beta.dat", Kind::kFile, "no block\n"}}, "", 0, Output::kDocument},
    {"FolderWithoutSlash", {"@in", "@out"}, {kBlockA}, "", 0, Output::kDocument},
    {"FolderWithPercent", {"@in/%s%d/..", "@out"}, {{"%s%d", Kind::kFolder}}, "", 0, Output::kDocument},
    {"DotSlashFolder", {"./", "@out"}, {kBlockA}, "", 0, Output::kDocument, {}, true},
    {"NamesOfAnyLength", {"@in/", "@out"}, {{".hidden", Kind::kFile, "/*\nH\n*/\n", "\tH\n"}, {"..x", Kind::kFile, "/*\nX\n*/\n", "\tX\n"}, {"...", Kind::kFile}, {"abcd", Kind::kFile}, {"abc", Kind::kFile}, {"a%s.c", Kind::kFile}}, "", 0, Output::kDocument},
    // /proc gives files a size of 0 whatever they hold: the tool's own environment holds a block.
    {"FileWhoseSizeLies", {"@in/", "@out"}, {{"environ", Kind::kLink, "/proc/self/environ", "\tE\n"}}, "", 0, Output::kDocument, Limited("B='\n/*\nE\n*/\n' && export B")},
    {"SubfolderPipeAndDevice", {"@in/", "@out"}, {{"sub", Kind::kFolder}, {"pipe", Kind::kFifo}, {"zero", Kind::kLink, "/dev/zero"}, {"z.txt", Kind::kFile, "/*\nZ\n", "\tZ\n"}}, "", 0, Output::kDocument},
    {"ManyEntries", {"@in/", "@out"}, ManyFiles(40, {{"sub", Kind::kFolder}, {"pipe", Kind::kFifo}}), "", 0, Output::kDocument},
    {"LargeEntries", {"@in/", "@out"}, kLargeEntries, "", 0, Output::kDocument},
    {"BlocksAtTheHeadsOfLargerFiles", {"@in/", "@out"}, ManyFiles(10, {}, std::string(70000, 'x')), "", 0, Output::kDocument},
    {"FilePastFourGiB", {"@in/", "@out"}, {{"huge.txt", Kind::kSparseFile, "\n/*\nH\n*/\n", "\tH\n"}, kBlockA}, "", 0, Output::kDocument},
    // Limits at which one file at a time still opens and reads.
    {"SixDescriptors", {"@in/", "@out"}, ManyFiles(20, {{"sub", Kind::kFolder}}), "", 0, Output::kDocument, Limited("ulimit -n 6")},
    // Files prefetched only in part hold descriptors, which an open on hand-over may need.
    {"SixDescriptorsLargerFiles", {"@in/", "@out"}, kPartlyReadFiles, "", 0, Output::kDocument, Limited("ulimit -n 6")},
    {"SevenDescriptorsLargerFiles", {"@in/", "@out"}, kPartlyReadFiles, "", 0, Output::kDocument, Limited("ulimit -n 7")},
    {"EightDescriptorsLargerFiles", {"@in/", "@out"}, kPartlyReadFiles, "", 0, Output::kDocument, Limited("ulimit -n 8")},
    {"SmallStack", {"@in/", "@out"}, kLargeEntries, "", 0, Output::kDocument, Limited("ulimit -s 64")},
    // Failures part-way keep what was written before them.
    {"EntryCannotOpen", {"@in/", "@out"}, kEntryCannotOpen, "Cannot open file\n", 255, Output::kDocument},
    {"ManyEntriesOneDangling", {"@in/", "@out"}, ManyFiles(40, {{"gone.txt", Kind::kDanglingLink}}), "Cannot open file\n", 255, Output::kDocument},
    {"EntryCannotBeRead", {"@in/", "@out"}, {kBlockA, {"mem.txt", Kind::kProcMemLink}, kBlockB}, "Cannot read file\n", 255, Output::kDocument},
    {"OutputFull", {"@in/", "/dev/full"}, {kBlockA}, "Cannot write output\n", 255, Output::kUntouched},
    {"OpenFailsBeforeWriteFails", {"@in/", "/dev/full"}, {{"gone.txt", Kind::kDanglingLink}}, "Cannot open file\n", 255, Output::kUntouched},
    {"ShortWrite", {"@in/", "@out"}, kLargeEntries, "Cannot write output\n", 255, Output::kPrefix, Limited("trap '' XFSZ && ulimit -f 1")},
    {"SocketDoesNotOpen", {"@in/", "@out"}, {kBlockA, {"socket", Kind::kSocket}, kBlockB}, "Cannot open file\n", 255, Output::kDocument},
    // Closed or full standard streams: the folder or the output takes a closed one's number, and
    // no message goes into it.
    {"ErrorClosed", {"@in/", "@out"}, kEntryCannotOpen, "", 255, Output::kDocument, Limited("exec 2>&-")},
    {"OutputAndErrorClosed", {"@in/", "@out"}, kEntryCannotOpen, "", 255, Output::kDocument, Limited("exec >&- 2>&-")},
    {"AllStreamsClosed", {"@in/", "@out"}, kEntryCannotOpen, "", 255, Output::kDocument, Limited("exec <&- >&- 2>&-")},
    {"AllStreamsClosedOutputFails", {"@in/", "@in/missing/out.md"}, {kBlockA}, "", 255, Output::kUntouched, Limited("exec <&- >&- 2>&-")},
    {"ErrorFull", {"@in/", "@out"}, kEntryCannotOpen, "", 255, Output::kDocument, Limited("exec 2>/dev/full")},
};
// clang-format on

void MakeEntry(const fs::path& folder, const Entry& entry) {
  const fs::path path = folder / entry.name;
  switch (entry.kind) {
    case Kind::kFile:
    case Kind::kReadFailsLater: WriteWholeFile(path, entry.contents); break;
    case Kind::kStalled:
    case Kind::kUntaken: fs::create_symlink(folder.parent_path() / "stalled" / entry.name, path); break;
    case Kind::kSparseFile:
      // Past where a size of 5 GiB kept in 32 bits would stop the reading.
      std::ofstream(path, std::ios::binary).seekp((std::streamoff{1} << 30) + 4096) << entry.contents;
      fs::resize_file(path, std::uintmax_t{5} << 30);
      break;
    case Kind::kSocket: ASSERT_EQ(::mknod(path.c_str(), S_IFSOCK | 0600, 0), 0); break;
    case Kind::kFolder: fs::create_directory(path); break;
    case Kind::kFifo: ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); break;
    case Kind::kLink: fs::create_symlink(entry.contents, path); break;
    case Kind::kDanglingLink:
    case Kind::kLastDanglingLink: fs::create_symlink(folder / "nowhere", path); break;
    case Kind::kProcMemLink: fs::create_symlink("/proc/self/mem", path); break;
  }
}

// The names in \a folder as its listing yields them, "." and ".." left out.
std::vector<std::string> ListingOrder(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  return names;
}

std::string Heading(int entryNumber, const std::string& name) {
  std::string heading(1, '\t');
  heading.append(std::to_string(entryNumber)).append(".\t");
  return heading.append(name, 0, name.size() < 4 ? name.size() : name.size() - 4).append(":\n");
}

// Removes from \a folder all of \a names but the \a kept ones listed last. Removing an entry moves
// no other in the listing.
void KeepLastListed(const fs::path& folder, const std::vector<std::string>& names, std::size_t kept) {
  std::vector<std::string> listed;
  for (const std::string& name : ListingOrder(folder)) {
    if (std::find(names.begin(), names.end(), name) != names.end()) listed.push_back(name);
  }
  for (std::size_t index = 0; index + kept < listed.size(); ++index) fs::remove(folder / listed[index]);
}

// Whether an entry of \a kind ends the run before its heading, as it does not open...
bool DoesNotOpen(Kind kind) {
  return kind == Kind::kDanglingLink || kind == Kind::kLastDanglingLink || kind == Kind::kSocket;
}
// ...or after its entry, as it cannot be read.
bool CannotBeRead(Kind kind) {
  return kind == Kind::kProcMemLink || kind == Kind::kReadFailsLater;
}

// The entry of \a entries named \a name.
const Entry& Named(const std::vector<Entry>& entries, const std::string& name) {
  return *std::find_if(entries.begin(), entries.end(),
                       [&](const Entry& entry) { return entry.name == name; });
}

// The document a run over \a entries should leave: the walk goes in listing order and stops at
// an entry that does not open, or after one that cannot be read.
std::string ExpectedDocument(const std::string& folderText, const std::vector<Entry>& entries,
                             const fs::path& folder) {
  std::string document = "\n\n### Files in " + folderText + "\n\n";
  int entryNumber = 0;
  for (const std::string& name : ListingOrder(folder)) {
    const Entry& entry = Named(entries, name);
    if (DoesNotOpen(entry.kind)) break;
    document += Heading(++entryNumber, name) + entry.body + "\n\n";
    if (CannotBeRead(entry.kind)) break;
  }
  return document;
}

// "@first" stands for the name of the entry listed first.
std::string Substitute(std::string argument, const fs::path& folder, const fs::path& output) {
  if (argument.rfind("@in", 0) == 0) return folder.string().append(argument, 3);
  if (argument == "@out") return output.string();
  if (argument == "@trace") return (output.parent_path() / "trace").string();
  if (argument == "@first") return ListingOrder(folder).at(0);
  return argument;
}

// Runs \a runCase in a folder of its own and checks its message, status and output file.
void CheckRun(const RunCase& runCase, RunMode mode) {
  const ScopedTempDir scratch;
  const fs::path folder = scratch.Path() / "in", output = scratch.Path() / "out.md";
  fs::create_directory(folder);
  if (runCase.newOutputMode == 0) WriteWholeFile(output, kOldOutput);
  std::vector<std::string> lastDanglingLinks;
  std::optional<StallingMount> stalling;
  bool untaken = false;  // whether the server of the case's mount takes no open
  for (const Entry& entry : runCase.entries) {
    MakeEntry(folder, entry);
    if (entry.kind == Kind::kLastDanglingLink) lastDanglingLinks.push_back(entry.name);
    if ((entry.kind == Kind::kStalled || entry.kind == Kind::kUntaken) && !stalling) {
      untaken = entry.kind == Kind::kUntaken;
      stalling.emplace(scratch.Path() / "stalled", !untaken);
    }
  }
  KeepLastListed(folder, lastDanglingLinks, 1);
  std::vector<std::string> stalled;
  bool ends = false;
  for (const std::string& name : ListingOrder(folder)) {
    const Kind kind = Named(runCase.entries, name).kind;
    if ((ends = DoesNotOpen(kind) || CannotBeRead(kind))) break;
    if (kind == Kind::kStalled || kind == Kind::kUntaken) stalled.push_back(name);
  }
  if (!ends && !stalled.empty()) stalled.pop_back();
  for (const std::string& name : stalled) fs::remove(folder / name);
  const auto substitute = [&](std::vector<std::string> words) {
    for (std::string& word : words) word = Substitute(word, folder, output);
    return words;
  };
  const std::vector<std::string> arguments = substitute(runCase.arguments);
  const fs::path workingFolder = runCase.runInsideFolder ? folder : scratch.Path();
  // Where no open was taken, the process ends before the mount is released, and so does the run.
  const RunResult result = RunTool(
      arguments, workingFolder, mode, substitute(runCase.wrapper),
      [&] {
        if (stalling) stalling->Release();
      },
      untaken);

  EXPECT_EQ(result.status, runCase.expectedStatus);
  EXPECT_EQ(result.standardError, runCase.expectedError);
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_TRUE(result.streamsEnded) << "the standard streams stayed open";
  if (runCase.traceRule != nullptr) {
    std::vector<std::string> trace;
    std::ifstream traceFile(scratch.Path() / "trace");
    for (std::string line; std::getline(traceFile, line);) trace.push_back(line);
    EXPECT_EQ(runCase.traceRule(trace), "");
  }
  const int outputMode = static_cast<int>(fs::status(output).permissions());
  EXPECT_TRUE(runCase.newOutputMode == 0 || outputMode == runCase.newOutputMode)
      << "the output's mode, in octal: " << std::oct << outputMode;
  const std::string written = ReadWholeFile(output);
  if (runCase.output == Output::kUntouched) {
    EXPECT_TRUE(written == kOldOutput) << "the output file was touched";
    return;
  }
  const std::string expected = ExpectedDocument(arguments[0], runCase.entries, folder);
  if (runCase.output == Output::kDocument) {
    EXPECT_TRUE(SameDocument(written, expected));
  } else {
    EXPECT_LT(written.size(), expected.size());
    // Cut in a block, the document ends with the last line's end and the entry's.
    const std::size_t cut = written.size() - (runCase.output == Output::kCutInBlock ? 3 : 0);
    EXPECT_TRUE(SameDocument(written.substr(0, cut), expected.substr(0, cut)));
    if (runCase.output != Output::kPrefix) {
      EXPECT_EQ(written.substr(written.size() - 3), "\n\n\n");
    }
  }
}

// Runs of each case: on one processor, where a run on quick storage does all its work on one
// thread; a few times with every processor, where threads read ahead and write behind as timing
// has it; and deep and shallow in turn, on one processor and on all.
constexpr RunMode kRunModes[] = {{true, false},  {false, false}, {false, false},
                                 {false, false}, {true, true},   {false, true}};

// Runs each of \a cases in each of the modes, up to the first that fails.
void CheckEachRun(std::span<const RunCase> cases) {
  for (const RunMode mode : kRunModes) {
    for (const RunCase& runCase : cases) {
      SCOPED_TRACE(runCase.name + Describe(mode));
      CheckRun(runCase, mode);
      // One case that fails says enough; the rest would only take longer to say the same.
      if (::testing::Test::HasFailure()) return;
    }
  }
}

TEST(RunTest, EachCaseLeavesItsMessageStatusAndDocument) {
  CheckEachRun(kRunCases);
}

// Returns the least address space, in KiB to within 100, in which the tool starts and prints its
// usage, or 0 where that takes more than 64 MiB, as under an emulator.
int LeastAddressSpace(const fs::path& scratch) {
  const auto starts = [&](int limit) {
    const RunResult result = RunTool({}, scratch, {}, Limited("ulimit -v " + std::to_string(limit)));
    return result.status == 255 && result.standardError == kUsage;
  };
  int low = 0, high = 65536;
  if (!starts(high)) return 0;
  while (high - low > 100) {
    const int middle = (low + high) / 2;
    (starts(middle) ? high : low) = middle;
  }
  return high;
}

TEST(RunTest, RunsInASmallAddressSpace) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers reserve far more address space than these limits";
#endif
  const ScopedTempDir scratch;
  const int least = LeastAddressSpace(scratch.Path());
  if (least == 0)
    GTEST_SKIP() << "the tool needs over 64 MiB of address space to start here, as under an emulator";
  // Address space beyond what the tool needs to start.
  const std::pair<const char*, int> kLimits[] = {{"threads and large buffers partly to be had", 1600},
                                                 {"none of them", 300}};
  for (const RunMode mode : {RunMode{false, false}, RunMode{false, true}}) {
    for (const auto& [name, moreKiB] : kLimits) {
      SCOPED_TRACE(name + Describe(mode));
      const std::string ulimit = "ulimit -v " + std::to_string(least + moreKiB);
      CheckRun(
          {"SmallAddressSpace", {"@in/", "@out"}, kLargeEntries, "", 0, Output::kDocument, Limited(ulimit)},
          mode);
    }
  }
}

TEST(RunTest, ReportsSystemCallsThatFail) {
  if (const char* why = WhyNoStrace()) GTEST_SKIP() << why;
  // clang-format off
  const Entry kUnreadA{"a.txt", Kind::kFile, "/*\nA\n*/\n"};
  const RunCase kInjectedCases[] = {
      {"OutputCloseFails", {"@in/", "@out"}, {kBlockA, kBlockB}, "Cannot write output\n", 255, Output::kDocument, Injected("close", "error=EIO", {"@out"})},
      {"InterruptedWrite", {"@in/", "@out"}, {kBlockA}, "", 0, Output::kDocument, Injected("write", "error=EINTR:when=1", {"@out"})},
      // The write fails late, while the run meets an entry that does not open: the write failed first.
      {"WriteFailsBeforeALaterOpenFails", {"@in/", "@out"}, ManyFiles(40, {{"gone1", Kind::kLastDanglingLink}, {"gone2", Kind::kLastDanglingLink}, {"gone3", Kind::kLastDanglingLink}}, "", 1000), "Cannot write output\n", 255, Output::kPrefix, Injected("write", "error=ENOSPC:delay_enter=500000:when=2", {"@out"})},
      {"StatxFailsWithEio", {"@in/", "@out"}, {kUnreadA}, "Cannot read file\n", 255, Output::kDocument, Injected("statx", "error=EIO", {"@in/a.txt"})},
      {"StatxFailsWithEnomem", {"@in/", "@out"}, {kUnreadA}, "Cannot read file\n", 255, Output::kDocument, Injected("statx", "error=ENOMEM", {"@in/a.txt"})},
      {"NoStatx", {"@in/", "@out"}, {kBlockA, kBlockB}, "", 0, Output::kDocument, Injected("statx", "error=ENOSYS")},
      {"WriteWritesNothing", {"@in/", "@out"}, {kBlockA}, "Cannot write output\n", 255, Output::kPrefix, Injected("write", "retval=0", {"@out"})},
      // Seven reads in a row fail: the first read, ahead and again on hand-over, then the block
      // copy's first tries; it tries eight times.
      {"ReadFailsWithEagainForAWhile", {"@in/", "@out"}, {kBlockA}, "", 0, Output::kDocument, Injected("read", "error=EAGAIN:when=1..7", {"@in/a.txt"})},
      // From the second read of a.txt, the block copy's first (a.txt is longer than the first read).
      {"EightInterruptedReads", {"@in/", "@out"}, kLargeEntries, "", 0, Output::kDocument, Injected("read", "error=EINTR:when=2..9", {"@in/a.txt"})},
      {"InterruptedOpen", {"@in/", "@out"}, {kBlockA, kBlockB}, "", 0, Output::kDocument, Injected("openat", "error=EINTR:when=1", {"a.txt"})},
      {"ReadKeepsFailingWithEagain", {"@in/", "@out"}, {kUnreadA}, "Cannot read file\n", 255, Output::kDocument, Injected("read", "error=EAGAIN", {"@in/a.txt"})},
      // More entries than one read of the listing returns, so that the second read can fail.
      {"ListingFailsPartWay", {"@in/", "@out"}, ManyFiles(3000), "Cannot read dir\n", 255, Output::kEntries, Injected("getdents64", "error=EIO:when=2")},
      {"ThreadsCannotStart", {"@in/", "@out"}, ManyFiles(40), "", 0, Output::kDocument, Injected("clone,clone3", "error=EAGAIN")},
      // Read ahead, the second entry holds the last descriptor while the first waits to open.
      {"SixDescriptorsFirstOpenSlow", {"@in/", "@out"}, ManyFiles(2, {}, std::string(70000, 'x')), "", 0, Output::kDocument, Injected("openat", "delay_enter=100000", {"@first"}, Limited("ulimit -n 6"))},
      // A thread's second read of a.txt fails: the lines read before are kept, the last maybe cut.
      {"ReadFailsPartWay", {"@in/", "@out"}, {kPartlyRead, kBlockB}, "Cannot read file\n", 255, Output::kCutInBlock, Injected("read", "error=EIO:when=2", {"@in/a.txt"})},
      {"NoCloseRange", {"@in/", "@out"}, kEntryCannotOpen, "Cannot open file\n", 255, Output::kDocument, Traced("close,close_range", "close_range:error=ENOSYS", Limited("ulimit -n $(ulimit -Hn)")), false, 0, FewCloses},
      {"NothingReadAfterAFailedWrite", {"@in/", "/dev/full"}, ManyFiles(20, kLargeEntries), "Cannot write output\n", 255, Output::kUntouched, Traced("read,write,openat"), false, 0, NothingReadAfterAFailedWrite},
  };
  // clang-format on
  CheckEachRun(kInjectedCases);
}

TEST(RunTest, AFailedRunEndsAtOnce) {
  // However many readers are stuck on entries listed after the failure, the run reports it and
  // closes its streams at once, as it does on one processor, where it opens none of them; where
  // no open was taken by the server, the process ends at once too, while a reader inside an open
  // that the server took holds the exit back until the mount is released. Where the output fails
  // part-way through large blocks, no later entry is opened.
  if (!StallingMount(ScopedTempDir().Path() / "probe", true).Mounted())
    GTEST_SKIP() << "needs a FUSE file system whose opens stall, which cannot be mounted here";
  // clang-format off
  const RunCase kCases[] = {
      {"OpenFails", {"@in/", "@out"}, ManyFiles(20, Numbered(10, "stall", Kind::kStalled, {{"gone", Kind::kDanglingLink}})), "Cannot open file\n", 255, Output::kDocument},
      {"ReadFails", {"@in/", "@out"}, ManyFiles(20, Numbered(10, "stall", Kind::kStalled, {{"mem", Kind::kProcMemLink}})), "Cannot read file\n", 255, Output::kDocument},
      {"WriteFails", {"@in/", "/dev/full"}, ManyFiles(300, Numbered(10, "stall", Kind::kStalled), "", 1000), "Cannot write output\n", 255, Output::kUntouched},
      {"OpenFailsUntaken", {"@in/", "@out"}, ManyFiles(20, Numbered(10, "stall", Kind::kUntaken, {{"gone", Kind::kDanglingLink}})), "Cannot open file\n", 255, Output::kDocument},
      {"ReadFailsUntaken", {"@in/", "@out"}, ManyFiles(20, Numbered(10, "stall", Kind::kUntaken, {{"mem", Kind::kProcMemLink}})), "Cannot read file\n", 255, Output::kDocument},
      {"WriteFailsUntaken", {"@in/", "/dev/full"}, ManyFiles(300, Numbered(10, "stall", Kind::kUntaken), "", 1000), "Cannot write output\n", 255, Output::kUntouched},
  };
  // clang-format on
  CheckEachRun(kCases);
}

TEST(RunTest, ReadsItsOwnOutputOnlyAsFarAsWritten) {
  // The folder's name holds a line "/*", so the header opens a block, and the output file lies in
  // the folder under several names, listed after entries that fill it well past its first writes.
  const ScopedTempDir scratch;
  const fs::path folder = scratch.Path() / "in\n" / "*\n";
  fs::create_directories(folder);
  std::vector<Entry> entries = ManyFiles(16, {}, "", 5000);
  for (const Entry& entry : entries) MakeEntry(folder, entry);
  WriteWholeFile(folder / "out.md", "");
  entries.push_back({"out.md", Kind::kFile});
  // Each name of the output may copy all that was written before it, so two more suffice.
  std::vector<std::string> links;
  for (int link = 0; link < 6; ++link) {
    links.push_back("out" + std::to_string(link) + ".md");
    fs::create_hard_link(folder / "out.md", folder / links.back());
    entries.push_back({links.back(), Kind::kFile});
  }
  KeepLastListed(folder, links, 2);
  const std::string folderText = folder.string() + "/";
  // A run that fed on itself would stop at 64 MiB here rather than fill the disk.
  const auto run = [&](RunMode mode) {
    const RunResult result = RunTool({folderText, folderText + "out.md"}, scratch.Path(), mode,
                                     Limited("trap '' XFSZ && ulimit -f 131072"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.standardError, "");
    return ReadWholeFile(folder / "out.md");
  };

  // Each of the output's own entries holds, as body lines, the lines after the header's "/*" line
  // up to its heading: all that the run had written before, whatever the buffers held.
  const std::string written = run({true, false});
  const std::string expected = ExpectedDocument(folderText, entries, folder);
  const std::size_t blockStart = written.find("\n/*\n") + 4;
  std::size_t at = 0, expectedAt = 0;
  for (std::size_t name = expected.find(".\tou"); name != std::string::npos;
       name = expected.find(".\tou", name + 1)) {
    // Up to the end of the heading, the document is as expected; then come the body lines.
    const std::size_t bodyStart = expected.find('\n', name) + 1;
    ASSERT_TRUE(SameDocument(written.substr(at, bodyStart - expectedAt),
                             expected.substr(expectedAt, bodyStart - expectedAt)));
    at += bodyStart - expectedAt;
    expectedAt = bodyStart;
    const std::size_t headingEnd = at;
    std::string copied;
    while (at < written.size() && written[at] == '\t') {
      const std::size_t lineEnd = written.find('\n', at);
      copied += written.substr(at + 1, lineEnd - at);
      at = lineEnd + 1;
    }
    const std::size_t headingStart = written.rfind('\n', headingEnd - 2) + 1;
    EXPECT_TRUE(SameDocument(copied, written.substr(blockStart, headingStart - blockStart)));
  }
  EXPECT_TRUE(SameDocument(written.substr(at), expected.substr(expectedAt)));

  // With threads, however they go, the run copies exactly as much of itself as on one.
  for (const RunMode mode : kRunModes) {
    SCOPED_TRACE("run" + Describe(mode));
    EXPECT_TRUE(run(mode) == written) << "differs from the run on one processor";
  }
}

}  // namespace
