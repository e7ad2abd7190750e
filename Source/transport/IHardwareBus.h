#pragma once

#include <memory>
#include <string>
#include <vector>

#include "transport/IBluetoothBus.h"
#include "transport/IHardwareDevice.h"

namespace rodiz {

class IHardwareSecondaryBus;

// A source of hardware devices. Every bus is also a Producer of PlugUnplug;
// subscribing to it is what starts its background machinery.
class IHardwareBus {
 public:
  class PlugUnplug {
   public:
    virtual void onPlug(std::shared_ptr<IHardwareDevice> /*device*/) {}
    virtual void onUnplug(std::shared_ptr<IHardwareDevice> /*device*/) {}
    virtual void onPowerChange(bool /*standBy*/) {}
    virtual ~PlugUnplug() = default;
  };

  virtual ~IHardwareBus() = default;

  // The devices present now. An empty list with LastError set is a failure.
  virtual std::vector<std::shared_ptr<IHardwareDevice>> devices() = 0;
  virtual bool reserved_flag() { return false; }
  // The Bluetooth buses that tell which of this bus's channels belong to
  // paired Bluetooth devices; empty when the platform has none.
  virtual std::vector<std::shared_ptr<IBluetoothBus>> bluetooth_busses() { return {}; }
  // Where the bus may keep files.
  virtual void persistent_data_directory(std::string /*directory*/) {}
  // True when the bus delivers single HID collections that must be combined.
  virtual bool wants_combiner() { return false; }
  virtual std::vector<std::shared_ptr<IHardwareSecondaryBus>> secondary_busses() { return {}; }
  virtual void refresh() {}
};

}  // namespace rodiz
