// The texts that name a Bluetooth device on Linux, and the framing of FRAP
// reports on the GATT characteristics.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Linux/BluezGattFrame.h"
#include "Linux/BluezIdentity.h"

namespace rodiz {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(BluezIdentityTest, AddressesReadInEitherCaseAndWrittenInBothForms) {
  std::uint64_t address = 0;
  ASSERT_TRUE(BluezIdentity::parse_address("00:11:22:33:44:55", address));
  EXPECT_EQ(0x001122334455u, address);
  EXPECT_EQ("0011:22:334455", BluezIdentity::library_text(address));
  EXPECT_EQ("00:11:22:33:44:55", BluezIdentity::bluez_text(address));
  ASSERT_TRUE(BluezIdentity::parse_address("aa:bB:cc:dd:ee:ff", address));
  EXPECT_EQ("AA:BB:CC:DD:EE:FF", BluezIdentity::bluez_text(address));

  // Anything else leaves the address as it was.
  for (const char* text : {"", "aa:bb:cc:dd:ee", "aa:bb:cc:dd:ee:ff:", "aa:bb:cc:dd:ee:fg", "aa-bb-cc-dd-ee-ff",
                           "aabb:cc:ddeeff", " aa:bb:cc:dd:ee:f", "aa:bb:cc:dd:ee:f\n"}) {
    std::uint64_t untouched = 7;
    EXPECT_FALSE(BluezIdentity::parse_address(text, untouched)) << text;
    EXPECT_EQ(7u, untouched) << text;
  }
}

TEST(BluezIdentityTest, TheProductIdComesFromTheModalias) {
  struct Case {
    const char* modalias;
    bool found;
    std::uint16_t product;
  };
  for (const Case& c : {Case{"usb:v046DpC087d1402", true, 0xC087}, Case{"bluetooth:v000Fp1200d1436", true, 0x1200},
                        Case{"usb:v046DpB02A", true, 0xB02A}, Case{"usb:v046DpB02", false, 0},
                        Case{"usb:v046DxB02Ad0001", false, 0}, Case{"v046DpC087", false, 0}, Case{"", false, 0},
                        Case{"usb:", false, 0}, Case{"usb:vZZZZpC087d0000", false, 0}}) {
    std::uint16_t product = 0;
    EXPECT_EQ(c.found, BluezIdentity::modalias_product(c.modalias, product)) << c.modalias;
    if (c.found) {
      EXPECT_EQ(c.product, product) << c.modalias;
    }
  }
}

TEST(BluezGattFrameTest, NotifiedValuesBecomeTwentyByteReports) {
  struct Case {
    Bytes value;
    bool variable;
    Bytes report;
    unsigned count;
  };
  const Bytes seven = {1, 2, 3, 4, 5, 6, 7};
  Bytes nineteen(19);
  for (std::size_t i = 0; i < nineteen.size(); ++i) nineteen[i] = static_cast<std::uint8_t>(i + 1);
  Bytes with_id = {0x11};
  with_id.insert(with_id.end(), nineteen.begin(), nineteen.end());
  Bytes long_variable = {0x11, 0xFF};
  long_variable.insert(long_variable.end(), nineteen.begin(), nineteen.begin() + 18);
  for (const Case& c : {
           Case{seven, true, {0x10, 0xFF, 1, 2, 3, 4, 5, 6, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 9},
           Case{nineteen, false, with_id, 20},
           Case{nineteen, true, long_variable, 21},  // cut to 20; the count says what came
           Case{{}, true, {0x10, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 2},
           Case{{}, false, {0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1},
           Case{Bytes(600, 0xAB), false, Bytes{0x11}, 601},
       }) {
    unsigned count = 0;
    Bytes expected = c.report;
    if (c.value.size() == 600) expected.resize(20, 0xAB);
    EXPECT_EQ(expected, BluezGattFrame::report(c.value.data(), c.value.size(), c.variable, count));
    EXPECT_EQ(c.count, count);
  }
}

TEST(BluezGattFrameTest, ReportsBecomeTheValueOfEachCharacteristic) {
  struct Case {
    Bytes report;
    bool variable;
    Bytes value;
  };
  for (const Case& c : {
           Case{{0x10, 0xFF, 0x05, 0x1A, 0, 0, 0}, true, {0x05, 0x1A}},
           Case{{0x10, 0xFF, 0, 0}, true, {0x00}},
           Case{{0x10, 0xFF}, true, {0x00}},
           Case{{0x10, 0xFF, 0x05, 0x1A, 0, 0, 0},
                false,
                {0xFF, 0x05, 0x1A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
           Case{{0x11, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19},
                false,
                {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}},
       }) {
    EXPECT_EQ(c.value, BluezGattFrame::value(c.report, c.variable));
  }
}

}  // namespace
}  // namespace rodiz
