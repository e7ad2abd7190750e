#include "runtime/AtomicFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/ScopedTempDir.h"

namespace rodiz {
namespace {

namespace fs = std::filesystem;

std::string utf8(const fs::path& p) {
  const std::u8string text = p.u8string();
  return std::string(text.begin(), text.end());
}

std::size_t entries_in(const fs::path& folder) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++n;
  return n;
}

TEST(AtomicFileTest, ReplacesWholeAndLeavesNoTemporaryFile) {
  test::ScopedTempDir dir;
  // A non-ASCII folder name: paths are UTF-8 on every platform.
  const fs::path folder = dir.path() / fs::path(u8"caf\u00e9");
  fs::create_directories(folder);
  const std::string file = utf8(folder / "C087.xml");

  ASSERT_TRUE(AtomicFile::replace(file, std::string(100000, 'a')));
  ASSERT_TRUE(AtomicFile::replace(file, "short"));
  std::string content;
  EXPECT_EQ(AtomicFile::ReadResult::Read, AtomicFile::read(file, 1000, content));
  EXPECT_EQ("short", content);
  EXPECT_EQ(1u, entries_in(folder));

  EXPECT_TRUE(AtomicFile::replace(file, ""));
  EXPECT_EQ(AtomicFile::ReadResult::Read, AtomicFile::read(file, 1000, content));
  EXPECT_EQ("", content);
}

TEST(AtomicFileTest, RefusalsLeaveTheOldStateAlone) {
  test::ScopedTempDir dir;
  std::string content = "stale";

  // No such file, no such folder.
  EXPECT_EQ(AtomicFile::ReadResult::Missing, AtomicFile::read(utf8(dir.path() / "none.xml"), 1000, content));
  EXPECT_EQ("", content);
  EXPECT_FALSE(AtomicFile::replace(utf8(dir.path() / "missing" / "x.xml"), "data"));
  EXPECT_FALSE(fs::exists(dir.path() / "missing"));

  // A folder where the file should be: neither read nor replaced.
  const fs::path folder = dir.path() / "C087_1.xml";
  fs::create_directories(folder / "inside");
  EXPECT_EQ(AtomicFile::ReadResult::NotAFile, AtomicFile::read(utf8(folder), 1000, content));
  EXPECT_FALSE(AtomicFile::replace(utf8(folder), "data"));
  EXPECT_TRUE(fs::is_directory(folder / "inside"));
  EXPECT_EQ(1u, entries_in(dir.path()));

  // Larger than the caller allows: nothing read.
  const fs::path big = dir.path() / "big.xml";
  ASSERT_TRUE(AtomicFile::replace(utf8(big), std::string(2000, 'b')));
  EXPECT_EQ(AtomicFile::ReadResult::TooLarge, AtomicFile::read(utf8(big), 1999, content));
  EXPECT_EQ("", content);
  EXPECT_EQ(AtomicFile::ReadResult::Read, AtomicFile::read(utf8(big), 2000, content));
  EXPECT_EQ(2000u, content.size());
}

}  // namespace
}  // namespace rodiz
