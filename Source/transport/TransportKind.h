#pragma once

namespace rodiz {

// What carries a hardware device's reports. The numeric values are the
// `bus_type` integers that channels report and that callers compare with, so
// they must not change.
enum class TransportKind : int {
  Hid = 0,       // a HID collection on the device stack, a combined device or a receiver itself
  Receiver = 1,  // a device reached through a receiver
  BluetoothClassic = 2,
  BluetoothLowEnergy = 3,
  Gatt = 4,  // a low-energy device through its GATT service
};

constexpr TransportKind transport_kind(int bus_type) { return static_cast<TransportKind>(bus_type); }
constexpr int bus_type_of(TransportKind kind) { return static_cast<int>(kind); }

}  // namespace rodiz
