// The summary document: the format of its four records, each written by one function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "OutputStream.h"

/// Writes the header: two empty lines, "### Files in " and \a folderText, one empty line.
void WriteHeader(OutputStream& output, std::string_view folderText);

/// Writes "\t<entryNumber>.\t<display name of entryName>:\n".
void WriteEntryHeading(OutputStream& output, std::int32_t entryNumber, std::string_view entryName);

// A body line is kBlockLineLead, the text of one copied line, then kBlockLineEnd. WriteBlockLine()
// writes one whole; the block copy builds them in place with BeginBlockLine() and EndBlockLine().
inline constexpr std::string_view kBlockLineLead = "\t";
inline constexpr std::string_view kBlockLineEnd = "\n";

/// Writes one body line: a tab, \a lineText and a line feed.
inline void WriteBlockLine(OutputStream& output, std::string_view lineText) {
  output.Append(kBlockLineLead);
  output.Append(lineText);
  output.Append(kBlockLineEnd);
}

/// Starts a body line built in place; returns where its text goes, with room for \a textRoom bytes
/// (at most 2 KiB). The line counts once EndBlockLine() ends it.
inline char* BeginBlockLine(OutputStream& output, std::size_t textRoom) noexcept {
  char* const line = output.Reserve(kBlockLineLead.size() + textRoom + kBlockLineEnd.size());
  std::memcpy(line, kBlockLineLead.data(), kBlockLineLead.size());
  return line + kBlockLineLead.size();
}

/// Ends the body line begun by BeginBlockLine(), whose text runs up to \a textEnd.
inline void EndBlockLine(OutputStream& output, char* textEnd) noexcept {
  std::memcpy(textEnd, kBlockLineEnd.data(), kBlockLineEnd.size());
  output.Commit(textEnd + kBlockLineEnd.size());
}

/// Writes the entry end: two line feeds.
void WriteEntryEnd(OutputStream& output);

/// Returns \a entryName less its last four bytes, or whole when it is shorter than four bytes.
std::string_view MakeDisplayName(std::string_view entryName);
