#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

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

TEST(SummaryDocumentTest, KeepsEveryByteOfALargeDocument) {
  // Written on this thread, and behind it by a writer thread.
  for (const bool writeBehind : {false, true}) {
    SCOPED_TRACE(writeBehind ? "written behind" : "written here");
    const ScopedTempDir folder;
    const auto path = folder.Path() / "out";
    std::string expected;
    {
      OutputStream output(OutputStream::Open(path.c_str()), writeBehind);
      for (int index = 0; index < 30000; ++index) {
        const std::string line(static_cast<std::size_t>(index % 1010), static_cast<char>('a' + index % 26));
        WriteBlockLine(output, line);
        expected += "\t" + line + "\n";
      }
      ASSERT_TRUE(output.Close());
    }
    EXPECT_EQ(ReadWholeFile(path), expected);
  }
}

TEST(SummaryDocumentTest, ReportsAFailedWrite) {
  for (const bool writeBehind : {false, true}) {
    for (const std::size_t size : {std::size_t{1}, std::size_t{2000000}}) {
      OutputStream output(OutputStream::Open("/dev/full"), writeBehind);
      output.Append(std::string(size, 'x'));
      EXPECT_FALSE(output.Close()) << size << " bytes" << (writeBehind ? ", written behind" : "");
    }
  }
}

}  // namespace
