#pragma once

namespace rodiz {

// WirelessStatus 0x1D4B: a notification-only feature by which a wireless
// device asks to be configured again.
class IFeature1D4BWirelessStatus {
 public:
  static constexpr int kFeatureId = 0x1D4B;

  class Report {
   public:
    virtual void onWirelessStatusEvent(bool /*reconnect*/, bool /*config_needed*/, bool /*powerswitch*/) {}
    virtual ~Report() = default;
  };

  virtual ~IFeature1D4BWirelessStatus() = default;
};

}  // namespace rodiz
