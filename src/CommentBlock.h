// Comment block extraction: the lines between a line "/*" and a line "*/".
#pragma once

#include <cstddef>

#include "EntryStart.h"
#include "OutputStream.h"
#include "SystemCalls.h"

/// Longest chunk handed over as one line; a longer line is split into chunks of this size. Not a
/// tuning knob: documents that callers have stored and compare against split long lines here.
inline constexpr std::size_t kChunkLimit = 1009;

/// Reads \a entryFd, a regular file, with \a calls, after what \a start already holds of it and no
/// further than its size limit, until the block's closing marker or the end of input, writing each
/// line inside the block as a body line; returns false if reading failed. Not for use by two
/// threads at once.
bool CopyCommentBlock(int entryFd, OutputStream& output, const EntryStart& start = {},
                      const SystemCalls& calls = kLibraryCalls);
