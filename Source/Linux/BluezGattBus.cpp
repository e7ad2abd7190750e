#include "Linux/BluezGattBus.h"

#include "Linux/BluezBus.h"
#include "Linux/BluezGattChannel.h"
#include "device/LastError.h"
#include "log/xLog.h"
#include "runtime/IDeviceManager.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "BluezGattBus";
#define GLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)
// The manager's item that switches the GATT transport off.
constexpr unsigned kGattOffItem = 6;
}  // namespace

BluezGattBus::BluezGattBus(std::shared_ptr<BluezBus> bluez, std::weak_ptr<IDeviceManager> manager)
    : bluez_(std::move(bluez)), manager_(std::move(manager)) {}

void BluezGattBus::attach() { bluez_->attach_gatt(shared_from_this()); }

std::shared_ptr<IHardwareDevice> BluezGattBus::make_channel(const std::string& path, std::uint16_t product) {
  return std::make_shared<BluezGattChannel>(weak_from_this(), bluez_, path, product);
}

bool BluezGattBus::on_subscribe(Subscriber<IHardwareBus::PlugUnplug>* /*s*/) {
  GLOG(LogInfo, "BluezGattBus::on_subscribe enter");
  // Without BlueZ the bus stays empty; that is no reason to refuse.
  bluez_->start();
  return true;
}

std::vector<std::shared_ptr<IHardwareDevice>> BluezGattBus::devices() {
  GLOG(LogInfo, "BluezGattBus::devices enter");
  std::vector<std::shared_ptr<IHardwareDevice>> result;
  clear_last_error();
  if (!bluez_->start()) return result;
  for (const BluezBus::GattService& service : bluez_->gatt_services()) {
    GLOG(LogInfo, "BluezGattBus::EnumerateInterfaces adding device to list (%s)", service.path.c_str());
    result.push_back(make_channel(service.path, service.product));
  }
  GLOG(LogInfo, "BluezGattBus::devices exit, returning %d devices", static_cast<int>(result.size()));
  return result;
}

void BluezGattBus::plugged(const std::string& path) {
  BluezBus::GattService service;
  if (!bluez_->gatt_service(path, service)) return;  // gone again before it could be told
  std::shared_ptr<IHardwareDevice> channel = make_channel(path, service.product);
  GLOG(LogInfo, "BluezGattBus arrival producing onPlug event (%s)", path.c_str());
  produce([channel](IHardwareBus::PlugUnplug* s) { s->onPlug(channel); }, "BluezGattBus::PlugUnplug::onPlug");
}

void BluezGattBus::unplugged(const std::string& path) {
  // Devices are matched by path upstream, so a fresh object stands for the one removed.
  std::shared_ptr<IHardwareDevice> channel = make_channel(path, 0);
  GLOG(LogInfo, "BluezGattBus removal producing onUnplug event (%s)", path.c_str());
  produce([channel](IHardwareBus::PlugUnplug* s) { s->onUnplug(channel); }, "BluezGattBus::PlugUnplug::onUnplug");
}

bool BluezGattBus::verify_device_exists(const std::string& path) {
  BluezBus::GattService service;
  if (bluez_->gatt_service(path, service)) {
    GLOG(LogInfo, "BluezGattBus::verify_device_exists - device is present: %s", path.c_str());
    return true;
  }
  GLOG(LogWarning, "BluezGattBus::verify_device_exists - device was lost: %s", path.c_str());
  read_failed_with_disconnect_error(path);
  return false;
}

void BluezGattBus::read_failed_with_disconnect_error(const std::string& path) { unplugged(path); }

bool BluezGattBus::transport_disabled() {
  bool value = false;
  std::shared_ptr<IDeviceManager> manager = manager_.lock();
  return manager && manager->config_get(kGattOffItem, &value) && value;
}

}  // namespace rodiz
