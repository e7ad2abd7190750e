#pragma once

#include <cstdint>

namespace rodiz {

// DFU control 0x00C0: asks a device to reboot into its bootloader.
class IFeature00c0DFUControl {
 public:
  static constexpr int kFeatureId = 0x00C0;

  class ConfigReport {
   public:
    // Another program's request of function 1 was seen (immediate subscribers only).
    virtual void onDfuControl(int /*swid*/, std::uint16_t /*value*/) {}
    virtual ~ConfigReport() = default;
  };

  virtual ~IFeature00c0DFUControl() = default;
  virtual bool EnterDfu() = 0;
};

}  // namespace rodiz
