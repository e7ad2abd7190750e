#pragma once

#include "runtime/Byte.h"

namespace rodiz {

// Global Fn-key inversion of a keyboard (feature 0x40A2). A value set while
// the device is not connected is kept and written when it connects again.
class IFeature40A2FnInversion {
 public:
  static constexpr int kFeatureId = 0x40A2;

  class SettingChange {
   public:
    // Another program (software id `swid`) set the inversion to `inverted`.
    virtual void onSettingChange(unsigned int /*swid*/, bool /*inverted*/) {}
    virtual ~SettingChange() = default;
  };

  virtual ~IFeature40A2FnInversion() = default;
  // Reads function 0: `inverted` is answer byte 0 not 0, `second` answer byte
  // 1 not 0. An answer of fewer than 2 bytes fails with
  // CommandResponseTooShort; on failure the out values are untouched.
  virtual bool GetGlobalFnInversion(bool* inverted, bool* second) = 0;
  // Writes `value` with function 1 after claiming the device's configuration.
  // While the device is not connected (NotConnected) the value is kept in
  // order with earlier ones, a pending change is registered and the call
  // succeeds; other failures return false.
  virtual bool SetGlobalFnInversion(Byte value) = 0;
};

}  // namespace rodiz
