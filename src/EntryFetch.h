// Fetching an entry of a folder: opening it, learning what it is and reading its first bytes into
// its slot's buffer, through a table of system calls; which failures are worth trying again.
//
// Any thread may fetch: a slot belongs to one thread at a time, which the caller decides. The
// buffers of all slots stay within kFirstReadBudget bytes (DepthPolicy.h), counted by the fetcher.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "EntryStart.h"
#include "OutputStream.h"
#include "SystemCalls.h"

/// What an entry turned out to be when it was opened.
enum class EntryState : unsigned char {
  kNotFetched,   ///< nobody fetched it yet, or a prefetch left it to the fetch on hand-over
  kNotOpened,    ///< it did not open
  kUnexamined,   ///< it opened, but statx failed: it cannot be told from a device, and is not read
  kNoLines,      ///< not a regular file (a folder, pipe or device): it holds no lines to read
  kRegularFile,  ///< a regular file, open for reading
};

/// An entry of the listing as the walk hands it over.
struct FolderEntry {
  const char* name = nullptr;  ///< the entry name as the listing gives it
  EntryState state = EntryState::kNotFetched;
  int fd = -1;       ///< open for reading while a regular file may hold more to read, else -1
  EntryStart start;  ///< what was read of it already, and how far it may be read
};

/// Returns true if an open that failed with \a error may work once files held open are closed:
/// it failed for want of descriptors or memory. Any other failure is final.
bool ForWantOfResources(int error) noexcept;

/// An entry's name, what a fetch made of it, and the buffer its first bytes go to.
struct EntrySlot {
  char name[sizeof(dirent::d_name)];
  char* buffer = nullptr;    ///< capacity and kScanSlack bytes, or nullptr
  std::size_t capacity = 0;  ///< counted in the fetcher's budget
  bool bufferUsed = false;   ///< whether the buffer's pages were written before
  int openError = 0;         ///< errno of the last open that failed
  FolderEntry entry;         ///< named after name; reset by Drop()
};

/// Fetches the entries of one open folder into slots.
class EntryFetcher {
 public:
  /// Where the file that \a output writes is an entry, it is read no further than what the run
  /// had written when it is fetched on hand-over.
  EntryFetcher(int folderFd, OutputStream& output, const SystemCalls& calls) noexcept
      : folderFd_(folderFd), output_(output), calls_(calls) {}

  /// The bytes a slot's buffer starts with, and the least a first read asks for: some files (of
  /// /proc and sysfs) say a size of 0 or 4096 whatever they hold.
  static constexpr std::size_t kSmallestFirstRead = 4096;

  /// For the thread that owns \a slot, a new one: gives it a buffer of kSmallestFirstRead bytes;
  /// returns false where no memory can be had.
  bool GiveBuffer(EntrySlot& slot) noexcept;
  /// For the thread that owns \a slot: fetches its entry, or prefetches it if \a ahead, when a
  /// failure is dropped for the fetch on hand-over to meet again. Returns how long that took, in
  /// nanoseconds, or DepthPolicy::kNotTimed where the time went to fresh pages or to the output.
  std::int64_t Fetch(EntrySlot& slot, bool ahead) noexcept;
  /// For the owner of \a slot: closes and forgets what a fetch did, for another to redo.
  void Drop(EntrySlot& slot) noexcept;

 private:
  /// Opens \a slot's entry and learns what it is, setting \a size for a regular file; returns false
  /// if it did not open or, \a ahead, must be left to the fetch on hand-over.
  bool Open(EntrySlot& slot, bool ahead, off_t& size) noexcept;
  /// Returns how many bytes the first read of an entry of \a size bytes, to be read no further
  /// than \a sizeLimit, asks for, growing \a slot's buffer to hold them where the budget allows.
  std::size_t FirstReadRoom(EntrySlot& slot, off_t size, std::uint64_t sizeLimit) noexcept;

  // Set once.
  const int folderFd_;
  OutputStream& output_;
  const SystemCalls& calls_;
  // Any fetching thread: the capacities of all slots' buffers, never above kFirstReadBudget.
  std::atomic<std::size_t> bufferBytes_{0};
};
