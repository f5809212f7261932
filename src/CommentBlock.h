// Comment block extraction: the lines between a line "/*" and a line "*/".
#pragma once

#include "SummaryDocument.h"

/// Longest chunk handed over as one line; a longer line is split into chunks of this size.
inline constexpr std::size_t kChunkLimit = 1009;

/// Reads \a entryFd from where it stands until the block's closing marker or the end of input,
/// writing each line inside the block as a body line; returns false if reading failed.
bool CopyCommentBlock(int entryFd, OutputStream& output);
