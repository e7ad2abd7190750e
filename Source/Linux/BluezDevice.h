#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/Producer.h"
#include "transport/IBluetoothDevice.h"

namespace rodiz {

class BluezBus;

// One Bluetooth device known to BlueZ, by address, for the lifetime of its
// bus. Its state is BlueZ's (the Device1 object's Paired, Connected, Adapter
// and Name), which the bus mirrors; the bus raises its connect, disconnect
// and unpair events on its own thread. A radio is the object path of a BlueZ
// adapter ("/org/bluez/hci0").
class BluezDevice : public IBluetoothDevice,
                    public Producer<IBluetoothDevice::BtConnect>,
                    public Producer<IBluetoothDevice::BtFastConnect>,
                    public Producer<IBluetoothDevice::BtUnpair> {
 public:
  BluezDevice(std::weak_ptr<BluezBus> bus, std::uint64_t address);

  // Connected according to BlueZ, through a radio that is present.
  bool connected() override;
  // The adapter the device is connected through, empty when not connected.
  std::string connected_radio(std::string path, int bus_type) override;
  // A radio that is not present fails with RadioNotPresent; a device that
  // BlueZ no longer lists as paired to `radio` has `radio` cleared.
  bool verify_pairing(std::string& radio) override;
  bool radio_present(const std::string& radio) override;
  // 3 when BlueZ describes a low-energy device (a random address, the HID
  // over GATT service or the FRAP GATT service), else 2.
  int bus_type() override;
  std::string name() override;
  std::weak_ptr<IBluetoothBus> owning_bus() override;
  // The address in the library's text form ("0011:22:334455").
  std::string path() override { return text_; }

  std::uint64_t address() const { return address_; }

  // Sequences the bus runs on its thread, outside its own lock.
  void connect_sequence(const std::string& radio);
  void disconnect_sequence();
  void unpair(const std::string& radio);

 private:
  const std::weak_ptr<BluezBus> bus_;
  const std::uint64_t address_;
  const std::string text_;
  std::mutex lock_;
  // The last state learned, kept for when BlueZ cannot be asked.
  bool known_ = false;
  bool connected_ = false;
  bool low_energy_ = false;
  std::string connected_radio_;
};

}  // namespace rodiz
