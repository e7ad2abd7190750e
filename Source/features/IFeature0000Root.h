#pragma once

#include "runtime/Byte.h"

namespace rodiz {

// Root feature 0x0000, always at index 0. Every out argument may be null.
class IFeature0000Root {
 public:
  static constexpr int kFeatureId = 0x0000;

  virtual ~IFeature0000Root() = default;
  // The index of `featureId` on this device (0: not present) and its flags.
  virtual bool GetFeature(int featureId, int* featureIndex, bool* obsolete, bool* hidden, bool* engineering,
                          int* version, int cache_mode) = 0;
  virtual bool GetProtocolVersion(Byte ping, int* protocol, int* targetsw, int* ping_received) = 0;
  // Protocol number and target software, read once and then answered from memory.
  virtual bool TargetSw(int* protocol, int* targetsw) = 0;
  // Fails with PingMismatch when the device echoes other data.
  virtual bool Ping(Byte data) = 0;
};

}  // namespace rodiz
