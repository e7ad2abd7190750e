#pragma once

#include <string>

namespace rodiz {

class Device;

// The firmware identity of one Device: read once (from the response cache
// when it can be), then confirmed against the device whenever it may have
// restarted. A different identity makes the device forget what it learnt and
// tells its subscribers (onFirmwareChanged).
class FirmwareCheck {
 public:
  // `device` owns the check and outlives it.
  explicit FirmwareCheck(Device& device);
  FirmwareCheck(const FirmwareCheck&) = delete;
  FirmwareCheck& operator=(const FirmwareCheck&) = delete;

  // The identity text: type, prefix, version and build, with the unit id when
  // the device has several entities; "NotPresent" without feature 0x0003;
  // empty on error.
  std::string read_fwinfo(bool cached);
  // Reads the identity once; true when it is known. `cache_present` says the
  // answers came from a cache, so the next command confirms them.
  [[nodiscard]] bool load_fwinfo(bool cache_present);
  // Compares the device's identity with the kept one; false with
  // FwVersionChanged when it differs, or with the reason of a failed read.
  [[nodiscard]] bool do_fwcheck();
  const std::string& fwinfo() const { return fwinfo_; }

 private:
  Device& device_;
  std::string fwinfo_;
  bool in_fwcheck_ = false;
  int active_entity_ = 0;
};

}  // namespace rodiz
