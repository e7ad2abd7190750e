#include "support/FakeBluetoothDevice.h"

#include "device/LastError.h"
#include "support/FakeBluetoothBus.h"

namespace rodiz::test {

FakeBluetoothDevice::FakeBluetoothDevice(std::weak_ptr<FakeBluetoothBus> bus, int bus_type, std::string address,
                                         std::string name)
    : bus_(std::move(bus)), bus_type_(bus_type), address_(std::move(address)), name_(std::move(name)) {}

void FakeBluetoothDevice::connect(const std::string& radio) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    radio_ = radio;
  }
  connected_ = true;
  Producer<BtFastConnect>::produce([](BtFastConnect* s) { s->onBtFastConnect(); },
                                   "FakeBluetoothDevice::BtFastConnect::onBtFastConnect");
  Producer<BtConnect>::produce([radio](BtConnect* s) { s->onBtConnect(radio); },
                               "FakeBluetoothDevice::BtConnect::onBtConnect");
}

void FakeBluetoothDevice::disconnect() {
  connected_ = false;
  Producer<BtFastConnect>::produce([](BtFastConnect* s) { s->onBtFastDisconnect(); },
                                   "FakeBluetoothDevice::BtFastConnect::onBtFastDisconnect");
  Producer<BtConnect>::produce([](BtConnect* s) { s->onBtDisconnect(); },
                               "FakeBluetoothDevice::BtConnect::onBtDisconnect");
}

void FakeBluetoothDevice::unpair(const std::string& radio) {
  Producer<BtUnpair>::produce([radio](BtUnpair* s) { s->onBtUnpair(radio); },
                              "FakeBluetoothDevice::BtUnpair::onBtUnpair");
}

std::string FakeBluetoothDevice::connected_radio(std::string /*path*/, int /*bus_type*/) {
  std::lock_guard<std::mutex> guard(lock_);
  return connected_ ? radio_ : std::string();
}

bool FakeBluetoothDevice::verify_pairing(std::string& radio) {
  if (radio == "unknown") return true;
  if (verification_fails_ || !radio_present(radio)) {
    set_last_error(RadioNotPresent);
    return false;
  }
  if (pairing_lost_) radio.clear();
  return true;
}

bool FakeBluetoothDevice::radio_present(const std::string& radio) {
  std::shared_ptr<FakeBluetoothBus> bus = bus_.lock();
  return bus && bus->has_radio(radio);
}

std::weak_ptr<IBluetoothBus> FakeBluetoothDevice::owning_bus() {
  std::shared_ptr<IBluetoothBus> bus = bus_.lock();
  return bus;
}

}  // namespace rodiz::test
