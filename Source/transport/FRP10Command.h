#pragma once

#include <string>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

class IDevice;

// The FRAP 1.0 register requests of a receiver (device index 0xFF, short
// reports of 7 bytes). Every request goes through the receiver's
// sendSynchronousCommand, never cached; a failure leaves the command
// engine's reason in LastError.
class FRP10Command {
 public:
  static constexpr Byte kReadShortRegister = 0x81;
  static constexpr Byte kWriteShortRegister = 0x80;
  static constexpr Byte kReadLongRegister = 0x83;

  // The request bytes of the three register operations.
  static std::vector<Byte> read_short_request(Byte reg);
  static std::vector<Byte> write_short_request(Byte reg, Byte p0, Byte p1, Byte p2);
  static std::vector<Byte> read_long_request(Byte reg, Byte sub_page);

  // Asks the receiver to announce every paired device again with a
  // device-connection notification (register 0x02 written with 0x02).
  // False with LastError; Frp10Error11 for a null receiver.
  static bool set_receiver_connection_state(IDevice* receiver);
  // Reads register 0x02: the number of connected devices and a second value
  // that is only passed on. The outputs are written only on success.
  static bool read_receiver_connection_state(IDevice* receiver, int* count, int* second);
  // Reads the name of the device in `slot` (0-based) from long register
  // 0xB5. The name is at most as long as the answer holds, whatever length
  // the answer claims; an answer of fewer than 16 bytes fails with
  // CommandResponseTooShort.
  static bool read_receiver_paired_device_name(IDevice* receiver, int slot, std::string* name);
};

}  // namespace rodiz
