// Feeds arbitrary bytes to the readers of what names a Bluetooth device on
// Linux (an address from BlueZ or the kernel's HID_UNIQ, a modalias) and to
// the framing of values notified by a device's GATT characteristics.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Linux/BluezGattFrame.h"
#include "Linux/BluezIdentity.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::uint64_t address = 0;
  if (rodiz::BluezIdentity::parse_address(text, address)) {
    // A parsed address is written back as the same text, up to case.
    if (address > 0xFFFFFFFFFFFFull || rodiz::BluezIdentity::bluez_text(address).size() != 17) __builtin_trap();
  }
  std::uint16_t product = 0;
  rodiz::BluezIdentity::modalias_product(text, product);
  for (bool variable : {false, true}) {
    unsigned count = 0;
    const auto report = rodiz::BluezGattFrame::report(data, size, variable, count);
    if (report.size() != rodiz::BluezGattFrame::kReportLength || count != size + (variable ? 2u : 1u)) __builtin_trap();
    if (report.size() >= 2) rodiz::BluezGattFrame::value(report, variable);
  }
  return 0;
}
