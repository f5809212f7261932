// The walk over a folder's listing: its entries handed over one at a time, in listing order, each
// opened and, if a regular file, ready to read.
//
// Stages. The main thread lists entries ahead of the one it hands over next, up to a window, and
// hands them over in listing order. Reader threads take listed entries, open them, learn what they
// are with fstat and read the first kFirstReadSize bytes of a regular file into the entry's slot.
// An entry nobody took yet is taken up by the main thread in its turn; so is one whose work ahead
// failed, and only that in-turn open decides whether it opens. The main thread never opens an
// entry before its turn, so that, as on one thread, nothing after an entry that ends the run can
// hold it up; a run that fails ends the process without waiting for the readers. Entries that the
// listing calls a folder, pipe, socket or device are left for their turn.
//
// Depth follows the storage. The work on each entry, whoever does it, is timed. While it is quick,
// as from a warm page cache, the walk stays shallow: a window of kShallowWindow entries, one reader
// per processor beyond the first (none on one), and the readers take the farthest entries while
// the main thread takes the nearest in their turn, so that the two seldom wait for each other.
// Once DepthPolicy finds enough of the recent entries slow, as on a cold cache or a network file
// system, the walk goes deep: a window of kDeepWindow entries and kDeepReaders readers, started then, on any
// number of processors, since a thread that waits on the storage costs no processor; the readers
// take the entries in listing order, and the main thread mostly waits. When entries turn quick
// again, the readers beyond the shallow ones go idle.
//
// Ownership, by sequence number (next_ the entry to hand over next, listed_ the first not
// published, listing_ the next to list):
//   [next_ - 1]          the entry handed over, owned by the caller until the next Next();
//   [next_, listed_)     published: in kListed, any thread may take it under mutex_; in kTaken it
//                        belongs to the thread that took it, which alone touches the rest of its
//                        slot; in kDone it waits for the main thread;
//   [listed_, listing_)  being listed by the main thread, which publishes them under mutex_.
// Slots come from a stack of free ones, so that a shallow walk reuses the same few buffers; only
// the main thread takes and frees them.
//
// Waits. Active readers with nothing to take wait on workListed_, signalled once for each entry
// worth reading ahead that the main thread publishes; readers beyond the active ones wait on
// depthChanged_. The main thread waits on entryDone_ for the entry it hands over next, signalled
// by the reader that finishes it. Before an in-turn open that failed for want of descriptors or
// memory is tried again, and at the end, every reader is stopped and joined; after that, each
// entry is opened in its turn.
//
// With no reader, on one processor with quick storage or where no thread starts, the same code
// runs on the main thread alone: it lists, opens and reads each entry in its turn.
#pragma once

#include <dirent.h>
#include <pthread.h>
#include <sys/types.h>

#include <cstdint>

#include "DepthPolicy.h"
#include "EntryStart.h"
#include "OutputStream.h"
#include "Threads.h"

/// An entry of the listing as the walk hands it over.
struct FolderEntry {
  const char* name = nullptr;  ///< the entry name as the listing gives it
  bool opened = false;         ///< false if the entry did not open
  bool regular = false;        ///< true for a regular file: only those hold lines to read
  bool unreadable = false;     ///< true if it opened but what it is could not be learnt
  int fd = -1;                 ///< open for reading while the entry may hold more to read, else -1
  EntryStart start;            ///< what was read of it ahead, and how far it may be read
};

/// How deep the walk reads ahead. The depths but the first are for tests: with them, the main
/// thread leaves every entry worth reading ahead to the readers while any are active, so that which
/// thread reads an entry is certain, and a reader that is never woken stalls the walk.
enum class Depth {
  kFollowStorage,  ///< shallow while entries are quick to open and read, deep while they are slow
  kDeep,           ///< deep throughout
  kAlternating,    ///< deep from the start, then shallow and deep in turn every few entries
};

/// Hands over a folder's entries in listing order, "." and ".." left out.
class EntryWalk {
 public:
  /// Walks \a folder, which must stay open for as long as the walk, with \a readers threads reading
  /// ahead while shallow (at most kMostShallowReaders) and as \a depth says. Where the file that
  /// \a output writes is an entry, it is read no further than what the run had written when it
  /// opened.
  EntryWalk(DIR* folder, OutputStream& output, int readers, Depth depth = Depth::kFollowStorage) noexcept;
  EntryWalk(const EntryWalk&) = delete;
  EntryWalk& operator=(const EntryWalk&) = delete;
  /// Stops the readers and closes every file the walk still holds open.
  ~EntryWalk();

  /// Returns the next entry, valid until the next call, or nullptr where the listing ends or cannot
  /// be read further.
  const FolderEntry* Next() noexcept;

  /// Returns true if Next() returned nullptr because the listing could not be read.
  bool ListingFailed() const noexcept { return listingFailed_ && next_ == listed_; }

 private:
  static constexpr int kShallowWindow = 16;
  static constexpr int kDeepWindow = 64;
  static constexpr int kMostShallowReaders = 4;
  static constexpr int kDeepReaders = 16;
  static constexpr int kAlternation = 16;  // entries between changes of depth, where alternating

  enum class State : unsigned char {
    kListed,  // listed, not yet taken up
    kTaken,   // being opened, and read if a regular file, by the thread that took it
    kDone,    // taken up and finished: ready to hand over
  };

  struct Slot {
    char name[sizeof(dirent::d_name)];
    bool worthReadingAhead;   // the listing may call it a regular file
    State state;              // guarded by mutex_ while published
    char* buffer = nullptr;   // kFirstReadSize and kScanSlack bytes for the first read, or nullptr
    bool bufferUsed = false;  // whether the buffer's pages were written before
    int openError = 0;        // errno of the last open that failed
    FolderEntry entry;
  };

  /// A reader thread: takes slots and works on them while active, until stopping_.
  static void* RunReader(void* walk) noexcept;
  Slot& SlotOf(std::uint64_t sequence) noexcept { return *ring_[sequence % kDeepWindow]; }
  /// Main thread: lists entries up to the window ahead of next_, without publishing them; returns
  /// how many are worth reading ahead.
  int ListAhead() noexcept;
  /// With mutex_ held: returns a published slot worth reading ahead that nobody took, the first when
  /// deep, the last when shallow.
  Slot* FindWorkAheadLocked() noexcept;
  /// For the thread that owns \a slot: opens its entry, learns what it is and, for a regular file
  /// with a buffer, reads its first part; ahead of its turn, forgets whatever fails. Returns how
  /// long that took, in nanoseconds, or DepthPolicy::kNotTimed.
  std::int64_t TakeUp(Slot& slot, bool inTurn) noexcept;
  /// For the owner of \a slot: closes and drops what was done ahead, for the entry's turn to redo.
  void ForgetWorkAhead(Slot& slot) noexcept;
  /// Main thread: takes up the entry handed over next; tries once more without readers if it does
  /// not open.
  void TakeUpInTurn(Slot& slot) noexcept;
  /// Opens \a slot's entry and learns what it is, setting \a size for a regular file; returns
  /// false if it did not open or, ahead of its turn, must be left to its turn.
  bool OpenEntry(Slot& slot, bool inTurn, off_t& size) noexcept;
  /// With mutex_ held, on the main thread: goes deep or shallow as the recent entries ask.
  void FollowStorageLocked() noexcept;
  /// With mutex_ held, on the main thread: sets the window and the active readers for a deep walk
  /// or a shallow one, starting the readers wanted that are not running yet.
  void SetDeepLocked(bool deep) noexcept;
  /// With mutex_ held, on the main thread: returns true if \a slot, next to hand over, is to wait for
  /// a reader to take it, as the test depths ask.
  bool LeftToReadersLocked(const Slot& slot) const noexcept;
  /// Main thread: stops and joins the readers for good, then forgets the work ahead that holds
  /// descriptors.
  void StopReadingAhead() noexcept;

  // Touched by the main thread only.
  DIR* folder_;
  int folderFd_;
  OutputStream& output_;
  const Depth depth_;
  const int shallowReaders_;
  int window_ = kShallowWindow;  // how far ahead of next_ to list
  pthread_t readerThreads_[kDeepReaders];
  int readers_ = 0;  // started and not joined
  bool stoppedForGood_ = false;
  Slot slots_[kDeepWindow];
  Slot* freeSlots_[kDeepWindow];  // a stack
  int freeCount_ = 0;
  bool holding_ = false;       // whether the slot before next_ is handed over and still in use
  std::uint64_t listing_ = 0;  // the entry to list next; listed_ once published
  bool listingEnded_ = false;
  bool listingFailed_ = false;
  std::int64_t heldTime_ = DepthPolicy::kNotTimed;  // the main thread's own work on the held entry

  Mutex mutex_;
  Condition workListed_;     // active readers wait here for a slot to take, or for stopping_
  Condition depthChanged_;   // readers beyond the active ones wait here
  Condition entryDone_;      // the main thread waits here for the entry it hands over next
  Slot* ring_[kDeepWindow];  // the slot of each sequence number in the window, by its remainder
  // Guarded by mutex_, with the states of the published slots; next_, listed_ and activeReaders_
  // are written only by the main thread, which may read them without it.
  std::uint64_t next_ = 0;       // the entry to hand over next
  std::uint64_t listed_ = 0;     // the first entry not published
  std::uint64_t unclaimed_ = 0;  // while deep, no slot before it, from next_ on, is left to take
  int activeReaders_ = 0;        // readers numbered below it may take work; all have started
  int readersNumbered_ = 0;      // readers that have taken a number
  int idleReaders_ = 0;          // active readers waiting on workListed_
  bool mainWaiting_ = false;     // whether the main thread waits on entryDone_
  bool stopping_ = false;        // readers are to end
  bool deep_ = false;
  DepthPolicy depthPolicy_;  // counts every entry taken up, ahead or in turn
};
