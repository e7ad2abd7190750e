#pragma once

namespace rodiz {

// What a device behind a wireless receiver asks of its receiver bus when this
// program takes the device into use, and gives back at the end.
class IReceiver {
 public:
  virtual ~IReceiver() = default;
  // Marks this program as present on the receiver.
  virtual bool set_software_present() = 0;
  // Marks the device in `slot` as configured by this program.
  virtual bool set_slot_configured(int slot) = 0;
  // Withdraws the presence marking.
  virtual bool shutdown() = 0;
};

}  // namespace rodiz
