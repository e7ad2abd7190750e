#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Linux/IBluezSystem.h"
#include "Linux/IHidrawSystem.h"
#include "runtime/Producer.h"
#include "transport/IHardwareBus.h"

namespace rodiz {

class IDeviceManager;
class HidrawChannel;
class BluezBus;
class BluezGattBus;

// The HID bus of Linux: the hidraw nodes of the maker's devices, found
// through udev, one HidrawChannel per node. The first subscription (or the
// first devices() call) starts a notification thread that follows udev's
// monitor and raises onPlug for each node that arrives and opens as a FRAP
// device, and onUnplug (with a fresh channel) for each node that goes. When
// the monitor loses events the bus lists the nodes again and raises what it
// missed. A node it could not open for lack of permission is tried again
// when udev reports a change of it (the rules applied again). Nodes of other vendors are passed over without being
// opened. The same thread follows the system's resume from sleep and raises onPowerChange(false) for it.
//
// It always carries the Bluetooth bus (BluezBus, active when the manager's
// item 0 or 1 is set) and, when item 1 or 2 is set, the GATT bus
// (BluezGattBus) as its secondary bus. Both start only when first used.
class HidrawBus : public IHardwareBus,
                  public Producer<IHardwareBus::PlugUnplug>,
                  public std::enable_shared_from_this<HidrawBus> {
 public:
  // `bluez` is BlueZ's side of the system; null means the system bus.
  HidrawBus(std::weak_ptr<IDeviceManager> manager, std::shared_ptr<IHidrawSystem> system,
            std::shared_ptr<IBluezSystem> bluez = nullptr);
  ~HidrawBus() override;

  std::vector<std::shared_ptr<IHardwareDevice>> devices() override;
  bool wants_combiner() override { return true; }
  std::vector<std::shared_ptr<IBluetoothBus>> bluetooth_busses() override;
  std::vector<std::shared_ptr<IHardwareSecondaryBus>> secondary_busses() override;

  // A channel's read found its node gone: raises onUnplug for the path.
  void read_failed_with_disconnect_error(const std::string& path);
  // Whether udev still lists the node.
  bool node_present(const std::string& path);
  // The system woke from sleep: raises onPowerChange(false).
  void resumed();

 protected:
  bool on_subscribe(Subscriber<IHardwareBus::PlugUnplug>* s) override;

 private:
  void lazy_start();
  void notification_thread();
  void arrival(const HidrawNode& node);
  void removal(const std::string& path);
  // udev applied its rules again: a node refused for permission is tried again.
  void changed(const HidrawNode& node);
  // Brings the announced set in line with the nodes present (after lost events).
  void resync();
  bool ours(const HidrawNode& node) const;
  std::shared_ptr<HidrawChannel> make_channel(const HidrawNode& node);
  void report_permission_problem(const std::string& path);

  const std::weak_ptr<IDeviceManager> manager_;
  const std::shared_ptr<IHidrawSystem> system_;
  std::mutex start_lock_;
  bool started_ = false;
  int monitor_fd_ = -1;
  int stop_fd_ = -1;
  int sleep_fd_ = -1;
  std::thread notifier_;
  // Paths announced with onPlug; touched by the notification thread only.
  std::set<std::string> announced_;
  // Paths whose permission problem was reported already.
  std::mutex reported_lock_;
  std::set<std::string> permission_reported_;
  std::shared_ptr<BluezBus> bluetooth_;
  std::shared_ptr<BluezGattBus> gatt_;
};

}  // namespace rodiz
