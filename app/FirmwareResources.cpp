#include "app/FirmwareResources.h"

namespace mirel {

bool FirmwareResources::RecordedDigest(int resourceId, std::uint32_t* size, std::uint32_t* crc32) {
  for (const Digest& digest : kRecordedDigests) {
    if (digest.resourceId != resourceId) continue;
    *size = digest.size;
    *crc32 = digest.crc32;
    return true;
  }
  return false;
}

bool FirmwareResources::AreTestImages() {
  // Set by app/images.cmake when either image is the project-made one.
#if defined(MIREL_TEST_IMAGES)
  return true;
#else
  return false;
#endif
}

}  // namespace mirel
