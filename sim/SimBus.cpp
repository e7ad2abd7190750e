#include "sim/SimBus.h"

#include <algorithm>

#include "sim/SimChannel.h"

namespace rodiz::sim {

SimBus::SimBus() = default;

SimBus::~SimBus() = default;

void SimBus::add(std::shared_ptr<SimMouse> mouse) {
  std::weak_ptr<SimBus> weak = weak_from_this();
  mouse->set_presence_listener([weak] {
    if (std::shared_ptr<SimBus> bus = weak.lock()) bus->refresh_channels();
  });
  {
    std::lock_guard<std::mutex> guard(lock_);
    devices_.push_back(mouse);
  }
  if (mouse->mode() == SimMouse::Mode::Absent) {
    mouse->start();
  } else {
    refresh_channels();
  }
}

void SimBus::remove(const std::shared_ptr<SimMouse>& mouse) { remove_device(mouse); }

void SimBus::add_device(std::shared_ptr<SimHidDevice> device) {
  std::weak_ptr<SimBus> weak = weak_from_this();
  device->set_presence_listener([weak] {
    if (std::shared_ptr<SimBus> bus = weak.lock()) bus->refresh_channels();
  });
  {
    std::lock_guard<std::mutex> guard(lock_);
    devices_.push_back(std::move(device));
  }
  refresh_channels();
}

void SimBus::remove_device(const std::shared_ptr<SimHidDevice>& device) {
  device->set_presence_listener(nullptr);
  {
    std::lock_guard<std::mutex> guard(lock_);
    devices_.erase(std::remove(devices_.begin(), devices_.end(), device), devices_.end());
  }
  refresh_channels();
}

void SimBus::refresh_channels() {
  std::vector<std::shared_ptr<SimChannel>> gone;
  std::vector<std::shared_ptr<SimChannel>> arrived;
  {
    std::lock_guard<std::mutex> guard(lock_);
    std::map<std::string, std::shared_ptr<SimChannel>> now;
    for (const auto& device : devices_) {
      for (const SimCollection& collection : device->collections()) {
        auto it = channels_.find(collection.path);
        if (it != channels_.end() && it->second->generation() == collection.generation) {
          now[collection.path] = it->second;
        } else {
          auto channel = std::make_shared<SimChannel>(weak_from_this(), device, collection);
          now[collection.path] = channel;
          arrived.push_back(channel);
        }
      }
    }
    for (const auto& [path, channel] : channels_) {
      auto it = now.find(path);
      if (it == now.end() || it->second != channel) gone.push_back(channel);
    }
    channels_ = std::move(now);
  }
  // Announced from the bus's own thread, removals first, like a real bus.
  std::weak_ptr<SimBus> weak = weak_from_this();
  for (auto& channel : gone) {
    events_.post([weak, channel] {
      if (std::shared_ptr<SimBus> bus = weak.lock()) {
        std::shared_ptr<IHardwareDevice> device = channel;
        bus->produce([device](IHardwareBus::PlugUnplug* s) { s->onUnplug(device); }, "SimBus::PlugUnplug::onUnplug");
      }
    });
  }
  for (auto& channel : arrived) {
    events_.post([weak, channel] {
      if (std::shared_ptr<SimBus> bus = weak.lock()) {
        std::shared_ptr<IHardwareDevice> device = channel;
        bus->produce([device](IHardwareBus::PlugUnplug* s) { s->onPlug(device); }, "SimBus::PlugUnplug::onPlug");
      }
    });
  }
}

void SimBus::resume_from_sleep() {
  std::weak_ptr<SimBus> weak = weak_from_this();
  for (bool standby : {true, false}) {
    events_.post([weak, standby] {
      if (std::shared_ptr<SimBus> bus = weak.lock()) {
        bus->produce([standby](IHardwareBus::PlugUnplug* s) { s->onPowerChange(standby); },
                     "SimBus::PlugUnplug::onPowerChange");
      }
    });
  }
}

void SimBus::wait_idle() { events_.wait_idle(); }

std::vector<std::shared_ptr<IHardwareDevice>> SimBus::devices() {
  std::lock_guard<std::mutex> guard(lock_);
  ++listings_;
  std::vector<std::shared_ptr<IHardwareDevice>> result;
  for (const auto& [path, channel] : channels_) result.push_back(channel);
  return result;
}

int SimBus::listings() const {
  std::lock_guard<std::mutex> guard(lock_);
  return listings_;
}

}  // namespace rodiz::sim
