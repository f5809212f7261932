// The output stream keeps every byte, written here or behind, and reports a failed write.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "OutputStream.h"
#include "TestSupport.h"

namespace {

TEST(OutputStreamTest, KeepsEveryByteOfALargeFile) {
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
        output.Append(line);
        expected += line;
      }
      ASSERT_TRUE(output.Close());
    }
    EXPECT_TRUE(SameDocument(ReadWholeFile(path), expected));
  }
}

TEST(OutputStreamTest, ReportsAFailedWrite) {
  for (const bool writeBehind : {false, true}) {
    for (const std::size_t size : {std::size_t{1}, std::size_t{2000000}}) {
      OutputStream output(OutputStream::Open("/dev/full"), writeBehind);
      output.Append(std::string(size, 'x'));
      EXPECT_FALSE(output.Close()) << size << " bytes" << (writeBehind ? ", written behind" : "");
    }
  }
}

}  // namespace
