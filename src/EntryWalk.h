// The walk over a folder's listing: its entries handed over one at a time in listing order, each
// opened and, if a regular file, ready to read. Reader threads open the regular files a few
// entries ahead and read their first part, so that the run seldom waits on the file system.
#pragma once

#include <dirent.h>
#include <pthread.h>
#include <sys/types.h>

#include <cstdint>

#include "CommentBlock.h"
#include "Threads.h"

/// An entry of the listing as the walk hands it over.
struct WalkEntry {
  const char* name = nullptr;  ///< the entry name as the listing gives it
  bool opened = false;         ///< false if the entry did not open
  bool regular = false;        ///< true for a regular file: only those hold lines to read
  bool unreadable = false;     ///< true if it opened but what it is could not be learnt
  int fd = -1;                 ///< open for reading while the entry may hold more to read, else -1
  EntryInput input;            ///< what was read of it ahead, and how far it may be read
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
  const WalkEntry* Next() noexcept;

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
    WalkEntry entry;
  };

  static void* RunReader(void* walk) noexcept;
  Slot& SlotOf(std::uint64_t sequence) noexcept { return slots_[sequence % kWindow]; }
  char* ReadBuffer(const Slot& slot) const noexcept;
  bool ListAhead() noexcept;
  Slot* FindWorkAhead() noexcept;
  void WorkAhead(Slot& slot) noexcept;
  void ForgetWorkAhead(Slot& slot) noexcept;
  void OpenInTurn(Slot& slot) noexcept;
  bool OpenEntry(Slot& slot, bool inTurn, off_t& size) noexcept;
  void StopReadingAhead() noexcept;

  DIR* folder_;
  int folderFd_;
  OutputStream& output_;
  char* readBuffers_ = nullptr;  // kWindow buffers for the first part of each entry read ahead
  int readers_ = 0;
  pthread_t readerThreads_[kMostReaders];
  Slot slots_[kWindow];
  bool holding_ = false;       // whether the slot before next_ is handed over and still in use
  std::uint64_t listing_ = 0;  // the entry to list next; listed_ once published
  bool listingEnded_ = false;
  bool listingFailed_ = false;

  Mutex mutex_;
  Condition workListed_;      // readers wait here for entries to read ahead
  Condition entryDone_;       // the main thread waits here for the entry it hands over next
  std::uint64_t next_ = 0;    // guarded by mutex_: the entry to hand over next
  std::uint64_t listed_ = 0;  // guarded by mutex_: the entry to list next
  int idleReaders_ = 0;       // guarded by mutex_
  bool mainWaiting_ = false;  // guarded by mutex_
  bool stopping_ = false;     // guarded by mutex_
};
