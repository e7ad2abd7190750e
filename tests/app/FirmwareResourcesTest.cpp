#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/FirmwareImageSet.h"
#include "app/FirmwareResources.h"
#include "app/ImageChecksum.h"

namespace mirel {
namespace {

struct Image {
  const std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
};

Image LoadOrFail(int id) {
  Image image;
  EXPECT_TRUE(LoadFirmwareResource(id, &image.data, &image.size)) << id;
  return image;
}

[[maybe_unused]] std::uint32_t Word(const Image& image, std::uint32_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | image.data[offset + static_cast<std::uint32_t>(i)];
  return value;
}

TEST(FirmwareResourcesTest, BothImagesAreEmbeddedAndStayPut) {
  for (const int id : {2000, 2001}) {
    const Image first = LoadOrFail(id);
    ASSERT_NE(first.data, nullptr);
    EXPECT_GT(first.size, 0U);
    const Image again = LoadOrFail(id);
    EXPECT_EQ(again.data, first.data);
    EXPECT_EQ(again.size, first.size);
  }
}

TEST(FirmwareResourcesTest, UnknownIdsAndNullOutputsFailWithoutTouchingOutputs) {
  const std::uint8_t marker = 0;
  for (const int id : {0, -1, 1999, 2002, 70000}) {
    const std::uint8_t* data = &marker;
    std::uint32_t size = 77;
    EXPECT_FALSE(LoadFirmwareResource(id, &data, &size)) << id;
    EXPECT_EQ(data, &marker);
    EXPECT_EQ(size, 77U);
  }
  std::uint32_t size = 0;
  const std::uint8_t* data = nullptr;
  EXPECT_FALSE(LoadFirmwareResource(2000, nullptr, &size));
  EXPECT_FALSE(LoadFirmwareResource(2000, &data, nullptr));
}

#if defined(MIREL_DEFAULT_IMAGE_1) && defined(MIREL_DEFAULT_IMAGE_2)
TEST(FirmwareResourcesTest, ProjectImagesGiveTheShippedTotals) {
  FirmwareImageSet set;
  ASSERT_TRUE(set.LoadImages());
  EXPECT_EQ(set.totalBytes, 130448U);
  EXPECT_EQ(set.totalPackets, 7897U);
}
#endif

#if defined(MIREL_DEFAULT_IMAGE_1)
TEST(FirmwareResourcesTest, ProjectMainImageHasItsRecordsAndAVectorTable) {
  const Image image = LoadOrFail(2000);
  ASSERT_EQ(image.size, 106560U);
  const std::uint8_t start[16] = {0x00, 0x01, 'Z', 'K', 'T', '5', '8', '_', 'E', '1', 0, 0, 0, 0, 0, 0};
  const std::uint8_t second[16] = {0x01, 0x08, 0x00, 0x50, 0x00, 0x00, 0x01, 0x9F, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(image.data, start, 16), 0);
  EXPECT_EQ(std::memcmp(image.data + 16, second, 16), 0);

  // Stack pointer in RAM; every handler a Thumb (odd) address inside the code.
  const std::uint32_t stack = Word(image, 32);
  EXPECT_EQ(stack & 0xFFF00003U, 0x20000000U);
  const std::uint32_t reset = Word(image, 36);
  const std::uint32_t base = reset & ~0xFFFU;
  for (std::uint32_t entry = 1; entry < 64; ++entry) {
    const std::uint32_t handler = Word(image, 32 + entry * 4);
    if (handler == 0) continue;  // reserved entries
    EXPECT_EQ(handler & 1U, 1U) << entry;
    EXPECT_GE(handler, base + 64 * 4) << entry;
    EXPECT_LT(handler, base + image.size - 32) << entry;
  }
  // Pinned, so that a change of the generator is a deliberate one.
  EXPECT_EQ(ImageChecksum::Crc32(image.data, image.size), 0xC5596633U);
}
#endif

#if defined(MIREL_DEFAULT_IMAGE_2)
TEST(FirmwareResourcesTest, ProjectSecondImageHasItsRecordsAndALongJump) {
  const Image image = LoadOrFail(2001);
  ASSERT_EQ(image.size, 19792U);
  const std::uint8_t start[16] = {0x02, 0x01, 'W', 'V', 'N', '3', '1', '_', 'F', '2', 0, 0, 0, 0, 0, 0};
  const std::uint8_t second[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x48, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(image.data, start, 16), 0);
  EXPECT_EQ(std::memcmp(image.data + 16, second, 16), 0);
  ASSERT_EQ(image.data[32], 0x02);  // ljmp
  const std::uint32_t target = static_cast<std::uint32_t>(image.data[33] << 8 | image.data[34]);
  EXPECT_GT(target, 2U);
  EXPECT_LT(target, image.size - 32);
  EXPECT_EQ(ImageChecksum::Crc32(image.data, image.size), 0x8D01BC68U);
}
#endif

TEST(ImageChecksumTest, MatchesTheCommonCrc32AndCanRunPacketByPacket) {
  const std::string check = "123456789";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(check.data());
  EXPECT_EQ(ImageChecksum::Crc32(bytes, check.size()), 0xCBF43926U);
  EXPECT_EQ(ImageChecksum::Crc32(std::vector<std::uint8_t>()), 0U);
  EXPECT_EQ(ImageChecksum::Crc32(nullptr, 12), 0U);

  std::vector<std::uint8_t> image(1000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 31 + 5);
  std::uint32_t running = 0;
  for (std::size_t offset = 0; offset < image.size(); offset += 16) {
    running = ImageChecksum::Update(running, image.data() + offset, std::min<std::size_t>(16, image.size() - offset));
  }
  EXPECT_EQ(running, ImageChecksum::Crc32(image));
  image[500] ^= 0x01;
  EXPECT_NE(running, ImageChecksum::Crc32(image));
}

}  // namespace
}  // namespace mirel
