// Helpers shared by the tests: a private temporary folder, whole-file reads, and comparisons of
// whole documents.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

/// A fresh folder under the system's temporary folder, removed with all it holds.
class ScopedTempDir {
 public:
  ScopedTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "docgleaner-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::filesystem::filesystem_error("mkdtemp", std::error_code(errno, std::generic_category()));
    path_ = pattern;
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  ~ScopedTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

/// Returns the whole contents of the file at \a path, or an empty string if it cannot be read.
inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// Writes \a contents to a new file at \a path.
inline void WriteWholeFile(const std::filesystem::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

/// Passes where \a actual is \a expected; else says where they first differ, with a few bytes of
/// each from there, rather than a diff of documents that may run to megabytes.
inline ::testing::AssertionResult SameDocument(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  const auto at =
      std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end()).first - actual.begin();
  const std::size_t from = at < 16 ? 0 : static_cast<std::size_t>(at) - 16;
  return ::testing::AssertionFailure()
         << "the documents first differ at byte " << at << "; from byte " << from << ", actual "
         << ::testing::PrintToString(actual.substr(from, 48)) << ", expected "
         << ::testing::PrintToString(expected.substr(from, 48));
}
