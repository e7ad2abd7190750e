#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/DbusMockSession.h"

namespace rodiz::test {

// BlueZ on a private system bus: python-dbusmock's bluez5 template, driven
// over D-Bus. The template's own calls add adapters and devices, pair,
// connect and disconnect them; the FRAP GATT service and its characteristics
// are made with dbusmock's generic AddObject and announced with
// InterfacesAdded from the mock's object manager. A characteristic keeps
// what was written to it (WriteValue, or the AcquireWrite descriptor) and
// sends notifications through its AcquireNotify descriptor or as a change
// of its Value.
class BluezMock {
 public:
  BluezMock();
  ~BluezMock();
  BluezMock(const BluezMock&) = delete;
  BluezMock& operator=(const BluezMock&) = delete;

  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }
  const std::string& address() const { return session_.address(); }

  // "hci0" → "/org/bluez/hci0".
  std::string add_adapter(const std::string& name);
  void remove_adapter(const std::string& name);
  // A device on the adapter, neither paired nor connected; its object path.
  std::string add_device(const std::string& adapter, const std::string& address, const std::string& alias);
  void pair(const std::string& adapter, const std::string& address);
  void connect(const std::string& adapter, const std::string& address);
  void disconnect(const std::string& adapter, const std::string& address);
  // The adapter's RemoveDevice: BlueZ's way of unpairing.
  void remove_device(const std::string& adapter, const std::string& device_path);
  // Sets one boolean of an object's interface and sends PropertiesChanged.
  void set_flag(const std::string& path, const std::string& interface, const std::string& name, bool value);

  // The FRAP GATT service under `device_path` with the fixed-length and/or
  // the variable-length characteristic, with or without the Acquire calls.
  // Returns the service's path; the characteristics are <service>/char0 and
  // <service>/char1.
  std::string add_gatt_service(const std::string& device_path, bool fixed, bool variable, bool acquire);
  void remove_object(const std::string& path);
  // Values written to a characteristic, oldest first, taken.
  std::vector<std::vector<std::uint8_t>> written(const std::string& characteristic);
  // Sends one notification from a characteristic.
  void notify(const std::string& characteristic, const std::vector<std::uint8_t>& value);
  // Closes the characteristic's AcquireNotify descriptor, as BlueZ does when
  // the link goes.
  void hang_up(const std::string& characteristic);

 private:
  // A method call that must succeed (a failure fails the test).
  void call(const std::string& path, const std::string& interface, const std::string& member, const char* types, ...);
  sd_bus_message* start_call(const std::string& path, const std::string& interface, const std::string& member);
  void finish_call(sd_bus_message* call, sd_bus_message** reply = nullptr);
  void add_characteristic(const std::string& path, const std::string& service, const std::string& uuid, bool acquire);
  void announce(const std::string& path);

  DbusMockSession session_;
  sd_bus* client_ = nullptr;
  bool ready_ = false;
  std::string error_;
};

}  // namespace rodiz::test
