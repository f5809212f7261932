// The walk over a folder's listing: its entries handed over one at a time, in listing order, each
// opened and, if a regular file, ready to read.
//
// To fetch an entry is to open it, learn what it is with statx and, for a regular file, read its
// first bytes into the entry's slot: one more than its size says, up to kFirstReadSize. Reader threads
// prefetch listed entries; the main thread fetches, as it hands it over, an entry that nobody prefetched or
// whose prefetch failed, and only that fetch decides whether the entry opens. The main thread never opens an
// entry before it hands it over, so that, as on one thread, nothing listed after an entry that
// ends the run can hold the run up; a run that fails ends the process without waiting for the
// readers. Entries that the listing calls a folder, pipe, socket or device are not prefetched.
//
// Depth follows the storage. Every fetch, whoever makes it, is timed, and DepthPolicy says from
// the recent times whether the walk is deep or shallow:
// - shallow, as from a warm page cache: a window of kShallowWindow entries, one reader per
//   processor beyond the first (none on one, at most kMostShallowReaders); the readers prefetch the
//   farthest entries of the window while the main thread fetches the nearest itself, so that the
//   two seldom wait for each other;
// - deep, as on a cold cache or a network file system: kDeepReaders readers, started then, on any
//   number of processors, since a thread that waits on the storage costs no processor, and a
//   window as wide as the budgets of bytes and descriptors below allow; the readers prefetch in
//   listing order and the main thread mostly waits. Turning shallow again parks the readers
//   beyond the shallow ones.
//
// Ownership, by sequence number in the listing:
//   [next_ - 1]                    the entry handed over, the caller's until the next Next();
//   [next_, publishedEnd_)         published: while kListed any thread may take it, under mutex_;
//                                  while kFetching only the thread that took it touches the rest of
//                                  its slot; once kFetched it waits for the main thread;
//   [publishedEnd_, listedEnd_)    listed by the main thread, which alone touches them until it
//                                  publishes them, under mutex_.
// Slots come from a stack of free ones, so that a shallow walk reuses the same few buffers; only
// the main thread takes and frees them.
//
// Waits. Active readers with nothing to prefetch wait on workPublished_, signalled once for each
// prefetchable entry that the main thread publishes, and once when it hands over an entry that
// brings the descriptors held ahead back under kMostHeldAhead; readers beyond the active ones wait
// on depthChanged_. The main thread waits on entryFetched_ for the entry it hands over next,
// signalled by the reader that fetched it. Before a fetch on hand-over that failed for want of
// descriptors or memory is tried again, and at the end, every reader is stopped and joined.
//
// With no reader, on one processor with quick storage or where no thread starts, the same code
// runs on the main thread alone: it lists and fetches each entry as it hands it over.
#pragma once

#include <dirent.h>
#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "DepthPolicy.h"
#include "EntryStart.h"
#include "OutputStream.h"
#include "Threads.h"

/// What an entry turned out to be when it was opened.
enum class EntryState : unsigned char {
  kNotOpened,    ///< it did not open
  kUnexamined,   ///< it opened, but statx failed: it cannot be told from a device, and is not read
  kNoLines,      ///< not a regular file (a folder, pipe or device): it holds no lines to read
  kRegularFile,  ///< a regular file, open for reading
};

/// An entry of the listing as the walk hands it over.
struct FolderEntry {
  const char* name = nullptr;  ///< the entry name as the listing gives it
  EntryState state = EntryState::kNotOpened;
  int fd = -1;       ///< open for reading while a regular file may hold more to read, else -1
  EntryStart start;  ///< what was read of it already, and how far it may be read
};

/// How deep the walk reads ahead. The depths but the first are for tests: with them, the main
/// thread leaves every prefetchable entry to the readers while any are active, so that which
/// thread reads an entry is certain, and a reader that is never woken stalls the walk.
enum class Depth {
  kFollowStorage,  ///< as DepthPolicy says from the times of the fetches
  kDeep,           ///< deep throughout
  kAlternating,    ///< deep from the start, then shallow and deep in turn every few entries
};

/// Hands over a folder's entries in listing order, "." and ".." left out.
class EntryWalk {
 public:
  /// Walks \a folder, which must stay open for as long as the walk, with \a readers threads
  /// prefetching while shallow (at most kMostShallowReaders) and as \a depth says. Where the file
  /// that \a output writes is an entry, it is read no further than what the run had written when
  /// it is handed over.
  EntryWalk(DIR* folder, OutputStream& output, int readers, Depth depth = Depth::kFollowStorage) noexcept;
  EntryWalk(const EntryWalk&) = delete;
  EntryWalk& operator=(const EntryWalk&) = delete;
  /// Stops the readers and closes every file the walk still holds open.
  ~EntryWalk();

  /// Returns the next entry, valid until the next call, or nullptr where the listing ends or cannot
  /// be read further.
  const FolderEntry* Next() noexcept;

  /// Returns true if Next() returned nullptr because the listing could not be read.
  bool ListingFailed() const noexcept { return listingFailed_ && next_ == publishedEnd_; }

 private:
  // Deep, from bench/run's "cold small" rows, paired with pairs --cold on a machine of two
  // processors: 8 readers and 32 readers each took about 1.3 times as long as 16, and the floor
  // itself gains little past 16 threads. The shallow window and the cap on shallow readers (this
  // machine has two processors) were not measured apart.
  static constexpr int kShallowWindow = 16;
  static constexpr int kMostShallowReaders = 4;
  static constexpr int kDeepReaders = 16;
  static constexpr int kAlternation = 16;  // entries between changes of depth, where alternating
  // What bounds the deep window. The readers wait whenever the window is full, and it is full
  // whenever one slow entry holds the main thread, or the main thread waits for a processor: so
  // the window is as wide as memory and descriptors allow. Its slots; the bytes of all their
  // buffers, which start at kSmallestFirstRead and grow, for good, to what their entries' first
  // reads need, up to kFirstReadSize, while the budget lasts (past it, a first read takes what its
  // buffer holds, and the block copy reads on); and the descriptors of files read only in part,
  // held until handed over. With 64 slots of 64 KiB, the readers stood idle a fifth of their time
  // on "cold small", and beside two busy loops a processor the run took 2.2 times as long as the
  // floor; with 256, 1.0 times (bench/run's "cold small" rows).
  static constexpr int kDeepWindow = 256;
  static constexpr std::size_t kSmallestFirstRead = 4096;
  static constexpr std::size_t kFirstReadBudget = 3 << 20;
  static constexpr int kMostHeldAhead = 64;

  enum class SlotState : unsigned char {
    kListed,    // published, not taken yet
    kFetching,  // being fetched by a reader
    kFetched,   // fetched by a reader, or its prefetch failed: ready to hand over
  };

  struct Slot {
    char name[sizeof(dirent::d_name)];
    bool prefetchable;         // the listing may call it a regular file, and it has a buffer
    SlotState state;           // guarded by mutex_ while published
    char* buffer = nullptr;    // capacity and kScanSlack bytes for the first read, or nullptr
    std::size_t capacity = 0;  // counted in bufferBytes_
    bool bufferUsed = false;   // whether the buffer's pages were written before
    bool holdsAhead = false;   // fetched by a reader and holding its descriptor: counted in heldAhead_
    int openError = 0;         // errno of the last open that failed
    FolderEntry entry;

    /// Whether a reader may take it: published, prefetchable and not taken yet.
    bool Untaken() const noexcept { return state == SlotState::kListed && prefetchable; }
  };

  /// A reader thread: prefetches while active, until stopping_.
  static void* RunReader(void* walk) noexcept;
  Slot& SlotOf(std::uint64_t sequence) noexcept { return *ring_[sequence % kDeepWindow]; }
  /// Main thread: lists entries up to the window ahead of next_, without publishing them; returns
  /// how many are prefetchable.
  int ListAhead() noexcept;
  /// With mutex_ held: returns a published prefetchable slot that nobody took, the first when deep,
  /// the last when shallow.
  Slot* FindPrefetchableLocked() noexcept;
  /// For the thread that owns \a slot: returns how many bytes the first read of its entry, of \a size
  /// bytes and to be read no further than \a sizeLimit, asks for, growing the buffer to hold them
  /// where the budget allows.
  std::size_t FirstReadRoom(Slot& slot, off_t size, std::uint64_t sizeLimit) noexcept;
  /// For the thread that owns \a slot: fetches its entry, or prefetches it if \a ahead, when a
  /// failure is dropped for the fetch on hand-over to meet again. Returns how long that took, in
  /// nanoseconds, or DepthPolicy::kNotTimed.
  std::int64_t Fetch(Slot& slot, bool ahead) noexcept;
  /// For Fetch(): opens \a slot's entry and learns what it is, setting \a size for a regular file;
  /// returns false if it did not open or, \a ahead, must be left to the fetch on hand-over.
  bool OpenEntry(Slot& slot, bool ahead, off_t& size) noexcept;
  /// For the owner of \a slot: closes and drops what a prefetch did, for a fetch to redo.
  void DropPrefetch(Slot& slot) noexcept;
  /// Main thread: fetches the entry about to be handed over; tries once more without readers if it
  /// did not open for want of descriptors or memory.
  void FetchOnHandOver(Slot& slot) noexcept;
  /// With mutex_ held, on the main thread: goes deep or shallow as the depth asks.
  void UpdateDepthLocked() noexcept;
  /// With mutex_ held, on the main thread: sets the window and the active readers for a deep walk
  /// or a shallow one, starting the readers wanted that are not running yet.
  void SetDeepLocked(bool deep) noexcept;
  /// With mutex_ held, on the main thread: returns true if \a slot, next to hand over, is to wait for
  /// a reader to take it, as the test depths ask.
  bool LeftToReadersLocked(const Slot& slot) const noexcept;
  /// Main thread: stops and joins the readers for good, then drops the prefetches that hold
  /// descriptors.
  void StopPrefetching() noexcept;

  // Touched by the main thread only.
  DIR* folder_;
  int folderFd_;
  OutputStream& output_;
  const Depth depth_;
  const int shallowReaders_;
  int window_ = kShallowWindow;  // how far ahead of next_ to list
  pthread_t readerThreads_[kDeepReaders];
  int readers_ = 0;  // started and not joined
  bool prefetchStopped_ = false;
  Slot* slots_;  // kDeepWindow of them on the heap, or fallbackSlots_
  int slotCount_;
  Slot fallbackSlots_[kShallowWindow];
  Slot* freeSlots_[kDeepWindow];  // a stack
  int freeCount_ = 0;
  bool callerHolds_ = false;     // whether the caller still holds the slot before next_
  std::uint64_t listedEnd_ = 0;  // the first entry not listed yet
  bool listingEnded_ = false;
  bool listingFailed_ = false;
  std::int64_t handOverFetchTime_ = DepthPolicy::kNotTimed;  // counted at the next Next()

  Mutex mutex_;
  Condition workPublished_;  // active readers wait here for a slot to prefetch, or for stopping_
  Condition depthChanged_;   // readers beyond the active ones wait here
  Condition entryFetched_;   // the main thread waits here for the entry it hands over next
  Slot* ring_[kDeepWindow];  // the slot of each sequence number in the window, by its remainder
  // Guarded by mutex_, with the states of the published slots; next_, publishedEnd_ and
  // activeReaders_ are written only by the main thread, which may read them without it.
  std::uint64_t next_ = 0;          // the entry to hand over next
  std::uint64_t publishedEnd_ = 0;  // the first entry not published
  std::uint64_t searchFrom_ = 0;    // while deep, every slot from next_ up to it has been taken
  int activeReaders_ = 0;           // readers numbered below it may prefetch; all have started
  int readersNumbered_ = 0;         // readers that have taken a number
  int idleReaders_ = 0;             // active readers waiting on workPublished_
  int heldAhead_ = 0;               // descriptors held by slots fetched ahead, not handed over
  bool mainWaiting_ = false;        // whether the main thread waits on entryFetched_
  bool stopping_ = false;           // readers are to end
  bool deep_ = false;
  DepthPolicy depthPolicy_;  // counts every fetch, ahead or on hand-over
  // Grown by whichever thread fetches; only ever reaches kFirstReadBudget by growth.
  std::atomic<std::size_t> bufferBytes_{0};
};
