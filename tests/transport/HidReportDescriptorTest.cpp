#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/HidDescriptors.h"
#include "transport/HidReportDescriptor.h"

namespace rodiz {
namespace {

using Bytes = std::vector<std::uint8_t>;

HidReportDescriptor parsed(const Bytes& bytes) {
  HidReportDescriptor descriptor;
  std::string error;
  EXPECT_TRUE(descriptor.parse(bytes, error)) << error;
  return descriptor;
}

TEST(HidReportDescriptorTest, MouseVendorInterfaceHasShortAndLongCollections) {
  const HidReportDescriptor d = parsed(test::mouse_vendor_descriptor());
  EXPECT_TRUE(d.uses_report_ids());
  ASSERT_EQ(2u, d.collections().size());
  const HidCollection& shorter = d.collections()[0];
  const HidCollection& longer = d.collections()[1];
  EXPECT_EQ(0xFF00, shorter.usage_page);
  EXPECT_EQ(1, shorter.usage);
  EXPECT_EQ(7u, shorter.input_length);
  EXPECT_EQ(7u, shorter.output_length);
  EXPECT_EQ(std::vector<unsigned>{0x10}, shorter.output_report_ids());
  EXPECT_EQ(1, shorter.input_caps);
  EXPECT_EQ(1, shorter.output_caps);
  EXPECT_EQ(0xFF00, longer.usage_page);
  EXPECT_EQ(2, longer.usage);
  EXPECT_EQ(20u, longer.input_length);
  EXPECT_EQ(20u, longer.output_length);
  EXPECT_EQ(std::vector<unsigned>{0x11}, longer.input_report_ids());
}

struct Ordinary {
  const char* name;
  Bytes bytes;
  std::uint16_t page, usage;
  unsigned input_length, output_length;
};

TEST(HidReportDescriptorTest, OrdinaryKeyboardsAndMice) {
  const Ordinary cases[] = {
      {"boot mouse", test::boot_mouse_descriptor(), 0x01, 0x02, 4, 0},
      {"boot keyboard", test::boot_keyboard_descriptor(), 0x01, 0x06, 9, 2},
  };
  for (const Ordinary& c : cases) {
    SCOPED_TRACE(c.name);
    const HidReportDescriptor d = parsed(c.bytes);
    EXPECT_FALSE(d.uses_report_ids());
    ASSERT_EQ(1u, d.collections().size());
    EXPECT_EQ(c.page, d.collections()[0].usage_page);
    EXPECT_EQ(c.usage, d.collections()[0].usage);
    EXPECT_EQ(c.input_length, d.collections()[0].input_length);
    EXPECT_EQ(c.output_length, d.collections()[0].output_length);
  }
}

TEST(HidReportDescriptorTest, ReportIdsSplitAcrossApplicationCollections) {
  const HidReportDescriptor d = parsed(test::multimedia_descriptor());
  ASSERT_EQ(3u, d.collections().size());
  EXPECT_EQ(0x0C, d.collections()[1].usage_page);
  EXPECT_EQ(std::vector<unsigned>{3}, d.collections()[1].input_report_ids());
  EXPECT_EQ(5u, d.collections()[1].input_length);
  EXPECT_EQ(0x80, d.collections()[2].usage);
  EXPECT_EQ(2u, d.collections()[2].input_length);
  EXPECT_EQ(3, d.collections()[2].input_caps);  // three usages of one array item
}

TEST(HidReportDescriptorTest, ExtendedUsagePushPopLongItemsAndDelimiters) {
  const Bytes bytes = {0x05, 0x01,                    // Usage Page (1), replaced by the extended usage below
                       0x0B, 0x01, 0x00, 0x43, 0xFF,  // Usage (0xFF43:0x0001), four bytes
                       0xA1, 0x01,                    // Collection
                       0xFE, 0x02, 0x77, 0xAA, 0xBB,  //   a long item, skipped
                       0x75, 0x08, 0x95, 0x04,        //   8 bits x 4
                       0xA4,                          //   Push
                       0x95, 0x40,                    //   count 64
                       0xB4,                          //   Pop: back to 4
                       0xA9, 0x01, 0x09, 0x01, 0x09, 0x02, 0xA9, 0x00,  // Delimiter set: one usage, one alternative
                       0x81, 0x02,                                      //   Input: 4 bytes
                       0xC0};
  const HidReportDescriptor d = parsed(bytes);
  ASSERT_EQ(1u, d.collections().size());
  EXPECT_EQ(0xFF43, d.collections()[0].usage_page);
  EXPECT_EQ(1, d.collections()[0].usage);
  EXPECT_EQ(5u, d.collections()[0].input_length);
  EXPECT_EQ(1, d.collections()[0].input_caps);
}

TEST(HidReportDescriptorTest, EmptyDescriptorHasNoCollections) { EXPECT_TRUE(parsed({}).collections().empty()); }

struct Malformed {
  const char* name;
  Bytes bytes;
};

TEST(HidReportDescriptorTest, MalformedDescriptorsAreRefusedWithAReason) {
  Bytes mouse_cut = test::mouse_vendor_descriptor();
  mouse_cut.resize(17);  // inside "Logical Maximum (255)"
  Bytes mouse_open = test::mouse_vendor_descriptor();
  mouse_open.pop_back();
  const Malformed cases[] = {
      {"truncated short item", mouse_cut},
      {"truncated four-byte item", {0x07, 0x00, 0xFF}},
      {"truncated long item header", {0xFE, 0x05}},
      {"truncated long item data", {0xFE, 0x05, 0x00, 0x01, 0x02}},
      {"huge report count", {0x96, 0xFF, 0xFF}},
      {"huge report size", {0x76, 0x00, 0x10}},
      {"report beyond the largest buffer",
       {0xA1, 0x01, 0x76, 0x00, 0x01, 0x96, 0x00, 0x30, 0x81, 0x02, 0x81, 0x02, 0x81, 0x02, 0x81, 0x02, 0x81, 0x02,
        0xC0}},
      {"collection never closed", mouse_open},
      {"end collection without collection", {0xC0}},
      {"pop without push", {0xB4}},
      {"push five deep", {0xA4, 0xA4, 0xA4, 0xA4, 0xA4}},
      {"report id zero", {0x85, 0x00}},
      {"report id after a report without one", {0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01, 0xC0}},
      {"report without id after popping to none",
       {0xA4, 0x85, 0x01, 0xA1, 0x01, 0xB4, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0}},
      {"nested delimiter", {0xA9, 0x01, 0xA9, 0x01}},
      {"delimiter closed without open", {0xA9, 0x00}},
      {"delimiter never closed", {0xA9, 0x01}},
      {"main item inside a delimiter set", {0xA9, 0x01, 0xA1, 0x01}},
      {"reserved item type", {0x0C}},
      {"reserved global item", {0xC4}},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.name);
    HidReportDescriptor d;
    std::string error;
    EXPECT_FALSE(d.parse(c.bytes, error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(d.collections().empty());
  }
}

TEST(HidReportDescriptorTest, TooDeepNestingIsRefused) {
  Bytes bytes(65 * 2, 0);
  for (std::size_t i = 0; i < 65; ++i) {
    bytes[2 * i] = 0xA1;
    bytes[2 * i + 1] = 0x00;
  }
  HidReportDescriptor d;
  std::string error;
  EXPECT_FALSE(d.parse(bytes, error));
}

TEST(HidReportDescriptorTest, AFailedParseForgetsAnEarlierOne) {
  HidReportDescriptor d;
  std::string error;
  ASSERT_TRUE(d.parse(test::mouse_vendor_descriptor(), error));
  EXPECT_FALSE(d.parse(Bytes{0xC0}, error));
  EXPECT_TRUE(d.collections().empty());
  EXPECT_FALSE(d.uses_report_ids());
}

}  // namespace
}  // namespace rodiz
