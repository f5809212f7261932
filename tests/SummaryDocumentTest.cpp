// The document's records: the header, the headings with their display names, the entry ends.
#include <gtest/gtest.h>

#include <string_view>

#include "SummaryDocument.h"
#include "TestSupport.h"

namespace {

TEST(SummaryDocumentTest, DisplayNameDropsTheLastFourBytes) {
  const struct {
    std::string_view entryName;
    std::string_view displayName;
  } kNames[] = {
      {"alpha.txt", "alpha"},   {"notes.md", "note"},
      {"Makefile", "Make"},     {"abcd", ""},
      {"abc", "abc"},           {"", ""},
      {"caf\xc3\xa9.c", "caf"},  // bytes, not characters
  };
  for (const auto& name : kNames)
    EXPECT_EQ(MakeDisplayName(name.entryName), name.displayName) << name.entryName;
}

TEST(SummaryDocumentTest, WritesEachRecordByteForByte) {
  const ScopedTempDir folder;
  const auto path = folder.Path() / "out";
  {
    OutputStream output(OutputStream::Open(path.c_str()));
    WriteHeader(output, "100%s/");
    WriteEntryHeading(output, 1, "alpha.txt");
    WriteBlockLine(output, "%d A");
    WriteBlockLine(output, "");
    WriteEntryEnd(output);
    WriteEntryHeading(output, 2147483647, "abcd");
    WriteEntryEnd(output);
    ASSERT_TRUE(output.Close());
  }
  EXPECT_EQ(ReadWholeFile(path),
            "\n\n### Files in 100%s/\n\n\t1.\talpha:\n\t%d A\n\t\n\n\n\t2147483647.\t:\n\n\n");
}

}  // namespace
