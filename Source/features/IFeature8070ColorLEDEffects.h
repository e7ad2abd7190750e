#pragma once

#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

// ColorLEDEffects 0x8070. The update tool uses its non-volatile configuration
// only (GetNvConfig / SetNvConfig). The FunctionN operations send function N
// with `params` and wait for the answer, whose parameters `response` receives
// when given; they are not decoded further.
class IFeature8070ColorLEDEffects {
 public:
  static constexpr int kFeatureId = 0x8070;

  class Report {
   public:
    virtual void onSyncReport(const std::vector<Byte>& /*data*/) {}
    virtual ~Report() = default;
  };

  virtual ~IFeature8070ColorLEDEffects() = default;
  virtual bool Function0(const std::vector<Byte>& params, std::vector<Byte>* response) = 0;
  virtual bool Function1(const std::vector<Byte>& params, std::vector<Byte>* response) = 0;
  virtual bool Function14(const std::vector<Byte>& params, std::vector<Byte>* response) = 0;
  virtual bool Function2(const std::vector<Byte>& params, std::vector<Byte>* response) = 0;
  virtual bool Function3(const std::vector<Byte>& params, std::vector<Byte>* response) = 0;
  // Bytes 2, 3 and 4 of the answer (function 4) for configuration `id`; an
  // answer of fewer than 5 bytes fails with CommandResponseTooShort.
  // GetNvConfig and SetNvConfig fail with FeatureNotSupported, sending
  // nothing, unless the feature sits at an index from 1 to 254.
  virtual bool GetNvConfig(int id, Byte* b2, Byte* b3, Byte* b4) = 0;
  // Writes `a`, `b` and `c` to configuration `id` (function 5).
  virtual bool SetNvConfig(int id, Byte a, Byte b, Byte c) = 0;
  virtual bool Function6(const std::vector<Byte>& params, std::vector<Byte>* response) = 0;
  virtual bool Function7(const std::vector<Byte>& params, std::vector<Byte>* response) = 0;
  virtual bool Function8(const std::vector<Byte>& params, std::vector<Byte>* response) = 0;
  virtual bool Function9(const std::vector<Byte>& params, std::vector<Byte>* response) = 0;
  virtual bool Function10(const std::vector<Byte>& params, std::vector<Byte>* response) = 0;
  virtual bool Function11(const std::vector<Byte>& params, std::vector<Byte>* response) = 0;
  virtual bool Function12(const std::vector<Byte>& params, std::vector<Byte>* response) = 0;
  virtual bool Function13(const std::vector<Byte>& params, std::vector<Byte>* response) = 0;
};

}  // namespace rodiz
