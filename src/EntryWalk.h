// The walk over a folder's listing: its entries handed over one at a time, in listing order, each
// opened and, if a regular file, ready to read.
//
// Stages. The main thread lists entries into a ring of kWindow slots, ahead of the one it hands
// over next, and hands them over in listing order. Reader threads (none with one processor) take
// listed regular files in order, open them, learn what they are with fstat, and read their first
// kFirstReadSize bytes into the slot's buffer. While a reader holds the entry it must hand over
// next, the main thread reads a later one ahead itself rather than wait. An entry that nobody
// took, or whose work ahead failed, is opened by the main thread in its turn, which alone decides
// whether it opens.
//
// Ownership, by sequence number (next_ the entry to hand over, listed_ the first not published):
//   [next_ - 1]          the entry handed over, owned by the caller until the next Next();
//   [next_, listed_)     published: a slot in kListed is free for any thread to take under
//                        mutex_; in kTaken it belongs to the thread that took it, which alone
//                        touches its entry and buffer; in kDone it waits for the main thread;
//   [listed_, listing_)  being filled by the main thread, which publishes them under mutex_.
// A slot's state is read and written only under mutex_; its name, entry and buffer belong to
// whoever the state says.
//
// Waits. Readers wait on workListed_ for a slot to take or for stopping_; the main thread
// broadcasts it when it publishes entries worth reading ahead and a reader is idle. The main
// thread waits on entryDone_ for the entry it hands over next; the reader that finishes that
// entry signals it. Before an in-turn open is tried again, and at the end, the readers are
// stopped and joined; after that, every entry is opened in its turn.
//
// With one processor, or where no reader thread starts, the same code runs with no readers: the
// main thread lists, opens and reads each entry in its turn.
#pragma once

#include <dirent.h>
#include <pthread.h>
#include <sys/types.h>

#include <cstdint>

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

/// Hands over a folder's entries in listing order, "." and ".." left out.
class EntryWalk {
 public:
  /// Walks \a folder, which must stay open for as long as the walk, with up to \a readers threads
  /// reading ahead (with none, every entry is opened in its turn). Where the file that \a output
  /// writes is an entry, it is read no further than what the run had written when it opened.
  EntryWalk(DIR* folder, OutputStream& output, int readers) noexcept;
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
  // Entries listed ahead of the one handed over; bounds the descriptors and memory held ahead.
  static constexpr int kWindow = 16;
  static constexpr int kMostReaders = 4;

  enum class State : unsigned char {
    kListed,  // listed, not yet taken up
    kTaken,   // being opened, and read if a regular file, by a reader or the main thread
    kDone,    // taken up and finished: ready to hand over
  };

  struct Slot {
    char name[sizeof(dirent::d_name)];
    bool worthReadingAhead;  // the listing calls it a regular file
    State state;             // guarded by mutex_ while it lies in [next_, listed_)
    FolderEntry entry;
  };

  /// A reader thread: takes slots and works ahead on them until stopping_.
  static void* RunReader(void* walk) noexcept;
  Slot& SlotOf(std::uint64_t sequence) noexcept { return slots_[sequence % kWindow]; }
  /// Returns the buffer for the first read of \a slot's entry.
  char* ReadBuffer(const Slot& slot) const noexcept;
  /// Main thread: lists entries up to kWindow ahead of next_, without publishing them; returns
  /// true if any is worth reading ahead.
  bool ListAhead() noexcept;
  /// With mutex_ held: returns the first published slot worth reading ahead that nobody took.
  Slot* FindWorkAheadLocked() noexcept;
  /// For the thread that took \a slot: opens its entry and reads its first part, or forgets it all.
  void WorkAhead(Slot& slot) noexcept;
  /// For the owner of \a slot: closes and drops what was done ahead, for the entry's turn to redo.
  void ForgetWorkAhead(Slot& slot) noexcept;
  /// Main thread: opens the entry handed over next; tries once more without readers if it fails.
  void OpenInTurn(Slot& slot) noexcept;
  /// Opens \a slot's entry and learns what it is, setting \a size for a regular file; returns
  /// false if it did not open or, ahead of its turn, must be left to its turn.
  bool OpenEntry(Slot& slot, bool inTurn, off_t& size) noexcept;
  /// Main thread: stops and joins the readers, then forgets the work ahead that holds descriptors.
  void StopReadingAhead() noexcept;

  // Touched by the main thread only.
  DIR* folder_;
  int folderFd_;
  OutputStream& output_;
  char* readBuffers_ = nullptr;  // kWindow buffers for the first part of each entry read ahead
  int readers_ = 0;
  pthread_t readerThreads_[kMostReaders];
  bool holding_ = false;       // whether the slot before next_ is handed over and still in use
  std::uint64_t listing_ = 0;  // the entry to list next; listed_ once published
  bool listingEnded_ = false;
  bool listingFailed_ = false;

  Slot slots_[kWindow];  // each owned as the overview says
  Mutex mutex_;
  Condition workListed_;  // readers wait here for a slot to take, or for stopping_
  Condition entryDone_;   // the main thread waits here for the entry it hands over next
  // Guarded by mutex_; next_ and listed_ are written only by the main thread, which may read them
  // without it.
  std::uint64_t next_ = 0;    // the entry to hand over next
  std::uint64_t listed_ = 0;  // the first entry not published
  int idleReaders_ = 0;       // readers waiting on workListed_
  bool mainWaiting_ = false;  // whether the main thread waits on entryDone_
  bool stopping_ = false;     // readers are to end
};
