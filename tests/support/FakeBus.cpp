#include "support/FakeBus.h"

#include <algorithm>

#include "device/LastError.h"

namespace rodiz::test {

std::vector<std::shared_ptr<IHardwareDevice>> FakeBus::devices() {
  std::lock_guard<std::mutex> guard(lock_);
  ++enumerations_;
  if (failure_ != NoError) {
    set_last_error(failure_);
    return {};
  }
  clear_last_error();
  return devices_;
}

void FakeBus::plug(std::shared_ptr<IHardwareDevice> device) {
  if (auto channel = std::dynamic_pointer_cast<FakeChannel>(device)) channel->set_bus(weak_from_this());
  {
    std::lock_guard<std::mutex> guard(lock_);
    devices_.push_back(device);
  }
  produce([device](IHardwareBus::PlugUnplug* s) { s->onPlug(device); }, "FakeBus::PlugUnplug::onPlug");
}

void FakeBus::unplug(const std::shared_ptr<IHardwareDevice>& device) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    devices_.erase(std::remove(devices_.begin(), devices_.end(), device), devices_.end());
  }
  produce([device](IHardwareBus::PlugUnplug* s) { s->onUnplug(device); }, "FakeBus::PlugUnplug::onUnplug");
}

void FakeBus::power_change(bool standby) {
  produce([standby](IHardwareBus::PlugUnplug* s) { s->onPowerChange(standby); }, "FakeBus::PlugUnplug::onPowerChange");
}

}  // namespace rodiz::test
