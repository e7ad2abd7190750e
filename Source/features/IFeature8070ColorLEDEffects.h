#pragma once

#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

// ColorLEDEffects 0x8070. The update tool uses its non-volatile configuration
// only (GetNvConfig / SetNvConfig).
class IFeature8070ColorLEDEffects {
 public:
  static constexpr int kFeatureId = 0x8070;

  class Report {
   public:
    virtual void onSyncReport(const std::vector<Byte>& /*data*/) {}
    virtual ~Report() = default;
  };

  virtual ~IFeature8070ColorLEDEffects() = default;
  // Bytes 2, 3 and 4 of the answer for configuration `id`.
  virtual bool GetNvConfig(int id, Byte* b2, Byte* b3, Byte* b4) = 0;
  virtual bool SetNvConfig(int id, Byte a, Byte b, Byte c) = 0;
};

}  // namespace rodiz
