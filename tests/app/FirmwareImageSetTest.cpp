#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/DFUWriter.h"
#include "app/FirmwareImageSet.h"
#include "app/ImageChecksum.h"

namespace mirel {
namespace {

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return bytes;
}

// Images by resource id; an id without an entry is a missing resource.
class FakeResources {
 public:
  std::map<int, std::vector<std::uint8_t>> images;
  int calls = 0;

  FirmwareImageSet::ResourceLoader Loader() {
    return [this](int id, const std::uint8_t** data, std::uint32_t* size) {
      ++calls;
      const auto found = images.find(id);
      if (found == images.end()) return false;
      *data = found->second.data();
      *size = static_cast<std::uint32_t>(found->second.size());
      return true;
    };
  }
};

TEST(FirmwareImageSetTest, ShippedSizesGiveTheProgressRangeAndPacketCount) {
  FakeResources resources;
  resources.images[2000] = Pattern(106560);
  resources.images[2001] = Pattern(19792);
  FirmwareImageSet set(resources.Loader());

  ASSERT_TRUE(set.LoadImages());
  EXPECT_EQ(set.totalBytes, 130448U);
  EXPECT_EQ(set.totalPackets, 7897U);
  ASSERT_EQ(set.images.size(), 2U);
  EXPECT_EQ(set.images[1]->packets, 6660U);
  EXPECT_EQ(set.images[1]->data, resources.images[2000].data());
  EXPECT_EQ(set.images[2]->packets, 1237U);
  EXPECT_EQ(set.images[2]->size, 19792U);
  EXPECT_EQ(set.images[2]->offset, 0U);

  // A second load (a new start-up) counts the reserve and each image once.
  set.images[1]->offset = 160;
  ASSERT_TRUE(set.LoadImages());
  EXPECT_EQ(set.totalBytes, 130448U);
  EXPECT_EQ(set.totalPackets, 7897U);
  EXPECT_EQ(set.images[1]->offset, 0U);
}

TEST(FirmwareImageSetTest, MissingOrEmptyImageLeavesAnEmptyWriterAndNoPacket) {
  FakeResources resources;
  resources.images[2000] = Pattern(64);
  FirmwareImageSet set(resources.Loader());

  EXPECT_TRUE(set.LoadImages());
  EXPECT_EQ(set.totalBytes, 4096U + 64U);
  EXPECT_EQ(set.totalPackets, 4U);
  ASSERT_EQ(set.images.count(2), 1U);
  EXPECT_EQ(set.images[2]->size, 0U);
  EXPECT_EQ(set.images[2]->packets, 0U);
  std::vector<std::uint8_t> packet;
  EXPECT_FALSE(set.images[2]->nextPacket(&packet));

  // A loader that reports success without bytes counts as a failed load.
  FirmwareImageSet liar([](int, const std::uint8_t** data, std::uint32_t* size) {
    *data = nullptr;
    *size = 32;
    return true;
  });
  EXPECT_TRUE(liar.LoadImages());
  EXPECT_EQ(liar.totalBytes, 4096U);
  EXPECT_EQ(liar.images[1]->size, 0U);
}

TEST(FirmwareImageSetTest, LoadImageMapsIdsToKeysAndIgnoresOthers) {
  FakeResources resources;
  resources.images[2000] = Pattern(32);
  resources.images[2001] = Pattern(48);
  FirmwareImageSet set(resources.Loader());

  EXPECT_FALSE(set.LoadImage(1999));
  EXPECT_FALSE(set.LoadImage(2002));
  EXPECT_TRUE(set.images.empty());
  EXPECT_EQ(resources.calls, 0);

  ASSERT_TRUE(set.LoadImage(2001));
  ASSERT_EQ(set.images.size(), 1U);
  EXPECT_EQ(set.images[2]->size, 48U);
  EXPECT_EQ(set.totalBytes, 48U);
  EXPECT_EQ(set.totalPackets, 3U);

  // A failed load keeps what the writer and the totals had.
  resources.images.erase(2001);
  EXPECT_FALSE(set.LoadImage(2001));
  EXPECT_EQ(set.images[2]->size, 48U);
  EXPECT_EQ(set.images[2]->packets, 3U);
  EXPECT_EQ(set.totalBytes, 48U);
  EXPECT_EQ(set.totalPackets, 3U);
}

TEST(FirmwareImageSetTest, SeventeenByteImageCountsTwoPacketsButSendsOne) {
  FakeResources resources;
  resources.images[2000] = Pattern(17);
  FirmwareImageSet set(resources.Loader());
  ASSERT_TRUE(set.LoadImage(2000));
  DFUWriter& writer = *set.images[1];
  EXPECT_EQ(writer.packets, 2U);

  std::vector<std::uint8_t> packet;
  ASSERT_TRUE(writer.nextPacket(&packet));
  EXPECT_EQ(packet, std::vector<std::uint8_t>(resources.images[2000].begin(), resources.images[2000].begin() + 16));
  writer.offset += 16;
  EXPECT_FALSE(writer.nextPacket(&packet));
}

TEST(FirmwareImageSetTest, ResetOffsetsRestartsBothTransfers) {
  FakeResources resources;
  resources.images[2000] = Pattern(64);
  resources.images[2001] = Pattern(64);
  FirmwareImageSet set(resources.Loader());
  ASSERT_TRUE(set.LoadImages());
  set.images[1]->offset = 48;
  set.images[2]->offset = 16;
  set.images[3] = nullptr;  // a stray empty entry must not trip it
  set.ResetOffsets();
  EXPECT_EQ(set.images[1]->offset, 0U);
  EXPECT_EQ(set.images[2]->offset, 0U);
}

// Images are checked against the size and CRC-32 recorded when they were
// built in; any difference is named, and images without a record pass.
TEST(FirmwareImageSetTest, ImagesThatDifferFromTheirRecordAreNamed) {
  FakeResources resources;
  resources.images[2000] = Pattern(320);
  resources.images[2001] = Pattern(64);
  const std::uint32_t main_crc = ImageChecksum::Crc32(resources.images[2000]);
  const std::uint32_t second_crc = ImageChecksum::Crc32(resources.images[2001]);
  struct Case {
    const char* name;
    std::function<void(FakeResources&)> damage;
    bool intact;
    const char* named;
  };
  const Case cases[] = {
      {"intact", [](FakeResources&) {}, true, ""},
      {"one bit of image 1", [](FakeResources& r) { r.images[2000][200] ^= 0x01; }, false, "image 1"},
      {"image 2 cut short", [](FakeResources& r) { r.images[2001].resize(48); }, false, "image 2"},
      {"image 2 missing", [](FakeResources& r) { r.images.erase(2001); }, false, "image 2"},
  };
  for (const Case& c : cases) {
    FakeResources copy = resources;
    c.damage(copy);
    FirmwareImageSet set(copy.Loader(), [&](int id, std::uint32_t* size, std::uint32_t* crc) {
      *size = id == 2000 ? 320 : 64;
      *crc = id == 2000 ? main_crc : second_crc;
      return true;
    });
    set.LoadImages();
    std::string problem;
    EXPECT_EQ(c.intact, set.CheckImages(&problem)) << c.name;
    EXPECT_NE(std::string::npos, problem.find(c.named)) << c.name << ": " << problem;
  }
  FakeResources damaged = resources;
  damaged.images[2000][0] ^= 0xFF;
  FirmwareImageSet unrecorded(damaged.Loader());
  unrecorded.LoadImages();
  std::string problem;
  EXPECT_TRUE(unrecorded.CheckImages(&problem));
}

// The build's own record fits the images inside this test program.
TEST(FirmwareImageSetTest, TheEmbeddedImagesMatchWhatTheBuildRecorded) {
  FirmwareImageSet set;
  ASSERT_TRUE(set.LoadImages());
  std::string problem;
  EXPECT_TRUE(set.CheckImages(&problem)) << problem;
}

TEST(DFUWriterTest, PacketsFollowTheOffsetUpToTheLastWholeSlice) {
  const std::vector<std::uint8_t> image = Pattern(64);
  DFUWriter writer;
  writer.data = image.data();
  writer.size = 64;
  writer.packets = DFUWriter::PacketsFor(64);
  EXPECT_EQ(writer.packets, 4U);

  std::vector<std::uint8_t> packet;
  for (std::uint32_t offset = 0; offset < 64; offset += 16) {
    writer.offset = offset;
    ASSERT_TRUE(writer.nextPacket(&packet)) << offset;
    EXPECT_EQ(packet, std::vector<std::uint8_t>(image.begin() + offset, image.begin() + offset + 16));
  }
  writer.offset = 64;
  EXPECT_FALSE(writer.nextPacket(&packet));
  writer.offset = 49;  // less than a whole packet left
  EXPECT_FALSE(writer.nextPacket(&packet));
}

TEST(DFUWriterTest, OffsetsNearTheTopOfTheRangeDoNotWrapAround) {
  const std::vector<std::uint8_t> image = Pattern(32);
  DFUWriter writer;
  writer.data = image.data();
  writer.size = 32;
  std::vector<std::uint8_t> packet;
  for (std::uint32_t offset : {0xFFFFFFF0U, 0xFFFFFFF8U, 0xFFFFFFFFU}) {
    writer.offset = offset;
    EXPECT_FALSE(writer.nextPacket(&packet)) << offset;
  }
  writer.offset = 0;
  EXPECT_FALSE(writer.nextPacket(nullptr));
  writer.size = 15;
  EXPECT_FALSE(writer.nextPacket(&packet));
  EXPECT_EQ(DFUWriter::PacketsFor(0), 0U);
  EXPECT_EQ(DFUWriter::PacketsFor(0xFFFFFFFFU), 0x10000000U);
}

}  // namespace
}  // namespace mirel
