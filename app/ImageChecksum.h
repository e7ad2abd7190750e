#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mirel {

// CRC-32 (the common reflected 0xEDB88320 polynomial, as in zip and PNG), so
// that the application's tests and the simulated bootloader agree on whether
// an image arrived unaltered, and on which image a build embeds.
class ImageChecksum {
 public:
  static std::uint32_t Crc32(const std::uint8_t* data, std::size_t size);
  static std::uint32_t Crc32(const std::vector<std::uint8_t>& bytes);
  // Continues `crc` (a previous result, 0 to start) over more bytes, so an
  // image can be checked as its packets arrive.
  static std::uint32_t Update(std::uint32_t crc, const std::uint8_t* data, std::size_t size);
};

}  // namespace mirel
