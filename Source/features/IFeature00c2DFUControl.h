#pragma once

#include <cstdint>

#include "runtime/Byte.h"

namespace rodiz {

// DFU control 0x00C2: SetDfuControl(1, 0) reboots the device into its
// bootloader; the request is one-way, the outcome is the device's removal.
class IFeature00c2DFUControl {
 public:
  static constexpr int kFeatureId = 0x00C2;

  class ConfigReport {
   public:
    virtual void onDfuControl(int /*swid*/, std::uint16_t /*value*/) {}
    virtual ~ConfigReport() = default;
  };

  virtual ~IFeature00c2DFUControl() = default;
  virtual bool GetDfuControl(bool* value) = 0;
  virtual bool SetDfuControl(Byte a, Byte b) = 0;
};

}  // namespace rodiz
