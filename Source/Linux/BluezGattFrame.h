#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

// The framing of FRAP reports on the two GATT I/O characteristics: the
// fixed-length one carries a report without its id, the variable-length one
// without its id and device index, and without trailing zeros. Portable;
// values come from the device and may have any length.
class BluezGattFrame {
 public:
  static constexpr std::size_t kReportLength = 20;

  // The report for a notified value of `size` bytes: id 0x11 for more than
  // seven bytes, else 0x10; device index 0xFF on the variable-length
  // characteristic; then the value; cut or zero-padded to 20 bytes.
  // `byte_count` is the report's length before it was brought to 20.
  static std::vector<Byte> report(const std::uint8_t* value, std::size_t size, bool variable_length,
                                  unsigned& byte_count);
  // The value that carries `report`: on the variable-length characteristic
  // bytes 2 on with trailing zeros removed (one byte at least), on the
  // fixed-length one bytes 1 to 19 of the report zero-padded to 20. The
  // caller has checked that the report holds 2 to 20 bytes.
  static std::vector<std::uint8_t> value(const std::vector<Byte>& report, bool variable_length);
};

}  // namespace rodiz
