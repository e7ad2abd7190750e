#pragma once

#include <cstdint>

#include "runtime/Byte.h"

namespace rodiz {

// DFU control 0x00C1.
class IFeature00c1DFUControl {
 public:
  static constexpr int kFeatureId = 0x00C1;

  class ConfigReport {
   public:
    virtual void onDfuControl(int /*swid*/, std::uint16_t /*value*/) {}
    virtual ~ConfigReport() = default;
  };

  virtual ~IFeature00c1DFUControl() = default;
  virtual bool GetDfuControl(int* value) = 0;
  virtual bool SetDfuControl(Byte a, Byte b, Byte c, Byte d) = 0;
};

}  // namespace rodiz
