// The run tests' harness: running the built tool as a user would, under limits or strace, and a
// FUSE file system whose opens never end.
#pragma once

#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace fs = std::filesystem;

struct RunResult {
  int status = -1;  // exit status, or -1 if the run did not end by itself
  std::string standardOutput;
  std::string standardError;
  bool streamsEnded = false;  // whether both ended within ten seconds of the start
};

// How the tool is run: pinned to one processor or not, and with its walk reading ahead as the
// storage asks, or deep from the start and then shallow and deep in turn.
struct RunMode {
  bool oneProcessor = false;
  bool alternating = false;
};

inline std::string Describe(RunMode mode) {
  return std::string(mode.oneProcessor ? ", one processor" : "") +
         (mode.alternating ? ", deep and shallow in turn" : "");
}

// Runs the tool with \a arguments in \a workingFolder, as \a mode says, behind the words of
// \a wrapper if any (a shell that sets limits, strace). Reads its standard output and error, which
// are pipes, to their end, then calls \a release, if any, or where \a exitFirst, only once the tool
// has ended; kills it ten seconds after its start.
inline RunResult RunTool(const std::vector<std::string>& arguments, const fs::path& workingFolder,
                         RunMode mode = {}, const std::vector<std::string>& wrapper = {},
                         const std::function<void()>& release = {}, bool exitFirst = false) {
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    cpu_set_t processors;
    CPU_ZERO(&processors);
    if (::sched_getaffinity(0, sizeof processors, &processors) != 0) ::_exit(127);
    for (int cpu = 0, kept = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &processors) && mode.oneProcessor && kept++ > 0) CPU_CLR(cpu, &processors);
    }
    if (::dup2(outPipe[1], 1) < 0 || ::dup2(errPipe[1], 2) < 0 || ::chdir(workingFolder.c_str()) != 0 ||
        ::sched_setaffinity(0, sizeof processors, &processors) != 0)
      ::_exit(127);
    // The tool starts with only the three standard streams open, as from a shell.
    ::close_range(3, ~0U, 0);
    // LeakSanitizer, in a sanitized build, cannot work under a tracer such as strace.
    if (!wrapper.empty()) ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    std::vector<char*> argv;
    for (const std::string& word : wrapper) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(const_cast<char*>(mode.alternating ? DOCGLEANER_TEST_TOOL_PATH : DOCGLEANER_PATH));
    if (mode.alternating) argv.push_back(const_cast<char*>("--alternate"));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  const auto readToEnd = [&](int fd, std::string& text) {
    pollfd stream{fd, POLLIN, 0};
    char bytes[4096];
    ssize_t got = -1;
    while (got != 0 && std::chrono::steady_clock::now() < deadline) {
      if (::poll(&stream, 1, 100) > 0 && (got = ::read(fd, bytes, sizeof bytes)) > 0) text.append(bytes, got);
    }
    ::close(fd);
    return got == 0;
  };
  const bool outputEnded = readToEnd(outPipe[0], result.standardOutput);
  result.streamsEnded = readToEnd(errPipe[0], result.standardError) && outputEnded;
  if (release && !exitFirst) release();
  int waitStatus = 0;
  bool ended = true;
  while (ended && ::waitpid(child, &waitStatus, WNOHANG) == 0) {
    ended = std::chrono::steady_clock::now() < deadline;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!ended) ::kill(child, SIGKILL);
  if (release && exitFirst) release();
  if (!ended) ::waitpid(child, &waitStatus, 0);
  if (ended && WIFEXITED(waitStatus)) result.status = WEXITSTATUS(waitStatus);
  return result;
}

// Runs the tool under sh after the shell commands \a limits, such as "ulimit -n 6".
inline std::vector<std::string> Limited(const std::string& limits) {
  return {"sh", "-c", limits + " && exec \"$0\" \"$@\""};
}

// Runs the tool under strace, failing or delaying the system call \a call as \a how says; only
// where it acts on one of \a paths, if any are given (an entry's bare name matches its open); and
// behind the words \a then, if any.
inline std::vector<std::string> Injected(const std::string& call, const std::string& how,
                                         const std::vector<std::string>& paths = {},
                                         const std::vector<std::string>& then = {}) {
  std::vector<std::string> words{
      "strace", "-f", "-o", "/dev/null", "-e", "trace=" + call, "-e", "inject=" + call + ":" + how};
  for (const std::string& path : paths) words.insert(words.end(), {"-P", path});
  words.insert(words.end(), then.begin(), then.end());
  return words;
}

// Runs the tool under strace, which records the system calls \a calls of every thread in "@trace"
// and, with \a inject, makes one fail as its inject= says; behind the words \a then, if any.
inline std::vector<std::string> Traced(const std::string& calls, const std::string& inject = "",
                                       const std::vector<std::string>& then = {}) {
  std::vector<std::string> words{"strace", "-f", "-o", "@trace", "-e", "trace=" + calls};
  if (!inject.empty()) words.insert(words.end(), {"-e", "inject=" + inject});
  words.insert(words.end(), then.begin(), then.end());
  return words;
}

// Returns why strace cannot trace the tool here, or nullptr if it can.
inline const char* WhyNoStrace() {
  if (std::system("strace -V >/dev/null 2>&1") != 0) return "needs strace to make system calls fail";
  // Under an emulator such as qemu-user, or a sandbox that forbids it, a program cannot be traced,
  // and strace would see the emulator's calls rather than the tool's.
  const pid_t child = ::fork();
  if (child == 0) ::_exit(::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 ? 0 : 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "needs ptrace, which this machine refuses";
  return nullptr;
}

// A FUSE file system mounted on a new folder for the life of the object, whose server answers the
// first request and no other: an open of any file in it waits until Release(). Where the server
// \a takes the open, the kernel waits for its answer even to end the process; where it does not,
// it lets the process end.
// Mounted() is false where that cannot be done (without root or FUSE).
class StallingMount {
 public:
  StallingMount(const fs::path& folder, bool takes)
      : folder_(folder), fd_(::open("/dev/fuse", O_RDWR | O_CLOEXEC)), takes_(takes) {
    fs::create_directory(folder);
    const std::string options = "fd=" + std::to_string(fd_) + ",rootmode=40000,user_id=0,group_id=0";
    mounted_ = fd_ >= 0 && ::mount("docgleaner-test", folder.c_str(), "fuse", 0, options.c_str()) == 0;
    if (mounted_) server_ = std::thread([this] { Serve(); });
  }
  StallingMount(const StallingMount&) = delete;
  StallingMount& operator=(const StallingMount&) = delete;
  ~StallingMount() {
    Release();
    if (fd_ >= 0) ::close(fd_);
  }
  bool Mounted() const { return server_.joinable(); }
  /// Unmounts, aborting the connection: every request taken ends with an error.
  void Release() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_FORCE | MNT_DETACH);
    mounted_ = false;
    if (server_.joinable()) server_.join();
  }

 private:
  void Serve() {
    std::vector<char> request(1 << 16);
    fuse_in_header header;
    for (ssize_t got; (got = ::read(fd_, request.data(), request.size())) >= 0 || errno != ENODEV;) {
      std::memcpy(&header, request.data(), sizeof header);
      if (got < static_cast<ssize_t>(sizeof header) || header.opcode != FUSE_INIT) continue;
      struct {
        fuse_out_header header;
        fuse_init_out init;
      } reply{{sizeof reply, 0, header.unique}, {}};
      reply.init.major = FUSE_KERNEL_VERSION;
      reply.init.minor = FUSE_KERNEL_MINOR_VERSION;
      reply.init.max_write = 4096;
      EXPECT_EQ(::write(fd_, &reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
      if (!takes_) return;
    }
  }

  fs::path folder_;
  int fd_;
  bool takes_;
  bool mounted_ = false;
  std::thread server_;
};
