#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/Producer.h"
#include "transport/IHardwareSecondaryBus.h"

namespace rodiz {

class BluezBus;
class IDeviceManager;

// The GATT bus of Linux: one BluezGattChannel (bus type 4) per FRAP GATT
// service that BlueZ offers on a connected device. It lives on the Bluetooth
// bus's thread and object list: a service whose device connects (or whose
// objects appear) raises onPlug, one whose device disconnects or whose
// objects go raises onUnplug, each with a fresh channel for the service's
// object path. Without BlueZ it lists nothing.
class BluezGattBus : public IHardwareSecondaryBus,
                     public Producer<IHardwareBus::PlugUnplug>,
                     public std::enable_shared_from_this<BluezGattBus> {
 public:
  BluezGattBus(std::shared_ptr<BluezBus> bluez, std::weak_ptr<IDeviceManager> manager);

  // Attaches the bus to the Bluetooth bus; call once, right after make_shared.
  void attach();

  std::vector<std::shared_ptr<IHardwareDevice>> devices() override;

  // Whether the service is still offered; a lost one raises onUnplug.
  bool verify_device_exists(const std::string& path);
  // A channel found its service gone: raises onUnplug for the path.
  void read_failed_with_disconnect_error(const std::string& path);
  // Configuration item 6 of the manager: the GATT transport is switched off.
  bool transport_disabled();

  // From the Bluetooth bus's thread.
  void plugged(const std::string& path);
  void unplugged(const std::string& path);

 protected:
  bool on_subscribe(Subscriber<IHardwareBus::PlugUnplug>* s) override;

 private:
  std::shared_ptr<IHardwareDevice> make_channel(const std::string& path, std::uint16_t product);

  const std::shared_ptr<BluezBus> bluez_;
  const std::weak_ptr<IDeviceManager> manager_;
};

}  // namespace rodiz
