#include "Windows/BluetoothMicrosoftDevice.h"

#include <cstdio>

#include "Windows/BluetoothMicrosoftBus.h"
#include "device/LastError.h"
#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "BluetoothMicrosoftDevice";
#define DLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)
constexpr const char* kUnknown = "unknown";
}  // namespace

BluetoothMicrosoftDevice::BluetoothMicrosoftDevice(std::weak_ptr<BluetoothMicrosoftBus> bus, std::uint64_t address,
                                                   int bus_type)
    : bus_(std::move(bus)), address_(address), text_(address_text(address)), bus_type_(bus_type) {}

std::string BluetoothMicrosoftDevice::address_text(std::uint64_t address) {
  unsigned b[6];
  for (int i = 0; i < 6; ++i) b[i] = static_cast<unsigned>((address >> (8 * (5 - i))) & 0xFF);
  char text[32];
  std::snprintf(text, sizeof text, "%02X%02X:%02X:%02X%02X%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
  return text;
}

std::weak_ptr<IBluetoothBus> BluetoothMicrosoftDevice::owning_bus() {
  std::shared_ptr<IBluetoothBus> bus = bus_.lock();
  return bus;
}

bool BluetoothMicrosoftDevice::connected() {
  bool answered = false;
  bool connected = false;
  std::string radio;
  if (std::shared_ptr<BluetoothMicrosoftBus> bus = bus_.lock()) {
    if (!bus->lazy_start()) {
      DLOG(LogInfo, "BluetoothMicrosoftDevice::connected exit, false - lazy start failed");
      return false;
    }
    answered = bus->get_connect_state_via_bgdi(address_, bus_type_, connected, radio);
  }
  std::lock_guard<std::mutex> guard(lock_);
  if (answered) {
    connected_ = connected;
    connected_radio_ = radio;
    connected_known_ = true;
    return connected_;
  }
  if (!connected_known_) {
    // Nobody could answer yet: better to try the device than to refuse it.
    connected_ = true;
    if (connected_radio_.empty()) connected_radio_ = kUnknown;
    DLOG(LogInfo, "BluetoothMicrosoftDevice::connected returning true (unknown)");
    return true;
  }
  return connected_;
}

std::string BluetoothMicrosoftDevice::stored_connected_radio() {
  std::lock_guard<std::mutex> guard(lock_);
  return connected_ ? connected_radio_ : std::string();
}

std::string BluetoothMicrosoftDevice::connected_radio(std::string path, int /*bus_type*/) {
  std::string radio = stored_connected_radio();
  if (radio == kUnknown && !path.empty()) {
    if (std::shared_ptr<BluetoothMicrosoftBus> bus = bus_.lock()) {
      std::string found = bus->find_radio_via_pnp(path);
      if (!found.empty()) {
        DLOG(LogInfo, "BluetoothMicrosoftDevice::connected_radio using results from pnp crawl");
        std::lock_guard<std::mutex> guard(lock_);
        connected_radio_ = found;
        radio = found;
      }
    }
  }
  return radio;
}

bool BluetoothMicrosoftDevice::verify_pairing(std::string& radio) {
  std::shared_ptr<BluetoothMicrosoftBus> bus = bus_.lock();
  if (!bus) {
    set_last_error(ShuttingDown);
    return false;
  }
  if (!bus->lazy_start()) {
    DLOG(LogInfo, "BluetoothMicrosoftDevice::verify_pairing exit, false - lazy start failed");
    return false;
  }
  return bus->verify_pairing_via_bgdi(address_, bus_type_, radio);
}

bool BluetoothMicrosoftDevice::radio_present(const std::string& radio) {
  std::shared_ptr<BluetoothMicrosoftBus> bus = bus_.lock();
  return bus && bus->radio_present(radio);
}

std::string BluetoothMicrosoftDevice::name() {
  std::shared_ptr<BluetoothMicrosoftBus> bus = bus_.lock();
  if (!bus) {
    set_last_error(ShuttingDown);
    return {};
  }
  if (!bus->lazy_start()) {
    DLOG(LogInfo, "BluetoothMicrosoftDevice::name exit, empty - lazy start failed");
    return {};
  }
  return bus->name_via_bgdi(address_);
}

void BluetoothMicrosoftDevice::resolve_unknown_connected_radio(const std::string& radio) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (connected_radio_ != kUnknown) return;
    connected_radio_ = radio;
  }
  Producer<BtConnect>::produce([radio](BtConnect* s) { s->onBtPairingResolve(radio); },
                               "BluetoothMicrosoftDevice::BtConnect::onBtPairingResolve");
}

void BluetoothMicrosoftDevice::connect_sequence(const std::string& radio) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    connected_radio_ = radio;
    connected_ = true;
    connected_known_ = true;
  }
  Producer<BtFastConnect>::produce([](BtFastConnect* s) { s->onBtFastConnect(); },
                                   "BluetoothMicrosoftDevice::BtFastConnect::onBtFastConnect");
  Producer<BtConnect>::produce([radio](BtConnect* s) { s->onBtConnect(radio); },
                               "BluetoothMicrosoftDevice::BtConnect::onBtConnect");
}

void BluetoothMicrosoftDevice::disconnect_sequence() {
  {
    // The broadcast is an answer too: later queries start from it.
    std::lock_guard<std::mutex> guard(lock_);
    connected_ = false;
    connected_known_ = true;
  }
  Producer<BtFastConnect>::produce([](BtFastConnect* s) { s->onBtFastDisconnect(); },
                                   "BluetoothMicrosoftDevice::BtFastConnect::onBtFastDisconnect");
  Producer<BtConnect>::produce([](BtConnect* s) { s->onBtDisconnect(); },
                               "BluetoothMicrosoftDevice::BtConnect::onBtDisconnect");
}

void BluetoothMicrosoftDevice::unpair(const std::string& radio) {
  Producer<BtUnpair>::produce([radio](BtUnpair* s) { s->onBtUnpair(radio); },
                              "BluetoothMicrosoftDevice::BtUnpair::onBtUnpair");
}

}  // namespace rodiz
