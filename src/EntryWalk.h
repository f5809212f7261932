// The walk over a folder's listing: its entries handed over one at a time, in listing order, each
// fetched (EntryFetch.h): opened and, if a regular file, ready to read.
//
// Readers of a ReaderPool prefetch listed entries; the main thread fetches, as it hands it over,
// an entry that nobody prefetched or whose prefetch failed, and only that fetch decides whether the
// entry opens. The main thread never opens an entry before it hands it over, so that, as on one
// thread, nothing listed after an entry that ends the run can hold the run up; a run that fails
// ends the process without waiting for the readers. Entries that the listing calls a folder, pipe,
// socket or device are not prefetched.
//
// Depth. Every fetch, whoever makes it, is timed, and the DepthRule the walk is handed says, from
// the times, whether the walk is deep or shallow (the tool's follows the storage):
// - shallow, as from a warm page cache: a window of kShallowWindow entries, one reader per
//   processor beyond the first (none on one, at most kMostShallowReaders); the readers prefetch the
//   farthest entries of the window while the main thread fetches the nearest itself, so that the
//   two seldom wait for each other;
// - deep, as on a cold cache or a network file system: kDeepReaders readers, started then, on any
//   number of processors, since a thread that waits on the storage costs no processor, and a
//   window as wide as the bounds below allow; the readers prefetch in listing order, the main
//   thread leaves them every entry they may prefetch and mostly waits. Turning shallow again
//   parks the readers beyond the shallow ones.
//
// Ownership, by sequence number in the listing:
//   [next_ - 1]                    the entry handed over, the caller's until the next Next();
//   [next_, publishedEnd_)         published: while kListed any thread may take it, under mutex_;
//                                  while kFetching only the reader that took it touches the rest
//                                  of its slot; once kFetched it waits for the main thread;
//   [publishedEnd_, listedEnd_)    listed by the main thread, which alone touches them until it
//                                  publishes them, under mutex_.
// Slots come from a stack of free ones, so that a shallow walk reuses the same few buffers; only
// the main thread takes and frees them.
//
// Waits. Readers without a slot to prefetch wait in the pool, woken by the main thread in three
// cases: once for each prefetchable entry it publishes; once when it hands over an entry that
// brings the descriptors held ahead back under kMostHeldAhead; and once each time it is about to
// wait for the entry it hands over next while nobody has taken that entry, as when every reader
// stood idle at that bound. The main thread waits on entryFetched_ for the entry it hands over
// next, signalled by the reader that fetched it. Before a fetch on hand-over
// that failed for want of descriptors or memory is tried again, and at the end, every reader is
// stopped and joined.
//
// With no reader, on one processor with quick storage or where no thread starts, the same code
// runs on the main thread alone: it lists and fetches each entry as it hands it over.
#pragma once

#include <dirent.h>

#include <cstdint>

#include "DepthPolicy.h"
#include "EntryFetch.h"
#include "OutputStream.h"
#include "ReaderPool.h"
#include "SystemCalls.h"
#include "Threads.h"

/// Hands over a folder's entries in listing order, "." and ".." left out.
class EntryWalk {
 public:
  /// Walks \a folder, which must stay open for as long as the walk, with \a readers threads
  /// prefetching while shallow (at most kMostShallowReaders), as deep as \a depth says, making its
  /// system calls through \a calls. Where the file that \a output writes is an entry, it is read no
  /// further than what the run had written when it is handed over.
  EntryWalk(DIR* folder, OutputStream& output, int readers, DepthRule depth,
            const SystemCalls& calls = kLibraryCalls) noexcept;
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
  static_assert(kDeepReaders <= ReaderPool::kMostReaders);

  enum class SlotState : unsigned char {
    kListed,    // published, not taken yet
    kFetching,  // being fetched by a reader
    kFetched,   // fetched by a reader, or its prefetch failed: ready to hand over
  };

  struct Slot : EntrySlot {
    // Set by the main thread when it lists the slot.
    bool prefetchable = false;  // the listing may call it a regular file, and it has a buffer
    // Guarded by mutex_ while published.
    SlotState state = SlotState::kListed;
    // The reader that fetches it, until kFetched.
    std::int64_t fetchTime = DepthPolicy::kNotTimed;

    /// Whether it counts in heldAhead_: fetched by a reader and holding its descriptor. Once
    /// prefetching stops, no slot in the window holds one.
    bool HoldsAhead() const noexcept { return state == SlotState::kFetched && entry.fd >= 0; }
    /// Whether a reader may take it: published, prefetchable and not taken yet.
    bool Untaken() const noexcept { return state == SlotState::kListed && prefetchable; }
  };

  // The readers' work, on the walk: a slot to prefetch, its fetch, and its hand-back.
  friend struct ReaderWork;
  Slot* TakeLocked() noexcept;
  void RunJob(Slot& slot) noexcept;
  void FinishLocked(Slot& fetched) noexcept;

  Slot& SlotOf(std::uint64_t sequence) noexcept { return *ring_[sequence % kDeepWindow]; }
  /// Main thread: how far ahead of next_ to list, as deep as the slots reach while prefetching deep.
  int Window() const noexcept { return deep_ && !prefetchStopped_ ? slotCount_ : kShallowWindow; }
  /// Main thread: lists entries up to the window ahead of next_, without publishing them; returns
  /// how many are prefetchable.
  int ListAhead() noexcept;
  /// With mutex_ held: returns a published prefetchable slot that nobody took, the first when deep,
  /// the last when shallow.
  Slot* FindPrefetchableLocked() noexcept;
  /// Main thread: fetches the entry about to be handed over; tries once more without readers if it
  /// did not open for want of descriptors or memory.
  void FetchOnHandOver(Slot& slot) noexcept;
  /// With mutex_ held, on the main thread: goes deep or shallow as the depth rule says.
  void UpdateDepthLocked() noexcept;
  /// With mutex_ held, on the main thread: turns the walk deep or shallow, with the readers that
  /// may take slots.
  void SetDeepLocked(bool deep) noexcept;
  /// Main thread: stops the readers for good, then drops the prefetches that hold descriptors.
  void StopPrefetching() noexcept;

  // Set once.
  DIR* const folder_;
  const DepthRule depth_;
  const int shallowReaders_;
  EntryFetcher fetcher_;
  Slot* slots_;  // kDeepWindow of them on the heap, or fallbackSlots_
  int slotCount_;

  // The main thread only.
  Slot fallbackSlots_[kShallowWindow];  // where no memory could be had for kDeepWindow slots
  Slot* freeSlots_[kDeepWindow];        // a stack of the slots not in the window
  int freeCount_ = 0;
  bool prefetchStopped_ = false;  // the readers were stopped for good; unlike deep_, never undone
  bool callerHolds_ = false;      // whether the caller still holds the slot before next_
  std::uint64_t listedEnd_ = 0;   // the first entry not listed yet
  bool listingEnded_ = false;     // readdir() returned nullptr...
  bool listingFailed_ = false;    // ...and set errno
  std::int64_t handOverFetchTime_ = DepthPolicy::kNotTimed;  // counted at the next Next()

  // Guarded by mutex_; the pool's readers share it. next_, publishedEnd_ and deep_ are written only
  // by the main thread, which may read them without it.
  Mutex mutex_;
  Condition entryFetched_;          // the main thread waits here for the entry it hands over next
  Slot* ring_[kDeepWindow];         // the slot of each sequence number in the window, by its remainder
  std::uint64_t next_ = 0;          // the entry to hand over next
  std::uint64_t publishedEnd_ = 0;  // the first entry not published
  std::uint64_t searchFrom_ = 0;    // while deep: every slot from next_ up to it has been taken
  int heldAhead_ = 0;               // descriptors held by slots fetched ahead, not handed over
  bool mainWaiting_ = false;        // whether the main thread waits on entryFetched_
  bool deep_ = false;

  // Last, so that it stops its readers before the state they use goes.
  ReaderPool readers_;
};
