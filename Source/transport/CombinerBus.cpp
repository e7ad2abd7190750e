#include "transport/CombinerBus.h"

#include "device/LastError.h"
#include "log/xLog.h"
#include "runtime/IDeviceManager.h"
#include "transport/CombinerDevice.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "CombinerBus";
#define BLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

bool single_complete_piece(const std::shared_ptr<IHardwareDevice>& channel) {
  return channel->collections_needed() == channel->collection_bit();
}
}  // namespace

bool CombinerBus::ByPath::operator()(const std::shared_ptr<CombinerDevice>& a,
                                     const std::shared_ptr<CombinerDevice>& b) const {
  return a->path() < b->path();
}

CombinerBus::CombinerBus(std::weak_ptr<IDeviceManager> manager, std::shared_ptr<IHardwareBus> inner)
    : inner_(std::move(inner)), manager_(std::move(manager)) {}

CombinerBus::~CombinerBus() { Subscriber<IHardwareBus::PlugUnplug>::leave_all(); }

bool CombinerBus::subscribe_inner() {
  return Subscriber<IHardwareBus::PlugUnplug>::subscribe(inner_, DeliveryRunLoop, "");
}

bool CombinerBus::on_subscribe(Subscriber<IHardwareBus::PlugUnplug>* /*s*/) {
  BLOG(LogDebug, "CombinerBus::on_subscribe enter");
  const bool result = subscribe_inner();
  BLOG(LogDebug, "CombinerBus::on_subscribe exit, ret=%d", result);
  return result;
}

std::vector<std::shared_ptr<IHardwareDevice>> CombinerBus::devices() {
  BLOG(LogDebug, "CombinerBus::devices enter");
  if (!subscribe_inner()) {
    BLOG(LogDebug, "CombinerBus::devices exit (false, subscribe failed)");
    return {};
  }
  BLOG(LogDebug, "CombinerBus::devices starting getting list of underlying devices");
  clear_last_error();
  const std::vector<std::shared_ptr<IHardwareDevice>> underlying = inner_->devices();
  const ErrorCode inner_error = last_error_code();
  BLOG(LogDebug, "CombinerBus::devices finished getting list of underlying devices");

  std::vector<std::shared_ptr<IHardwareDevice>> result;
  for (const auto& device : combined_) {
    if (device->whole()) result.push_back(device);
  }
  BLOG(LogDebug, "CombinerBus::devices discovering new devices");
  for (const auto& channel : underlying) {
    if (single_complete_piece(channel)) {
      BLOG(LogDebug, "CombinerBus::devices single complete piece");
      result.push_back(channel);
      continue;
    }
    auto candidate = std::make_shared<CombinerDevice>(weak_from_this(), channel);
    auto found = combined_.find(candidate);
    std::shared_ptr<CombinerDevice> device;
    bool was_whole = false;
    if (found == combined_.end()) {
      BLOG(LogDebug, "CombinerBus::devices using a piece to start creating a new device");
      combined_.insert(candidate);
      device = candidate;
    } else {
      device = *found;
      was_whole = device->whole();
      BLOG(LogDebug, "CombinerBus::devices merging in a piece");
      if (!device->add_piece(channel)) {
        BLOG(LogDebug, "CombinerBus::devices exit (false, failed to add piece, err=%d)", last_error_code());
        return {};
      }
    }
    if (device->whole() && !was_whole) {
      BLOG(LogDebug, "CombinerBus::devices adding a piece finished a device to completion");
      result.push_back(device);
      BLOG(LogDebug, "CombinerBus::devices producing onPlug event");
      std::shared_ptr<IHardwareDevice> plugged = device;
      Producer<IHardwareBus::PlugUnplug>::produce([plugged](IHardwareBus::PlugUnplug* s) { s->onPlug(plugged); },
                                                  "CombinerBus::PlugUnplug::onPlug");
    }
  }
  if (underlying.empty() && inner_error != NoError) {
    set_last_error(inner_error);
    BLOG(LogDebug, "CombinerBus::devices exit (propogating error %d)", inner_error);
    return {};
  }
  if (result.empty()) clear_last_error();
  BLOG(LogDebug, "CombinerBus::devices exit (success, returning %d devices)", static_cast<int>(result.size()));
  return result;
}

void CombinerBus::onPlug(std::shared_ptr<IHardwareDevice> device) {
  BLOG(LogDebug, "CombinerBus::onPlug enter (pid = 0x%x)", static_cast<unsigned>(device->pid()));
  if (!device->open()) {
    BLOG(LogDebug, "CombinerBus::onPlug exit, ignoring device it could not open");
    return;
  }
  if (single_complete_piece(device)) {
    BLOG(LogDebug, "CombinerBus::onPlug producing onPlug event");
    Producer<IHardwareBus::PlugUnplug>::produce([device](IHardwareBus::PlugUnplug* s) { s->onPlug(device); },
                                                "CombinerBus::PlugUnplug::onPlug");
  } else {
    const auto result = devices();
    if (result.empty() && last_error_code() != NoError) {
      if (std::shared_ptr<IDeviceManager> manager = manager_.lock()) {
        manager->report_unreported_error("CombinerBus::onPlug");
      }
    }
  }
  BLOG(LogDebug, "CombinerBus::onPlug exit");
}

void CombinerBus::onUnplug(std::shared_ptr<IHardwareDevice> device) {
  BLOG(LogDebug, "CombinerBus::onUnplug enter (pid = 0x%x)", static_cast<unsigned>(device->pid()));
  BLOG(LogDebug, "CombinerBus::onUnplug producing unPlug event for individual piece");
  Producer<IHardwareBus::PlugUnplug>::produce([device](IHardwareBus::PlugUnplug* s) { s->onUnplug(device); },
                                              "CombinerBus::PlugUnplug::onUnplug");
  for (auto it = combined_.begin(); it != combined_.end();) {
    std::shared_ptr<CombinerDevice> combined = *it;
    const bool was_whole = combined->whole();
    const bool empty = combined->remove_piece(device);
    if (empty) {
      BLOG(LogDebug, "CombinerBus::onUnplug removing device");
      it = combined_.erase(it);
    } else {
      ++it;
    }
    if (was_whole && !combined->whole()) {
      BLOG(LogDebug, "CombinerBus::onUnplug producing unPlug event for combined device");
      std::shared_ptr<IHardwareDevice> unplugged = combined;
      Producer<IHardwareBus::PlugUnplug>::produce([unplugged](IHardwareBus::PlugUnplug* s) { s->onUnplug(unplugged); },
                                                  "CombinerBus::PlugUnplug::onUnplug");
    }
  }
  BLOG(LogDebug, "CombinerBus::onUnplug exit");
}

void CombinerBus::onPowerChange(bool standBy) {
  BLOG(LogInfo, "CombinerBus::onPowerChange(standBy=%d)", standBy);
  Producer<IHardwareBus::PlugUnplug>::produce([standBy](IHardwareBus::PlugUnplug* s) { s->onPowerChange(standBy); },
                                              "CombinerBus::PlugUnplug::onPowerChange");
}

}  // namespace rodiz
