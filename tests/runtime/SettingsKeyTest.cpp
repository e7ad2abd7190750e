#include "runtime/SettingsKey.h"

#include <gtest/gtest.h>

#include "support/ScopedTempDir.h"

namespace rodiz::test {
namespace {

// The store's contract, the same on every platform. Each test has a key of
// its own below the user's hive (on Linux, below its own temporary folder).
class SettingsKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.set_env("XDG_CONFIG_HOME", (dir_.path() / "config").string());
    path_ = "Software\\Orvantis\\rodiz-tests\\" + dir_.path().filename().string();
  }
  void TearDown() override { SettingsKey::remove(path_); }

  ScopedTempDir dir_;
  std::string path_;
};

std::vector<Byte> profile_data() {
  std::vector<Byte> bytes(4096);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<Byte>(i * 7 + i / 256);
  return bytes;
}

TEST_F(SettingsKeyTest, EveryTypeRoundTripsExactly) {
  const std::vector<std::pair<std::string, std::string>> strings = {
      {"Empty", ""},
      {"MoxelPath", "C:\\Program Files\\Moxel\\Moxel.exe"},
      {"Quotes", "say \"hi\" \\\\server\\share\\"},
      {"Unicode",
       "Gr\xC3\xBC\xC3\x9F"
       "e \xE2\x82\xAC \xF0\x9D\x84\x9E"},
      {"Controls", "two\nlines\tand a tab\r"},
  };
  const std::vector<std::pair<std::string, std::uint32_t>> dwords = {
      {"Zero", 0}, {"NumRetries", 10}, {"Max", 0xFFFFFFFF}};
  const std::vector<std::pair<std::string, std::vector<Byte>>> binaries = {{"Nothing", {}},
                                                                           {"ProfileData", profile_data()}};
  {
    auto key = SettingsKey::create(path_);
    ASSERT_TRUE(key);
    for (const auto& [name, value] : strings) EXPECT_TRUE(key->set_string(name, value)) << name;
    for (const auto& [name, value] : dwords) EXPECT_TRUE(key->set_dword(name, value)) << name;
    for (const auto& [name, value] : binaries) EXPECT_TRUE(key->set_binary(name, value)) << name;
  }
  auto key = SettingsKey::open(path_);
  ASSERT_TRUE(key);
  for (const auto& [name, value] : strings) EXPECT_EQ(key->get_string(name), value) << name;
  for (const auto& [name, value] : dwords) EXPECT_EQ(key->get_dword(name), value) << name;
  for (const auto& [name, value] : binaries) EXPECT_EQ(key->get_binary(name), value) << name;
  EXPECT_EQ(key->get_dword("Absent"), std::nullopt);
}

TEST_F(SettingsKeyTest, ValueOfAnotherTypeReadsAsAbsent) {
  auto key = SettingsKey::create(path_);
  ASSERT_TRUE(key);
  ASSERT_TRUE(key->set_dword("Number", 5));
  ASSERT_TRUE(key->set_string("Text", "5"));
  ASSERT_TRUE(key->set_binary("Bytes", {5, 0, 0, 0}));
  EXPECT_EQ(key->get_string("Number"), std::nullopt);
  EXPECT_EQ(key->get_binary("Number"), std::nullopt);
  EXPECT_EQ(key->get_dword("Text"), std::nullopt);
  EXPECT_EQ(key->get_dword("Bytes"), std::nullopt);
  // Writing another type replaces the value.
  ASSERT_TRUE(key->set_string("Number", "five"));
  EXPECT_EQ(key->get_dword("Number"), std::nullopt);
  EXPECT_EQ(key->get_string("Number"), "five");
}

TEST_F(SettingsKeyTest, OpenNeverCreatesAndReadOnlyKeysRefuseChanges) {
  EXPECT_FALSE(SettingsKey::open(path_));
  EXPECT_FALSE(SettingsKey::open(path_, true));
  ASSERT_TRUE(SettingsKey::create(path_));
  ASSERT_TRUE(SettingsKey::create(path_)->set_dword("Kept", 1));

  auto reader = SettingsKey::open(path_);
  ASSERT_TRUE(reader);
  EXPECT_FALSE(reader->set_dword("Kept", 2));
  EXPECT_FALSE(reader->set_string("Other", "x"));
  EXPECT_FALSE(reader->remove_value("Kept"));
  EXPECT_EQ(reader->get_dword("Kept"), 1u);
  EXPECT_EQ(reader->get_string("Other"), std::nullopt);

  auto writer = SettingsKey::open(path_, true);
  ASSERT_TRUE(writer);
  EXPECT_TRUE(writer->set_dword("Kept", 2));
  EXPECT_EQ(reader->get_dword("Kept"), 2u);
}

TEST_F(SettingsKeyTest, ValuesAndKeysCanBeRemoved) {
  auto key = SettingsKey::create(path_);
  ASSERT_TRUE(key);
  EXPECT_TRUE(key->remove_value("NeverThere"));
  ASSERT_TRUE(key->set_dword("A", 1));
  ASSERT_TRUE(key->set_dword("B", 2));
  EXPECT_TRUE(key->remove_value("A"));
  EXPECT_EQ(key->get_dword("A"), std::nullopt);
  EXPECT_EQ(key->get_dword("B"), 2u);

  ASSERT_TRUE(SettingsKey::create(path_ + "\\Sub\\Deeper"));
  EXPECT_TRUE(SettingsKey::open(path_ + "\\Sub"));
  key.reset();
  EXPECT_TRUE(SettingsKey::remove(path_));
  EXPECT_FALSE(SettingsKey::open(path_ + "\\Sub\\Deeper"));
  EXPECT_FALSE(SettingsKey::open(path_));
  EXPECT_TRUE(SettingsKey::remove(path_));
}

TEST_F(SettingsKeyTest, NamesIgnoreCase) {
  ASSERT_TRUE(SettingsKey::create(path_ + "\\Mixed\\Case"));
  ASSERT_TRUE(SettingsKey::open(path_ + "\\Mixed\\Case", true)->set_dword("NumRetries", 3));
  std::string upper = path_ + "\\MIXED\\case";
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto key = SettingsKey::open(upper, true);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->get_dword("numretries"), 3u);
  ASSERT_TRUE(key->set_dword("NUMRETRIES", 4));
  EXPECT_EQ(SettingsKey::open(path_ + "\\Mixed\\Case")->get_dword("NumRetries"), 4u);
}

TEST_F(SettingsKeyTest, BadInputIsRefusedAndChangesNothing) {
  for (const std::string& bad : {std::string(), std::string("\\"), path_ + "\\\\x", path_ + "\\..\\x", path_ + "\\a/b",
                                 path_ + "\\tab\there", path_ + "\\" + std::string(256, 'k')}) {
    EXPECT_FALSE(SettingsKey::create(bad)) << bad;
    EXPECT_FALSE(SettingsKey::open(bad)) << bad;
    EXPECT_FALSE(SettingsKey::remove(bad)) << bad;
  }
  auto key = SettingsKey::create(path_);
  ASSERT_TRUE(key);
  ASSERT_TRUE(key->set_string("Text", "kept"));
  for (const std::string& bad : {std::string("\xC3\x28"), std::string("\xED\xA0\x80"), std::string("\xC0\xAF"),
                                 std::string("a\0b", 3), std::string("\xF4\x90\x80\x80")}) {
    EXPECT_FALSE(key->set_string("Text", bad));
  }
  EXPECT_FALSE(key->set_dword("new\nline", 1));
  EXPECT_EQ(key->get_string("Text"), "kept");
}

}  // namespace
}  // namespace rodiz::test
