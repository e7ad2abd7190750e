#pragma once

#include <cstdint>
#include <string>

namespace rodiz {

// The vendor and product ids written into the interface path of a Bluetooth
// low-energy HID collection, whose HID attributes read as zero. Portable:
// it only reads text.
class BleHidPath {
 public:
  struct Ids {
    std::string vendor_text;  // the four characters read, for the log
    std::string product_text;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
  };

  // Finds "}_dev_vid&02" in the lower-case path; the vendor id is the four
  // characters 12 places after its start and the product id the four 21
  // places after it, both hexadecimal. False (ids left 0) when the text is
  // missing, the path ends within 25 characters of it, or a character is
  // not a hexadecimal digit.
  static bool parse(const std::string& path, Ids* ids);
};

}  // namespace rodiz
