#include "app/FirmwareResources.h"

#include <cstddef>

// Defined by the build's generated firmware_images.cpp, one pair per image.
extern "C" {
__attribute__((visibility("hidden"))) extern const std::uint8_t mirel_firmware_2000_begin[];
__attribute__((visibility("hidden"))) extern const std::uint8_t mirel_firmware_2000_end[];
__attribute__((visibility("hidden"))) extern const std::uint8_t mirel_firmware_2001_begin[];
__attribute__((visibility("hidden"))) extern const std::uint8_t mirel_firmware_2001_end[];
}

namespace mirel {

bool FirmwareResources::Load(int resourceId, const std::uint8_t** data, std::uint32_t* size) {
  if (data == nullptr || size == nullptr) return false;
  const std::uint8_t* begin = nullptr;
  const std::uint8_t* end = nullptr;
  switch (resourceId) {
    case kMainImageId:
      begin = mirel_firmware_2000_begin;
      end = mirel_firmware_2000_end;
      break;
    case kSecondImageId:
      begin = mirel_firmware_2001_begin;
      end = mirel_firmware_2001_end;
      break;
    default:
      return false;
  }
  const auto bytes = static_cast<std::size_t>(end - begin);
  if (bytes == 0 || bytes > UINT32_MAX) return false;
  *data = begin;
  *size = static_cast<std::uint32_t>(bytes);
  return true;
}

}  // namespace mirel
