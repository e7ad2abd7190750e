#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/Subscriber.h"
#include "transport/IBluetoothBus.h"
#include "transport/IHardwareBus.h"

namespace rodiz {

class IBluetoothDevice;
class IDeviceManager;
class PairingDevice;

// The last filter bus of the chain, inserted when the bus below has
// Bluetooth buses. Every channel from below is wrapped in a PairingDevice
// keyed by path. A corded or USB device passes through: announced when its
// channel arrives, withdrawn when it leaves. A channel that belongs to a
// paired Bluetooth device makes a device that stays announced across
// disconnections, while its radio is present, until it is unpaired; such
// devices are remembered in the pairing cache "paired.xml" in the folder given
// to persistent_data_directory, so that they are known at the next start
// too. A low-energy device's second transport is attached to its device as a
// monitor, or kept aside until that device is tracked.
//
// Every callback of the bus, the radio events included, runs on the run-loop
// thread, so the device maps are not locked.
class PairingBus : public IHardwareBus,
                   public Producer<IHardwareBus::PlugUnplug>,
                   public Subscriber<IHardwareBus::PlugUnplug>,
                   public Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>,
                   public std::enable_shared_from_this<PairingBus> {
 public:
  // Reads configuration items 0 to 3 from `manager` now.
  PairingBus(std::weak_ptr<IDeviceManager> manager, std::shared_ptr<IHardwareBus> inner);
  ~PairingBus() override;

  // Every tracked device that is visible; channels seen for the first time
  // are tracked (and announced) on the way.
  std::vector<std::shared_ptr<IHardwareDevice>> devices() override;
  // Reads the pairing cache of `directory` (which ends with a separator, or
  // is empty for no cache), tracks and announces the devices still paired,
  // and writes the cache again. A damaged file is set aside under the same
  // name with ".damaged" appended and is not trusted.
  void persistent_data_directory(std::string directory) override;
  // Forgets the Bluetooth devices whose path no longer belongs to a paired
  // device.
  void refresh() override;

  void onPlug(std::shared_ptr<IHardwareDevice> device) override;
  void onUnplug(std::shared_ptr<IHardwareDevice> device) override;
  void onPowerChange(bool standBy) override;
  void onRadioArrival(std::string radio) override;
  void onRadioRemoval(std::string radio) override;

  // The device's pairing was removed: withdraw it and, when it has no radio
  // left, forget it.
  void process_unpair(std::shared_ptr<PairingDevice> device);
  // Replaces the pairing cache with the Bluetooth devices that have a radio.
  // Nothing is written while the content is unchanged since the last write.
  void write_data();

  // The cache file's name; empty when no folder was given.
  const std::string& cache_path() const { return cache_path_; }

 protected:
  bool on_subscribe(Subscriber<IHardwareBus::PlugUnplug>* s) override;

 private:
  struct LooseMonitor {
    std::shared_ptr<IHardwareDevice> channel;
    std::shared_ptr<IBluetoothDevice> btdev;
  };

  bool subscribe_inner();
  std::shared_ptr<IBluetoothDevice> find_btdev(const std::string& path);
  // Tracks `channel` as a new device; null when it was taken as a monitor.
  std::shared_ptr<PairingDevice> track(const std::shared_ptr<IHardwareDevice>& channel, bool& monitor);
  bool detect_and_attach_monitor(const std::shared_ptr<IHardwareDevice>& channel,
                                 const std::shared_ptr<IBluetoothDevice>& btdev);
  void attach_loose_monitors(const std::shared_ptr<PairingDevice>& device);
  void forget(const std::string& path);
  void announce(const std::shared_ptr<PairingDevice>& device);
  void withdraw(const std::shared_ptr<PairingDevice>& device);
  void log_device_list(bool arrival);
  void report_unreported(const char* context);
  void read_cache();

  std::shared_ptr<IHardwareBus> inner_;
  std::weak_ptr<IDeviceManager> manager_;
  std::map<std::string, std::shared_ptr<PairingDevice>> devices_by_path_;
  std::map<std::string, LooseMonitor> loose_monitors_;
  std::string cache_path_;
  std::string last_written_;
  bool bluetooth_active_ = false;
  bool ble_active_ = false;
  bool ble_monitor_ = false;
  bool use_blepp_ = false;
};

}  // namespace rodiz
