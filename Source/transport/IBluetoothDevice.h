#pragma once

#include <memory>
#include <string>

namespace rodiz {

class IBluetoothBus;

// One paired Bluetooth device, as the pairing filter sees it: whether it is
// connected and through which radio, whether its pairing still holds, and
// events when it connects, disconnects or is unpaired. One object stands for
// one device address for the lifetime of its bus. Every implementation is also
// a Producer of BtConnect, BtFastConnect and BtUnpair and is created as a
// shared object holding only a weak pointer to its bus.
class IBluetoothDevice {
 public:
  // The device connected to or disconnected from a radio, or the radio of an
  // earlier connection (reported as "unknown") became known. Subscribers that
  // act on it take it through the run loop.
  class BtConnect {
   public:
    virtual void onBtConnect(std::string /*radio*/) {}
    virtual void onBtPairingResolve(std::string /*radio*/) {}
    virtual void onBtDisconnect() {}
    virtual ~BtConnect() = default;
  };

  // The low-level link came up or went down. Raised on the Bluetooth layer's
  // thread just before the matching BtConnect event, so that writes stop at
  // once; subscribers take it with immediate delivery.
  class BtFastConnect {
   public:
    virtual void onBtFastConnect() {}
    virtual void onBtFastDisconnect() {}
    virtual ~BtFastConnect() = default;
  };

  // The device's pairing to `radio` was removed.
  class BtUnpair {
   public:
    virtual void onBtUnpair(std::string /*radio*/) {}
    virtual ~BtUnpair() = default;
  };

  virtual ~IBluetoothDevice() = default;

  // Asks the Bluetooth layer whether the device is connected now. When no
  // radio can answer and the state was never learned, the device counts as
  // connected through the radio "unknown", so that a device is not refused
  // for want of an answer; later failures keep the last state learned.
  virtual bool connected() = 0;
  // The radio the device is connected through, or empty when it is not
  // connected. `path` and `bus_type` are those of the device's HID channel and
  // may help to find the radio when it is still "unknown"; `path` may be empty.
  virtual std::string connected_radio(std::string path, int bus_type) = 0;
  // Checks that the device is still paired to `radio`. Returns false, with
  // LastError set, only when the question could not be asked (the radio is
  // not present, the query failed). A pairing found lost is answered with true
  // and `radio` cleared; "unknown" is accepted as it is.
  virtual bool verify_pairing(std::string& radio) = 0;
  // Whether `radio` is present now; false also when the bus is gone.
  virtual bool radio_present(const std::string& radio) = 0;
  // 2 for a classic device, 3 for a low-energy device.
  virtual int bus_type() = 0;
  // The device's name as the Bluetooth layer knows it; empty when nothing
  // answers.
  virtual std::string name() = 0;
  // Asked after a command timed out: false means the device is no longer
  // reachable and should be treated as disconnected.
  virtual bool verify_connection_following_timeout() { return true; }
  // The bus that made the device; expired once that bus is gone.
  virtual std::weak_ptr<IBluetoothBus> owning_bus() = 0;
  // The device's stable identity on its bus (its address text).
  virtual std::string path() = 0;
};

}  // namespace rodiz
