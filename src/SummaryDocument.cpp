#include "SummaryDocument.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>

void WriteHeader(OutputStream& output, std::string_view folderText) {
  output.Append("\n\n### Files in ");
  output.Append(folderText);
  output.Append("\n\n");
}

void WriteEntryHeading(OutputStream& output, std::int32_t entryNumber, std::string_view entryName) {
  char number[16];
  const auto converted = std::to_chars(number, number + sizeof number, entryNumber);
  output.Append("\t");
  output.Append(number, static_cast<std::size_t>(converted.ptr - number));
  output.Append(".\t");
  output.Append(MakeDisplayName(entryName));
  output.Append(":\n");
}

void WriteEntryEnd(OutputStream& output) {
  output.Append("\n\n");
}

std::string_view MakeDisplayName(std::string_view entryName) {
  constexpr std::size_t kCut = 4;
  if (entryName.size() < kCut) return entryName;
  return entryName.substr(0, entryName.size() - kCut);
}
