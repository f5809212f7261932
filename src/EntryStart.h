// What the walk hands the block copy of an entry: the bytes read from its start, and how far on
// it may be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

/// Size of an entry's first read: small, so that a block at the head of a large file costs little
/// (bench/run's "bigtail" row reads no more of a 2 GiB file).
inline constexpr std::size_t kFirstReadSize = 64 * 1024;

/// Bytes past the end of what was read that the line scans may look at: they must be readable and
/// set, to any value.
inline constexpr std::size_t kScanSlack = 16;

/// What is known of an entry before its block is copied.
struct EntryStart {
  std::string_view firstBytes = {};      ///< read from the entry's start, kScanSlack more readable
  bool whole = false;                    ///< true when nothing follows firstBytes: the entry is not read
  std::uint64_t sizeLimit = UINT64_MAX;  ///< how many bytes of the entry may be read in all
};
