#pragma once

namespace rodiz {

// The device manager's configuration items. The numbers are those of
// config_get/config_set, which applications pass as plain integers.
enum class ConfigItem : unsigned {
  BluetoothActive = 0,      // accept Bluetooth classic devices
  BleActive = 1,            // accept Bluetooth low-energy devices
  BleMonitor = 2,           // read by the pairing filter
  UseBlepp = 3,             // read by the pairing filter
  AcceptReceivers = 4,      // accept receivers and their devices, build receiver buses
  AcceptDirectDevices = 5,  // accept every other device on the HID stack
  GattOption = 6,           // process-wide option of the GATT transport
  BrbWorkaround = 7,        // devices behind a receiver enable the brb workaround
  GenericCache = 8,         // devices keep the feature cache file
};

constexpr unsigned item_number(ConfigItem item) { return static_cast<unsigned>(item); }

}  // namespace rodiz
