// How deep a walk reads ahead: the numbers that bound it, the rule a walk is handed, and the policy
// the tool hands it, which follows the storage from how long the work on each recent entry took.
//
// The policy holds no thread and reads no clock. The fetcher times its work on each entry (open,
// statx and first read, on whichever thread fetches it), and the walk hands the policy that time,
// or kNotTimed where the time went to something else: a fresh buffer's first page faults, or
// waiting for the output to be written.
//
// The numbers were measured on this project's test machine with bench/run:
// - kSlowNanoseconds: on the warm "small" corpus, 99.5% of entries took 10 µs or less, and a few up
//   to 250 µs when the machine was busy; after the caches were emptied ("cold small" rows), every
//   entry took over 50 µs, most 100 to 250 µs.
// - kWindow, kSlowToGoDeep and kSlowToGoShallow: a cold walk goes deep within a few dozen entries,
//   which the "cold small" rows need to stay near the floor with 16 threads, while the odd slow
//   call of a busy machine does not take a warm one deep and back ("small" rows); the gap between
//   the two keeps it from switching back and forth.
#pragma once

#include <cstddef>
#include <cstdint>

// Shallow, as from a warm page cache: a window of kShallowWindow entries, and one reader per
// processor beyond the first, at most kMostShallowReaders. Neither was measured apart: the test
// machine has two processors.
inline constexpr int kShallowWindow = 16;
inline constexpr int kMostShallowReaders = 4;
// Deep, from bench/run's "cold small" rows, paired with pairs --cold on a machine of two
// processors: 8 readers and 32 readers each took about 1.3 times as long as 16, and the floor
// itself gains little past 16 threads.
inline constexpr int kDeepReaders = 16;
// What bounds the deep window. The readers wait whenever the window is full, and it is full
// whenever one slow entry holds the main thread, or the main thread waits for a processor: so the
// window is as wide as memory and descriptors allow. Its slots (kDeepWindow); the bytes of all
// their buffers (kFirstReadBudget: past it, a first read takes what its buffer holds, and the
// block copy reads on; 170 of the 256 slots can hold 16 KiB); and the descriptors of files read
// only in part, held until handed over (kMostHeldAhead: checked when a reader takes a slot and
// counted when its fetch ends, so the readers busy at the bound may each add one,
// kMostHeldAhead + kDeepReaders - 1 in all). With 64 slots of 64 KiB, the readers stood idle a
// fifth of their time on "cold small", and beside two busy loops a processor the run took 2.2
// times as long as the floor; with 256, 1.0 times.
inline constexpr int kDeepWindow = 256;
inline constexpr std::size_t kFirstReadBudget = 3 << 20;
inline constexpr int kMostHeldAhead = 64;

/// What decides how deep a walk reads ahead, as two calls on a context, both made with the walk's
/// lock held.
struct DepthRule {
  void* context;
  /// Counts one more entry, whose work took \a nanoseconds, or DepthPolicy::kNotTimed.
  void (*count)(void* context, std::int64_t nanoseconds) noexcept;
  /// Returns true if the walk is to read ahead deep; asked as the walk starts and before it hands
  /// over each entry.
  bool (*deep)(void* context) noexcept;
};

/// Says whether the walk should read ahead deep, from the times of the recent entries.
class DepthPolicy {
 public:
  /// Stands for an entry whose time says nothing of the storage.
  static constexpr std::int64_t kNotTimed = -1;
  /// Work on an entry that takes longer than this waited on the storage.
  static constexpr std::int64_t kSlowNanoseconds = 50000;
  /// How many of the last timed entries count.
  static constexpr int kWindow = 32;
  /// Slow entries among them that take a shallow walk deep...
  static constexpr int kSlowToGoDeep = 8;
  /// ...and that a deep walk must come down to before it turns shallow.
  static constexpr int kSlowToGoShallow = 1;

  /// Counts one more entry, whose work took \a nanoseconds, or kNotTimed.
  void Count(std::int64_t nanoseconds) noexcept;

  /// Returns true while the entries counted ask for a deep walk; false before any.
  bool Deep() const noexcept { return deep_; }

  /// Returns the rule that hands a walk's times to this policy and asks it for the depth.
  DepthRule Rule() noexcept {
    return {this,
            [](void* policy, std::int64_t nanoseconds) noexcept {
              static_cast<DepthPolicy*>(policy)->Count(nanoseconds);
            },
            [](void* policy) noexcept { return static_cast<const DepthPolicy*>(policy)->Deep(); }};
  }

 private:
  static_assert(kWindow == 32, "the window is the bits of recentSlow_");
  std::uint32_t recentSlow_ = 0;  // a bit for each of the last kWindow timed entries: set if slow
  // The bits set in recentSlow_, counted as they come: a builtin popcount can be a call into
  // libgcc_s, a library the tool must not need.
  int recentSlowCount_ = 0;
  bool deep_ = false;
};
