#pragma once

#include <memory>
#include <string>

namespace rodiz {

class IBluetoothDevice;

// The system's Bluetooth layer as the pairing filter sees it: which HID
// channels belong to paired Bluetooth devices, and which radios come and go.
// A Bluetooth bus delivers no report channels of its own. Every
// implementation is also a Producer of RadioArrivalRemovalExternal, is created
// as a shared object and is owned by the HID bus that made it.
//
// A radio is named by a string that is stable while the radio is present (the
// radio's device path, lower case); the text "unknown" stands for a radio that
// has not been learned yet.
class IBluetoothBus {
 public:
  // A radio became usable or went away. Raised on the Bluetooth layer's own
  // thread; the pairing filter subscribes with immediate delivery.
  class RadioArrivalRemovalExternal {
   public:
    virtual void onRadioArrival(std::string /*radio*/) {}
    virtual void onRadioRemoval(std::string /*radio*/) {}
    virtual ~RadioArrivalRemovalExternal() = default;
  };

  // The same two events as the bus raises them to itself, so that it can do
  // its own bookkeeping (open or close the radio) before it tells others.
  class RadioArrivalRemovalInternal {
   public:
    virtual void onRadioArrival(std::string /*radio*/) {}
    virtual void onRadioRemoval(std::string /*radio*/) {}
    virtual ~RadioArrivalRemovalInternal() = default;
  };

  virtual ~IBluetoothBus() = default;

  // The paired Bluetooth device that the HID channel at `path` belongs to, or
  // null when the path is not a Bluetooth device's. A bus may remember its
  // answer per path, a null answer included. Never throws.
  virtual std::shared_ptr<IBluetoothDevice> device_paired_on_path(std::string path) = 0;

  // One device-change broadcast of the HID bus's notification window: `event`
  // is the broadcast code and `header` its header, which may be null. Runs on
  // that window's thread. The default ignores it, for buses that learn about
  // radios and devices another way.
  virtual void process_wm_devicechange(unsigned /*event*/, const void* /*header*/) {}
};

}  // namespace rodiz
