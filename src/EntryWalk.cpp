#include "EntryWalk.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Entries the listing calls a regular file, a link or nothing yet may hold lines; folders, pipes,
// sockets and devices do not, and are only opened when handed over.
bool MayHoldLines(unsigned char type) {
  return type == DT_REG || type == DT_LNK || type == DT_UNKNOWN;
}

}  // namespace

EntryWalk::EntryWalk(DIR* folder, OutputStream& output, int readers, DepthRule depth,
                     const SystemCalls& calls) noexcept
    : folder_(folder),
      depth_(depth),
      shallowReaders_(std::clamp(readers, 0, kMostShallowReaders)),
      fetcher_(::dirfd(folder), output, calls),
      readers_(mutex_, ReaderWork::Of(*this)) {
  // The window's slots go on the heap, as they are too many for a small stack; where memory for
  // them cannot be had, the walk uses the shallow window's slots that it holds itself, wherever
  // it lives (on the run's stack, in the tool), and reads no further ahead than they reach.
  void* const memory = std::malloc(kDeepWindow * sizeof(Slot));
  slots_ = memory != nullptr ? static_cast<Slot*>(memory) : fallbackSlots_;
  slotCount_ = memory != nullptr ? kDeepWindow : kShallowWindow;
  for (int index = 0; index < slotCount_; ++index) {
    if (slots_ != fallbackSlots_) new (&slots_[index]) Slot();
    freeSlots_[freeCount_++] = &slots_[index];
  }
  ScopedLock lock(mutex_);
  SetDeepLocked(depth_.deep(depth_.context));
}

EntryWalk::~EntryWalk() {
  StopPrefetching();
  for (std::uint64_t sequence = next_ - (callerHolds_ ? 1 : 0); sequence < listedEnd_; ++sequence) {
    if (SlotOf(sequence).entry.fd >= 0) ::close(SlotOf(sequence).entry.fd);
  }
  for (int index = 0; index < slotCount_; ++index) std::free(slots_[index].buffer);
  if (slots_ != fallbackSlots_) std::free(slots_);
}

EntryWalk::Slot* EntryWalk::TakeLocked() noexcept {
  Slot* const slot = FindPrefetchableLocked();
  if (slot != nullptr) slot->state = SlotState::kFetching;
  return slot;
}

void EntryWalk::RunJob(Slot& slot) noexcept {
  slot.fetchTime = fetcher_.Fetch(slot, true);
}

void EntryWalk::FinishLocked(Slot& fetched) noexcept {
  fetched.state = SlotState::kFetched;
  heldAhead_ += fetched.HoldsAhead();
  depth_.count(depth_.context, fetched.fetchTime);
  if (mainWaiting_ && &fetched == &SlotOf(next_)) entryFetched_.Signal();
}

int EntryWalk::ListAhead() noexcept {
  // The slots past the published ones belong to this thread alone until it publishes them.
  int prefetchable = 0;
  while (!listingEnded_ && listedEnd_ - next_ < static_cast<std::uint64_t>(Window())) {
    errno = 0;
    const dirent* found = ::readdir(folder_);
    if (found == nullptr) {
      listingEnded_ = true;
      listingFailed_ = errno != 0;
      break;
    }
    if (IsDotOrDotDot(found->d_name)) continue;
    Slot& slot = *freeSlots_[--freeCount_];
    ring_[listedEnd_++ % kDeepWindow] = &slot;
    std::memcpy(slot.name, found->d_name, std::strlen(found->d_name) + 1);
    const bool mayHoldLines = MayHoldLines(found->d_type);
    if (mayHoldLines && slot.buffer == nullptr) fetcher_.GiveBuffer(slot);
    slot.prefetchable = mayHoldLines && slot.buffer != nullptr;
    slot.state = SlotState::kListed;
    fetcher_.Drop(slot);
    prefetchable += slot.prefetchable;
  }
  return prefetchable;
}

EntryWalk::Slot* EntryWalk::FindPrefetchableLocked() noexcept {
  // Files read only in part keep their descriptors until handed over; past kMostHeldAhead of them,
  // only the entry to hand over next may be taken, so that the walk goes on.
  if (heldAhead_ >= kMostHeldAhead) {
    return next_ < publishedEnd_ && SlotOf(next_).Untaken() ? &SlotOf(next_) : nullptr;
  }
  if (!deep_) {
    // Shallow, the main thread fetches most entries itself, from the front of the window: a
    // reader takes the farthest, so that the two seldom want the same entry.
    for (std::uint64_t sequence = publishedEnd_; sequence > next_; --sequence) {
      if (SlotOf(sequence - 1).Untaken()) return &SlotOf(sequence - 1);
    }
    return nullptr;
  }
  if (searchFrom_ < next_) searchFrom_ = next_;
  for (; searchFrom_ < publishedEnd_; ++searchFrom_) {
    if (SlotOf(searchFrom_).Untaken()) return &SlotOf(searchFrom_);
  }
  return nullptr;
}

void EntryWalk::FetchOnHandOver(Slot& slot) noexcept {
  handOverFetchTime_ = fetcher_.Fetch(slot, false);
  if (slot.entry.state != EntryState::kNotOpened || readers_.Started() == 0 ||
      !ForWantOfResources(slot.openError))
    return;
  // Files prefetched may hold the last descriptors or the memory the open needed: they are given
  // up, and the open is made once more as it would be without prefetching.
  StopPrefetching();
  fetcher_.Fetch(slot, false);
}

void EntryWalk::UpdateDepthLocked() noexcept {
  if (prefetchStopped_) return;
  const bool deep = depth_.deep(depth_.context);
  if (deep != deep_) SetDeepLocked(deep);
}

void EntryWalk::SetDeepLocked(bool deep) noexcept {
  deep_ = deep;
  searchFrom_ = next_;
  readers_.SetActiveLocked(deep ? kDeepReaders : shallowReaders_);
}

void EntryWalk::StopPrefetching() noexcept {
  prefetchStopped_ = true;
  if (readers_.Started() == 0) return;
  readers_.Stop();
  heldAhead_ = 0;
  // What was read whole holds no descriptor and stays; the rest is fetched again on hand-over.
  for (std::uint64_t sequence = next_; sequence < listedEnd_; ++sequence) {
    Slot& slot = SlotOf(sequence);
    if (!slot.entry.start.whole) fetcher_.Drop(slot);
  }
}

const FolderEntry* EntryWalk::Next() noexcept {
  if (callerHolds_) {
    Slot& held = SlotOf(next_ - 1);
    if (held.entry.fd >= 0) ::close(held.entry.fd);
    held.entry.fd = -1;
    freeSlots_[freeCount_++] = &held;
    callerHolds_ = false;
  }
  const int prefetchable = ListAhead();

  mutex_.Lock();
  publishedEnd_ = listedEnd_;
  depth_.count(depth_.context, handOverFetchTime_);
  handOverFetchTime_ = DepthPolicy::kNotTimed;
  UpdateDepthLocked();
  readers_.WakeLocked(prefetchable);
  if (next_ == publishedEnd_) {
    mutex_.Unlock();
    return nullptr;
  }
  Slot& slot = SlotOf(next_);
  // This thread never opens an entry before it hands it over: where a reader has the next one in
  // hand, it waits, so that an entry after one that ends the run, on a server that stopped
  // answering say, cannot hold the run up. Deep, it leaves the readers every entry they may take.
  while (slot.state == SlotState::kFetching || (deep_ && readers_.ActiveLocked() > 0 && slot.Untaken())) {
    // Readers that found nothing they might take, while shallow or at kMostHeldAhead, wait to be
    // woken: one is, for this entry.
    if (slot.Untaken()) readers_.WakeLocked(1);
    mainWaiting_ = true;
    entryFetched_.Wait(mutex_);
    mainWaiting_ = false;
  }
  if (slot.HoldsAhead()) {
    // A reader that stopped at kMostHeldAhead may go on.
    if (heldAhead_-- == kMostHeldAhead) readers_.WakeLocked(1);
  }
  ++next_;
  mutex_.Unlock();
  callerHolds_ = true;
  // An entry nobody prefetched is fetched now; so is one whose prefetch failed, for want of
  // descriptors say, and only that fetch decides whether it opens.
  if (slot.entry.state == EntryState::kNotFetched) FetchOnHandOver(slot);
  return &slot.entry;
}
