// What the walk hands the block copy of an entry: the bytes read from its start, and how far on
// it may be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

/// Size of an entry's first read: small, so that a block at the head of a large file costs little
/// (bench/run's "bigtail" row reads no more of a 2 GiB file). No larger than what the kernel reads
/// ahead for a read of 4 KiB, all that a buffer holds once the budget of buffers is spent: so a
/// run after a cold one finds all it asks for in the page cache. With 64 KiB, every run after a
/// cold one over 2,000 files of 100 KiB waited on the disk for the rest and went deep, 20 runs in
/// 20, and took 1.47 times as long as with 16 KiB.
inline constexpr std::size_t kFirstReadSize = 16 * 1024;

/// Bytes past the end of what was read that the line scans may look at: they must be readable and
/// set, to any value.
inline constexpr std::size_t kScanSlack = 16;

/// What is known of an entry before its block is copied.
struct EntryStart {
  std::string_view firstBytes = {};      ///< read from the entry's start, kScanSlack more readable
  bool whole = false;                    ///< true when nothing follows firstBytes: the entry is not read
  std::uint64_t sizeLimit = UINT64_MAX;  ///< how many bytes of the entry may be read in all
};
