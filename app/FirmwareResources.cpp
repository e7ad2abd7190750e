#include "app/FirmwareResources.h"

namespace mirel {

bool FirmwareResources::AreTestImages() {
  // Set by app/images.cmake when either image is the project-made one.
#if defined(MIREL_TEST_IMAGES)
  return true;
#else
  return false;
#endif
}

}  // namespace mirel
