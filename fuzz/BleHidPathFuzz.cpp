// Feeds arbitrary interface paths to the reader of the vendor and product ids
// that Bluetooth low-energy HID paths carry: the path comes from the system's
// broadcasts and enumeration.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Windows/BleHidPath.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);
  rodiz::BleHidPath::Ids ids;
  if (rodiz::BleHidPath::parse(path, &ids)) {
    // Found ids were read from four hexadecimal digits inside the path.
    if (ids.vendor_text.size() != 4 || ids.product_text.size() != 4) __builtin_trap();
  } else if (ids.vendor != 0 || ids.product != 0) {
    __builtin_trap();
  }
  return 0;
}
