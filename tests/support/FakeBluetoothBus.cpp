#include "support/FakeBluetoothBus.h"

#include "device/LastError.h"
#include "support/FakeBluetoothDevice.h"

namespace rodiz::test {

std::shared_ptr<IBluetoothDevice> FakeBluetoothBus::device_paired_on_path(std::string path) {
  std::lock_guard<std::mutex> guard(lock_);
  if (refuse_ != NoError) {
    set_last_error(refuse_);
    return nullptr;
  }
  auto found = by_path_.find(path);
  return found == by_path_.end() ? nullptr : found->second;
}

std::shared_ptr<FakeBluetoothDevice> FakeBluetoothBus::add_device(int bus_type, const std::set<std::string>& paths,
                                                                  std::string name) {
  std::lock_guard<std::mutex> guard(lock_);
  const std::string address = "0011:22:3344" + std::to_string(by_path_.size());
  auto device = std::make_shared<FakeBluetoothDevice>(weak_from_this(), bus_type, address, std::move(name));
  for (const std::string& path : paths) by_path_[path] = device;
  return device;
}

void FakeBluetoothBus::forget_path(const std::string& path) {
  std::lock_guard<std::mutex> guard(lock_);
  by_path_.erase(path);
}

void FakeBluetoothBus::add_radio(const std::string& radio) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    radios_.insert(radio);
  }
  produce([radio](IBluetoothBus::RadioArrivalRemovalExternal* s) { s->onRadioArrival(radio); },
          "FakeBluetoothBus::RadioArrivalRemovalExternal::onRadioArrival");
}

void FakeBluetoothBus::remove_radio(const std::string& radio) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    radios_.erase(radio);
  }
  produce([radio](IBluetoothBus::RadioArrivalRemovalExternal* s) { s->onRadioRemoval(radio); },
          "FakeBluetoothBus::RadioArrivalRemovalExternal::onRadioRemoval");
}

bool FakeBluetoothBus::has_radio(const std::string& radio) {
  std::lock_guard<std::mutex> guard(lock_);
  return radios_.count(radio) != 0;
}

bool FakeBluetoothBus::on_subscribe(Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>* /*s*/) {
  if (refuse_ == NoError) return true;
  set_last_error(refuse_);
  return false;
}

}  // namespace rodiz::test
