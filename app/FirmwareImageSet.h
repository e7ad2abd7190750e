#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "app/DFUWriter.h"

namespace mirel {

// The two images the update controller streams, keyed 1 (main image, resource
// 2000) and 2 (second image, resource 2001), with the totals the progress bar
// and the packet numbering use.
class FirmwareImageSet {
 public:
  // Finds one embedded image (see LoadFirmwareResource); replaceable in tests.
  using ResourceLoader = std::function<bool(int resourceId, const std::uint8_t** data, std::uint32_t* size)>;

  static constexpr int kMainImageKey = 1;
  static constexpr int kSecondImageKey = 2;
  // Part of the progress range that no packet fills: the bar reaches its end
  // only when the controller sets it after the transfer.
  static constexpr std::uint32_t kProgressReserve = 4096;

  FirmwareImageSet();
  explicit FirmwareImageSet(ResourceLoader loader);

  // Loads resource 2000 into the writer of key 1 or 2001 into key 2 (made if
  // missing) and adds it to the totals. Other ids, and a failed load, change
  // nothing and return false.
  bool LoadImage(int resourceId);
  // Starts over with empty totals and two fresh writers, and loads both
  // images. A missing or empty image is not an error here: its writer stays
  // empty and its transfer finds no packet. False only without both writers.
  bool LoadImages();
  // Both transfers start again from the first packet.
  void ResetOffsets();

  std::map<int, std::shared_ptr<DFUWriter>> images;
  std::uint32_t totalPackets = 0;
  std::uint32_t totalBytes = 0;

 private:
  ResourceLoader m_loader;
};

}  // namespace mirel
