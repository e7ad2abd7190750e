#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/Producer.h"
#include "transport/IBluetoothDevice.h"

namespace rodiz::test {

class FakeBluetoothBus;

// One paired device of FakeBluetoothBus. The test connects, disconnects and
// unpairs it; the events are raised on the calling thread, in the order a
// real Bluetooth layer raises them.
class FakeBluetoothDevice : public IBluetoothDevice,
                            public Producer<IBluetoothDevice::BtConnect>,
                            public Producer<IBluetoothDevice::BtFastConnect>,
                            public Producer<IBluetoothDevice::BtUnpair> {
 public:
  FakeBluetoothDevice(std::weak_ptr<FakeBluetoothBus> bus, int bus_type, std::string address, std::string name);

  // Fast connect, then connect through `radio`.
  void connect(const std::string& radio);
  // Fast disconnect, then disconnect.
  void disconnect();
  void unpair(const std::string& radio);
  // verify_pairing finds the pairing gone (true) or cannot ask (false).
  void lose_pairing() { pairing_lost_ = true; }
  void fail_verification(bool fail) { verification_fails_ = fail; }

  bool connected() override { return connected_; }
  std::string connected_radio(std::string path, int bus_type) override;
  bool verify_pairing(std::string& radio) override;
  bool radio_present(const std::string& radio) override;
  int bus_type() override { return bus_type_; }
  std::string name() override { return name_; }
  std::weak_ptr<IBluetoothBus> owning_bus() override;
  std::string path() override { return address_; }

 private:
  const std::weak_ptr<FakeBluetoothBus> bus_;
  const int bus_type_;
  const std::string address_;
  const std::string name_;
  std::atomic<bool> connected_{false};
  std::atomic<bool> pairing_lost_{false};
  std::atomic<bool> verification_fails_{false};
  std::mutex lock_;
  std::string radio_;
};

}  // namespace rodiz::test
