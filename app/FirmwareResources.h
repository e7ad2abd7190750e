#pragma once

#include <cstdint>

namespace mirel {

// The firmware images carried inside the executable: FIRMWARE resources on
// Windows, bytes linked into the program elsewhere. Either way the bytes stay
// where they are for the whole process; they are never copied or freed.
class FirmwareResources {
 public:
  static constexpr int kMainImageId = 2000;
  static constexpr int kSecondImageId = 2001;

  // Finds the image with `resourceId` and gives its bytes and size. False when
  // there is no such image, it is empty, or an output pointer is null; the
  // outputs are then left as they were.
  static bool Load(int resourceId, const std::uint8_t** data, std::uint32_t* size);
  // True when the build made its own images (tools/make_images.py) instead
  // of being given the released files: they are for tests and emulated rigs
  // and must never reach a real mouse by accident.
  static bool AreTestImages();

  // The size and CRC-32 of an image as the build embedded it.
  struct Digest {
    int resourceId;
    std::uint32_t size;
    std::uint32_t crc32;
  };
  // Recorded at build time from the image files (tools/image_digest.py).
  static const Digest kRecordedDigests[2];
  // The recorded digest of `resourceId`; false for another id.
  static bool RecordedDigest(int resourceId, std::uint32_t* size, std::uint32_t* crc32);
};

// The load operation the update controller uses (and tests replace).
inline bool LoadFirmwareResource(int resourceId, const std::uint8_t** data, std::uint32_t* size) {
  return FirmwareResources::Load(resourceId, data, size);
}

}  // namespace mirel
