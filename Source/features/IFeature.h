#pragma once

#include <memory>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

class IDevice;

// The interface of every feature object of a FRAP 2.0 device.
class IFeature {
 public:
  // The raw reports of one feature, for clients that decode them themselves.
  class FeatureReport {
   public:
    // A notification: `function` from byte 3's high nibble, `swid` its low
    // nibble (0 for device-initiated reports), `payload` bytes 4 onwards.
    virtual void onFeatureReport(unsigned int /*function*/, unsigned int /*swid*/,
                                 const std::vector<Byte>& /*payload*/) {}
    // A response meant for other software: `function_swid` is byte 3 of the
    // report (function << 4 | swid).
    virtual void onUnexpectedResponse(int /*function_swid*/, const std::vector<Byte>& /*payload*/) {}
    virtual ~FeatureReport() = default;
  };

  virtual ~IFeature() = default;
  virtual int feature_id() = 0;
  // Sends function `function` with `params` without waiting.
  virtual bool sendFeatureCommand(unsigned function, const std::vector<Byte>& params) = 0;
  // Request and response; `response` receives the bytes from byte 4 on.
  virtual bool sendFeatureCommand(unsigned function, const std::vector<Byte>& params, std::vector<Byte>& response,
                                  int cache_mode) = 0;
  virtual bool sendFeatureCommand(unsigned function, const std::vector<Byte>& params, std::vector<Byte>& response,
                                  int cache_mode, const std::vector<unsigned>& match_positions) = 0;
  virtual bool configured() = 0;
  virtual bool pending() = 0;
  // The device, empty when it is gone.
  virtual std::shared_ptr<IDevice> device() = 0;
  virtual bool obsolete() = 0;
  virtual bool hidden() = 0;
  virtual bool engineering() = 0;
  virtual int feature_index() = 0;
  virtual int version() = 0;
  virtual std::shared_ptr<IFeature> self() = 0;
};

}  // namespace rodiz
