#pragma once

#include <cstdint>
#include <string>

namespace rodiz {

// The texts that name a Bluetooth device on Linux: its address, as BlueZ
// writes it ("AA:BB:CC:DD:EE:FF") and as the kernel puts it into a HID
// device's unique id (HID_UNIQ, lower case), and the modalias that carries
// its product id. Portable text code; every input may be malformed.
class BluezIdentity {
 public:
  // Reads six two-digit hexadecimal bytes separated by colons, in either
  // case, most significant first, into the low 48 bits of `address`. False
  // (address untouched) for anything else, trailing text included.
  static bool parse_address(const std::string& text, std::uint64_t& address);
  // "AA:BB:CC:DD:EE:FF", upper case: BlueZ's form.
  static std::string bluez_text(std::uint64_t address);
  // "AABB:CC:DDEEFF": the library's text form of an address.
  static std::string library_text(std::uint64_t address);
  // The product id of a modalias "usb:vXXXXpYYYYdZZZZ" or
  // "bluetooth:vXXXXpYYYYdZZZZ"; false when the text has no such field.
  static bool modalias_product(const std::string& modalias, std::uint16_t& product);
};

}  // namespace rodiz
