#include "device/FeatureCacheFile.h"

#include <gtest/gtest.h>

namespace rodiz {
namespace {

using Bytes = std::vector<Byte>;

TEST(FeatureCacheFileTest, FileNamesCarryPidAndPathHashInUpperCaseHex) {
  // Reference values of 32-bit FNV-1a.
  EXPECT_EQ(0x811C9DC5u, FeatureCacheFile::path_hash(""));
  EXPECT_EQ(0xE40C292Cu, FeatureCacheFile::path_hash("a"));
  EXPECT_EQ(0xBF9CF968u, FeatureCacheFile::path_hash("foobar"));
  // Bytes above 0x7F count as unsigned: 0xE9 gives another hash than 0x69 would.
  EXPECT_NE(FeatureCacheFile::path_hash("\xE9"), FeatureCacheFile::path_hash("\x69"));

  EXPECT_EQ("/d/C539_BF9CF968.xml", FeatureCacheFile::device_file_name("/d/", 0xC539, "foobar"));
  EXPECT_EQ("/d/C539.xml", FeatureCacheFile::generic_file_name("/d/", 0xC539));
  // No leading zeros, on either number.
  EXPECT_EQ("x\\AB_811C9DC5.xml", FeatureCacheFile::device_file_name("x\\", 0xAB, ""));
  EXPECT_EQ("x/AB_E40C292C.xml", FeatureCacheFile::device_file_name("x/", 0x00AB, "a"));
}

TEST(FeatureCacheFileTest, HexReadingIsTolerant) {
  const struct {
    const char* text;
    Bytes bytes;
  } cases[] = {
      {"10ff00", {0x10, 0xFF, 0x00}},
      {"10FF00", {0x10, 0xFF, 0x00}},
      {"1G0F", {0x0F}},  // the pair "1G" is skipped
      {"", {}},
      {"A", {}},  // an odd last character is ignored
      {"ABC", {0xAB}},
      {" 1 2", {}},      // pairs, not digits: " 1" and " 2" are both skipped
      {"0x10", {0x10}},  // "0x" skipped
      {"zz\xff\xfe"
       "01",
       {0x01}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.bytes, FeatureCacheFile::decode_hex(c.text)) << c.text;
  EXPECT_EQ("0010FFA5", FeatureCacheFile::encode_hex({0x00, 0x10, 0xFF, 0xA5}));
}

TEST(FeatureCacheFileTest, RoundTripKeepsEntriesAndEscapesAttributes) {
  FeatureCacheFile::Entries entries;
  entries[{0x10, 0xFF, 0x00, 0x1A, 0x00, 0x00, 0x00}] = {0x11, 0xFF, 0x00, 0x1A, 0x04, 0x02, 0x00};
  entries[{0x10, 0xFF, 0x01, 0x0A, 0x00, 0x00, 0x00}] = {0x11, 0xFF, 0x01, 0x0A, 0x07};
  const std::string fw = "0RQM14.02\"<&>'";
  const std::string path = "\\\\?\\hid#vid_&pid \"x\"";
  const std::string text = FeatureCacheFile::format(fw, path, entries);
  EXPECT_NE(std::string::npos, text.find("<?xml version=\"1.0\" encoding=\"utf-8\"?>"));
  EXPECT_NE(std::string::npos, text.find("cmd=\"10FF001A000000\" rsp=\"11FF001A040200\""));

  FeatureCacheFile::Contents contents;
  std::string error;
  ASSERT_TRUE(FeatureCacheFile::parse(text, contents, error)) << error;
  EXPECT_TRUE(contents.has_cache);
  EXPECT_EQ(fw, contents.fw);
  EXPECT_EQ(path, contents.path);
  ASSERT_EQ(2u, contents.entries.size());
  EXPECT_EQ(entries.begin()->first, contents.entries[0].first);
  EXPECT_EQ(entries.rbegin()->second, contents.entries[1].second);
  EXPECT_EQ(0u, contents.unusable);
}

TEST(FeatureCacheFileTest, SwidNibbleIsWrittenAndReadAs0xA) {
  FeatureCacheFile::Entries entries;
  entries[{0x10, 0xFF, 0x02, 0x13, 0x00}] = {0x11, 0xFF, 0x02, 0x13, 0x05};
  const std::string text = FeatureCacheFile::format("fw", "p", entries);
  EXPECT_NE(std::string::npos, text.find("cmd=\"10FF021A00\" rsp=\"11FF021A05\"")) << text;

  // A file written by hand (or by an older program) with another swid.
  FeatureCacheFile::Contents contents;
  std::string error;
  ASSERT_TRUE(FeatureCacheFile::parse("<cache fw=\"fw\"><command cmd=\"10ff0215\" rsp=\"11ff0215aa\"/></cache>",
                                      contents, error));
  ASSERT_EQ(1u, contents.entries.size());
  EXPECT_EQ((Bytes{0x10, 0xFF, 0x02, 0x1A}), contents.entries[0].first);
  EXPECT_EQ((Bytes{0x11, 0xFF, 0x02, 0x1A, 0xAA}), contents.entries[0].second);
}

TEST(FeatureCacheFileTest, ReadsEveryElementAfterTheFirstCommandAndSkipsUnusablePairs) {
  const char* text =
      "<?xml version=\"1.0\"?>\n"
      "<other/>\n"
      "<cache path=\"p\">\n"
      "  <ignored cmd=\"10FF000A\" rsp=\"10FF000A01\"/>\n"  // before the first "command"
      "  <command cmd=\"10FF000A\" rsp=\"10FF000A02\"/>\n"
      "  <anything cmd=\"10FF010A\" rsp=\"10FF010A03\"/>\n"  // a later sibling of any name
      "  <command cmd=\"\" rsp=\"\"/>\n"                     // empty key: answers nothing
      "  <command cmd=\"10FF020A\"/>\n"                      // no answer
      "  <command cmd=\"10FF030A\" rsp=\"10FF040A00\"/>\n"   // answer of another feature
      "  <command cmd=\"10FF8100\" rsp=\"10FF8100\"/>\n"     // register access is never cached
      "  <command cmd=\"20FF050A\" rsp=\"20FF050A\"/>\n"     // not a FRAP report id
      "</cache>";
  FeatureCacheFile::Contents contents;
  std::string error;
  ASSERT_TRUE(FeatureCacheFile::parse(text, contents, error)) << error;
  EXPECT_EQ("", contents.fw);  // missing attribute
  EXPECT_EQ("p", contents.path);
  ASSERT_EQ(2u, contents.entries.size());
  EXPECT_EQ(0x02, contents.entries[0].second[4]);
  EXPECT_EQ(0x03, contents.entries[1].second[4]);
  EXPECT_EQ(5u, contents.unusable);
}

TEST(FeatureCacheFileTest, DamagedDocumentsAreRefusedWhole) {
  FeatureCacheFile::Entries entries;
  entries[{0x10, 0xFF, 0x00, 0x1A}] = {0x11, 0xFF, 0x00, 0x1A, 0x04};
  entries[{0x10, 0xFF, 0x01, 0x1A}] = {0x11, 0xFF, 0x01, 0x1A, 0x05};
  const std::string good = FeatureCacheFile::format("fw", "p", entries);
  const std::string cases[] = {
      good.substr(0, good.size() - 3),                         // cut short in the closing tag
      good.substr(0, good.find("rsp=") + 7),                   // cut short inside an attribute
      "<cache fw=\"a\"><command cmd=\"10\"></cache>",          // mismatched tags
      "<cache fw=\"a",                                         // unterminated attribute
      "<cache fw=\"a\">" + std::string(1, '\0') + "</cache>",  // a zero byte in the middle
      std::string(100000, '<'),                                // too deep for the parser
      "<a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a><a>",
  };
  for (const std::string& text : cases) {
    FeatureCacheFile::Contents contents;
    std::string error;
    EXPECT_FALSE(FeatureCacheFile::parse(text, contents, error)) << text.substr(0, 80);
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(contents.entries.empty());
  }

  // Well formed but without a "cache" element: nothing, and no damage.
  FeatureCacheFile::Contents contents;
  std::string error;
  EXPECT_TRUE(FeatureCacheFile::parse("<feature-cache/>", contents, error));
  EXPECT_FALSE(contents.has_cache);
  EXPECT_TRUE(FeatureCacheFile::parse("", contents, error));
  EXPECT_FALSE(contents.has_cache);
}

}  // namespace
}  // namespace rodiz
