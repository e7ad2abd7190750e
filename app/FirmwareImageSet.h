#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/DFUWriter.h"

namespace mirel {

// The two images the update controller streams, keyed 1 (main image, resource
// 2000) and 2 (second image, resource 2001), with the totals the progress bar
// and the packet numbering use.
class FirmwareImageSet {
 public:
  // Finds one embedded image (see LoadFirmwareResource); replaceable in tests.
  using ResourceLoader = std::function<bool(int resourceId, const std::uint8_t** data, std::uint32_t* size)>;
  // The size and CRC-32 recorded for an image when it was built in; false
  // when nothing is recorded for that id.
  using DigestLookup = std::function<bool(int resourceId, std::uint32_t* size, std::uint32_t* crc32)>;

  static constexpr int kMainImageKey = 1;
  static constexpr int kSecondImageKey = 2;
  // Part of the progress range that no packet fills: the bar reaches its end
  // only when the controller sets it after the transfer.
  static constexpr std::uint32_t kProgressReserve = 4096;

  // The images inside this executable, checked against the digests the
  // build recorded.
  FirmwareImageSet();
  // Other images; checked only when `digests` is given.
  explicit FirmwareImageSet(ResourceLoader loader, DigestLookup digests = nullptr);

  // Loads resource 2000 into the writer of key 1 or 2001 into key 2 (made if
  // missing) and adds it to the totals. Other ids, and a failed load, change
  // nothing and return false.
  bool LoadImage(int resourceId);
  // Starts over with empty totals and two fresh writers, and loads both
  // images. A missing or empty image is not an error here: its writer stays
  // empty and its transfer finds no packet. False only without both writers.
  bool LoadImages();
  // Whether both loaded images have the size and CRC-32 recorded for them,
  // so that damaged images are never sent. False with a message naming the
  // first image that differs. True when no digests are recorded.
  bool CheckImages(std::string* problem) const;
  // Both transfers start again from the first packet.
  void ResetOffsets();

  std::map<int, std::shared_ptr<DFUWriter>> images;
  std::uint32_t totalPackets = 0;
  std::uint32_t totalBytes = 0;

 private:
  ResourceLoader m_loader;
  DigestLookup m_digests;
};

}  // namespace mirel
