#include "Linux/BluezDevice.h"

#include "Linux/BluezBus.h"
#include "Linux/BluezIdentity.h"
#include "device/LastError.h"
#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "BluezDevice";
#define DLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)
constexpr const char* kUnknownRadio = "unknown";
}  // namespace

BluezDevice::BluezDevice(std::weak_ptr<BluezBus> bus, std::uint64_t address)
    : bus_(std::move(bus)), address_(address), text_(BluezIdentity::library_text(address)) {}

bool BluezDevice::connected() {
  BluezBus::DeviceView view;
  std::shared_ptr<BluezBus> bus = bus_.lock();
  const bool answered = bus && bus->view(address_, view);
  std::lock_guard<std::mutex> guard(lock_);
  if (!answered) {
    if (!known_) {
      // Never learned: not a reason to refuse the device.
      if (connected_radio_.empty()) connected_radio_ = kUnknownRadio;
      DLOG(LogInfo, "BluezDevice::connected returning true (unknown)");
      return true;
    }
    return connected_;
  }
  known_ = true;
  low_energy_ = view.low_energy;
  connected_ = view.listed && view.connected && bus->radio_present(view.adapter);
  connected_radio_ = connected_ ? view.adapter : std::string();
  DLOG(LogInfo, "BluezDevice::connected %s returning %d", text_.c_str(), connected_ ? 1 : 0);
  return connected_;
}

std::string BluezDevice::connected_radio(std::string /*path*/, int /*bus_type*/) {
  BluezDevice::connected();
  std::lock_guard<std::mutex> guard(lock_);
  return connected_radio_;
}

bool BluezDevice::verify_pairing(std::string& radio) {
  if (radio == kUnknownRadio) return true;
  std::shared_ptr<BluezBus> bus = bus_.lock();
  if (!bus) {
    set_last_error(ShuttingDown, 0, "Bluetooth bus gone");
    return false;
  }
  if (!bus->radio_present(radio)) {
    set_last_error(RadioNotPresent, 0, "radio not present");
    DLOG(LogInfo, "BluezDevice::verify_pairing radio not present: %s", radio.c_str());
    return false;
  }
  BluezBus::DeviceView view;
  if (!bus->view(address_, view)) {
    set_last_error(BluetoothDeviceInfoFailed, 0, "BlueZ did not answer");
    return false;
  }
  if (!view.listed || !view.paired || view.adapter != radio) {
    DLOG(LogInfo, "BluezDevice::verify_pairing %s is no longer paired to %s", text_.c_str(), radio.c_str());
    radio.clear();
  }
  return true;
}

bool BluezDevice::radio_present(const std::string& radio) {
  std::shared_ptr<BluezBus> bus = bus_.lock();
  return bus && bus->radio_present(radio);
}

int BluezDevice::bus_type() {
  BluezBus::DeviceView view;
  std::shared_ptr<BluezBus> bus = bus_.lock();
  const bool answered = bus && bus->view(address_, view);
  std::lock_guard<std::mutex> guard(lock_);
  if (answered && view.listed) low_energy_ = view.low_energy;
  return low_energy_ ? 3 : 2;
}

std::string BluezDevice::name() {
  BluezBus::DeviceView view;
  std::shared_ptr<BluezBus> bus = bus_.lock();
  if (!bus) {
    set_last_error(ShuttingDown, 0, "Bluetooth bus gone");
    return {};
  }
  if (!bus->view(address_, view)) return {};
  return view.name;
}

std::weak_ptr<IBluetoothBus> BluezDevice::owning_bus() { return bus_; }

void BluezDevice::connect_sequence(const std::string& radio) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    known_ = true;
    connected_ = true;
    connected_radio_ = radio;
  }
  DLOG(LogInfo, "Bluetooth device %s has connected (%s)", text_.c_str(), radio.c_str());
  Producer<BtFastConnect>::produce([](BtFastConnect* s) { s->onBtFastConnect(); },
                                   "BluezDevice::BtFastConnect::onBtFastConnect");
  Producer<BtConnect>::produce([radio](BtConnect* s) { s->onBtConnect(radio); }, "BluezDevice::BtConnect::onBtConnect");
}

void BluezDevice::disconnect_sequence() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    known_ = true;
    connected_ = false;
    connected_radio_.clear();
  }
  DLOG(LogInfo, "Bluetooth device %s has disconnected", text_.c_str());
  Producer<BtFastConnect>::produce([](BtFastConnect* s) { s->onBtFastDisconnect(); },
                                   "BluezDevice::BtFastConnect::onBtFastDisconnect");
  Producer<BtConnect>::produce([](BtConnect* s) { s->onBtDisconnect(); }, "BluezDevice::BtConnect::onBtDisconnect");
}

void BluezDevice::unpair(const std::string& radio) {
  DLOG(LogInfo, "Bluetooth device %s has unpaired from %s", text_.c_str(), radio.c_str());
  Producer<BtUnpair>::produce([radio](BtUnpair* s) { s->onBtUnpair(radio); }, "BluezDevice::BtUnpair::onBtUnpair");
}

}  // namespace rodiz
