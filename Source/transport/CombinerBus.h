#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "runtime/Subscriber.h"
#include "transport/IHardwareBus.h"

namespace rodiz {

class CombinerDevice;
class IDeviceManager;

// A filter bus over a bus of single HID collections: it groups the channels by
// combine_key and announces a device only once all its collections are there.
// A channel that is a whole device by itself passes through unchanged.
class CombinerBus : public IHardwareBus,
                    public Producer<IHardwareBus::PlugUnplug>,
                    public Subscriber<IHardwareBus::PlugUnplug>,
                    public std::enable_shared_from_this<CombinerBus> {
 public:
  CombinerBus(std::weak_ptr<IDeviceManager> manager, std::shared_ptr<IHardwareBus> inner);
  ~CombinerBus() override;

  std::vector<std::shared_ptr<IHardwareDevice>> devices() override;
  std::vector<std::shared_ptr<IBluetoothBus>> bluetooth_busses() override { return inner_->bluetooth_busses(); }
  std::vector<std::shared_ptr<IHardwareSecondaryBus>> secondary_busses() override { return inner_->secondary_busses(); }

  // Events of the bus below (run-loop thread).
  void onPlug(std::shared_ptr<IHardwareDevice> device) override;
  void onUnplug(std::shared_ptr<IHardwareDevice> device) override;
  void onPowerChange(bool standBy) override;

 protected:
  bool on_subscribe(Subscriber<IHardwareBus::PlugUnplug>* s) override;

 private:
  struct ByPath {
    bool operator()(const std::shared_ptr<CombinerDevice>& a, const std::shared_ptr<CombinerDevice>& b) const;
  };

  bool subscribe_inner();

  std::shared_ptr<IHardwareBus> inner_;
  std::weak_ptr<IDeviceManager> manager_;
  std::set<std::shared_ptr<CombinerDevice>, ByPath> combined_;
};

}  // namespace rodiz
