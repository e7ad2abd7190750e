#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/Producer.h"
#include "transport/IBluetoothDevice.h"

namespace rodiz {

class BluetoothMicrosoftBus;

// One Bluetooth device address as the system's Bluetooth stack knows it. Its
// connection state is unknown until the first query that a radio answers;
// later queries overwrite it and a failed query keeps it. The bus raises its
// connect, disconnect and unpair events from the radios' broadcasts, on the
// HID bus's window thread.
class BluetoothMicrosoftDevice : public IBluetoothDevice,
                                 public Producer<IBluetoothDevice::BtConnect>,
                                 public Producer<IBluetoothDevice::BtFastConnect>,
                                 public Producer<IBluetoothDevice::BtUnpair>,
                                 public std::enable_shared_from_this<BluetoothMicrosoftDevice> {
 public:
  BluetoothMicrosoftDevice(std::weak_ptr<BluetoothMicrosoftBus> bus, std::uint64_t address, int bus_type);

  // "%02X%02X:%02X:%02X%02X%02X" over the six bytes, most significant first.
  static std::string address_text(std::uint64_t address);

  bool connected() override;
  std::string connected_radio(std::string path, int bus_type) override;
  bool verify_pairing(std::string& radio) override;
  bool radio_present(const std::string& radio) override;
  int bus_type() override { return bus_type_; }
  std::string name() override;
  bool verify_connection_following_timeout() override { return true; }
  std::weak_ptr<IBluetoothBus> owning_bus() override;
  std::string path() override { return text_; }

  std::uint64_t address() const { return address_; }
  // The stored radio when the device is connected, without the device-tree
  // search (for the bus's radio removal).
  std::string stored_connected_radio();
  // While the radio is still "unknown", learns it and raises onBtPairingResolve.
  void resolve_unknown_connected_radio(const std::string& radio);
  // The event sequences of the bus.
  void connect_sequence(const std::string& radio);
  void disconnect_sequence();
  void unpair(const std::string& radio);

 private:
  const std::weak_ptr<BluetoothMicrosoftBus> bus_;
  const std::uint64_t address_;
  const std::string text_;
  const int bus_type_;
  std::mutex lock_;
  bool connected_known_ = false;
  bool connected_ = false;
  std::string connected_radio_;
};

}  // namespace rodiz
