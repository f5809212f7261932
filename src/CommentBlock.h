// Comment block extraction: the lines between a line "/*" and a line "*/".
#pragma once

#include <cstdint>

#include "SummaryDocument.h"

/// Longest chunk handed over as one line; a longer line is split into chunks of this size.
inline constexpr std::size_t kChunkLimit = 1009;

/// Size of an entry's first read: small, so that a block at the head of a large file costs little.
inline constexpr std::size_t kFirstReadSize = 64 * 1024;

/// Bytes past the end of bytes read ahead that must be readable and set; their values do not matter.
inline constexpr std::size_t kFirstReadSlack = 16;

/// What is known of an entry before its block is copied.
struct EntryInput {
  std::string_view firstBytes = {};      ///< read ahead from the entry's start, kFirstReadSlack more readable
  bool whole = false;                    ///< true when nothing follows firstBytes: the entry is not read
  std::uint64_t sizeLimit = UINT64_MAX;  ///< how many bytes of the entry may be read in all
};

/// Reads \a entryFd, a regular file, after what \a input already holds of it and no further than
/// its size limit, until the block's closing marker or the end of input, writing each line inside
/// the block as a body line; returns false if reading failed. Not for use by two threads at once.
bool CopyCommentBlock(int entryFd, OutputStream& output, const EntryInput& input = {});
