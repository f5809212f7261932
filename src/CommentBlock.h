// Comment block extraction: the lines between a line "/*" and a line "*/".
#pragma once

#include "SummaryDocument.h"

/// Longest chunk handed over as one line; a longer line is split into chunks of this size.
inline constexpr std::size_t kChunkLimit = 1009;

/// Size of an entry's first read: small, so that a block at the head of a large file costs little.
inline constexpr std::size_t kFirstReadSize = 64 * 1024;

/// Bytes past the end of a first read's bytes that must be readable and set; their values do not matter.
inline constexpr std::size_t kFirstReadSlack = 16;

/// The outcome of a read of an entry made before CopyCommentBlock takes it over.
struct FirstRead {
  bool made = false;            ///< false when nothing was read ahead: the entry is read from its start
  std::string_view bytes = {};  ///< what the read gave; empty at the end of input or on an error
  int error = 0;                ///< the read's errno if it failed, 0 otherwise
};

/// Reads \a entryFd, after what \a firstRead already gave of it, until the block's closing marker or
/// the end of input, writing each line inside the block as a body line; returns false if reading failed.
bool CopyCommentBlock(int entryFd, OutputStream& output, const FirstRead& firstRead = {});
