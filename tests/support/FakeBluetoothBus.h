#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "runtime/Producer.h"
#include "transport/IBluetoothBus.h"

namespace rodiz::test {

class FakeBluetoothDevice;

// A Bluetooth layer the test drives by hand: which HID paths belong to which
// paired device, and which radios are present. Radio events are raised on the
// calling thread, as a real bus raises them on its own.
class FakeBluetoothBus : public IBluetoothBus,
                         public Producer<IBluetoothBus::RadioArrivalRemovalExternal>,
                         public std::enable_shared_from_this<FakeBluetoothBus> {
 public:
  std::shared_ptr<IBluetoothDevice> device_paired_on_path(std::string path) override;

  // A device of `bus_type` (2 or 3) whose HID channels have `paths`.
  std::shared_ptr<FakeBluetoothDevice> add_device(int bus_type, const std::set<std::string>& paths,
                                                  std::string name = "BT Mouse");
  // The path no longer belongs to any device.
  void forget_path(const std::string& path);
  void add_radio(const std::string& radio);
  void remove_radio(const std::string& radio);
  bool has_radio(const std::string& radio);
  // Subscriptions and path questions are refused with `code` (NoError:
  // answered), like a bus whose Bluetooth is switched off.
  void refuse_subscriptions(ErrorCode code) { refuse_ = code; }

 protected:
  bool on_subscribe(Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>* s) override;

 private:
  std::mutex lock_;
  std::map<std::string, std::shared_ptr<FakeBluetoothDevice>> by_path_;
  std::set<std::string> radios_;
  ErrorCode refuse_ = NoError;
};

}  // namespace rodiz::test
