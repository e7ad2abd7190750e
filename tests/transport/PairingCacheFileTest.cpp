#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/PairingCacheFile.h"

namespace rodiz {
namespace {

using Entry = PairingCacheFile::Entry;

TEST(PairingCacheFileTest, DocumentReadsBackWithEveryAttributeIntact) {
  const std::vector<Entry> written{
      {"\\\\?\\hid#{00001124-0000-1000-8000-00805f9b34fb}_vid&0002046d_pid&b023#a&1", 0xB023, "Mirel & \"Co\" <BT>",
       "\\\\?\\bthport#radio1", "bluetooth"},
      {"le-path", 0x00AB, "", "unknown", "blepp"},
  };
  const std::string text = PairingCacheFile::format(written);
  EXPECT_NE(std::string::npos, text.find("<?xml version=\"1.0\" encoding=\"utf-8\"?>"));
  EXPECT_NE(std::string::npos, text.find("pid=\"B023\""));
  EXPECT_NE(std::string::npos, text.find("pid=\"AB\""));

  std::vector<Entry> read;
  std::size_t skipped = 0;
  std::string error;
  ASSERT_TRUE(PairingCacheFile::parse(text, read, skipped, error)) << error;
  ASSERT_EQ(2u, read.size());
  EXPECT_EQ(0u, skipped);
  for (std::size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(written[i].path, read[i].path);
    EXPECT_EQ(written[i].pid, read[i].pid);
    EXPECT_EQ(written[i].name, read[i].name);
    EXPECT_EQ(written[i].radio, read[i].radio);
    EXPECT_EQ(written[i].interface, read[i].interface);
  }
}

TEST(PairingCacheFileTest, IncompleteOrInvalidElementsAreSkippedOthersKept) {
  const std::string text =
      "<devices>"
      "<device path=\"a\" pid=\"b023\" name=\"n\" interface=\"bluetooth\"/>"            // no radio
      "<device path=\"b\" pid=\"zz\" name=\"n\" radio=\"r\" interface=\"bluetooth\"/>"  // pid not hex
      "<device path=\"c\" pid=\"12345\" name=\"n\" radio=\"r\" interface=\"blepp\"/>"   // pid too long
      "<device path=\"\" pid=\"1\" name=\"n\" radio=\"r\" interface=\"blepp\"/>"        // empty path
      "<device path=\"d\" pid=\"c087\" name=\"\" radio=\"r\" interface=\"blefrapp\"/>"
      "</devices>";
  std::vector<Entry> read;
  std::size_t skipped = 0;
  std::string error;
  ASSERT_TRUE(PairingCacheFile::parse(text, read, skipped, error));
  ASSERT_EQ(1u, read.size());
  EXPECT_EQ("d", read[0].path);
  EXPECT_EQ(0xC087, read[0].pid);
  EXPECT_EQ(4u, skipped);
}

TEST(PairingCacheFileTest, DamagedDocumentsAreRefusedWithAReason) {
  const std::string whole = PairingCacheFile::format({{"p", 1, "n", "r", "bluetooth"}});
  const std::vector<std::pair<const char*, std::string>> cases{
      {"cut short", whole.substr(0, whole.size() / 2 + 3)},
      {"zero byte", std::string("<devices>\0<device/></devices>", 29)},
      {"deep nesting", std::string(5000, '<')},
      {"not xml", "\xff\xfe garbage"},
      {"unclosed attribute", "<devices><device path=\"p/></devices>"},
  };
  for (const auto& [what, text] : cases) {
    std::vector<Entry> read{{"left", 0, "", "", ""}};
    std::size_t skipped = 0;
    std::string error;
    EXPECT_FALSE(PairingCacheFile::parse(text, read, skipped, error)) << what;
    EXPECT_FALSE(error.empty()) << what;
    EXPECT_TRUE(read.empty()) << what;
  }
}

TEST(PairingCacheFileTest, InterfaceTextFollowsTheDataTransport) {
  EXPECT_EQ("bluetooth", PairingCacheFile::interface_name(2, false));
  EXPECT_EQ("blepp", PairingCacheFile::interface_name(3, true));
  EXPECT_EQ("blefrapp", PairingCacheFile::interface_name(3, false));
}

}  // namespace
}  // namespace rodiz
