#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Linux/IBluezSystem.h"
#include "Linux/IHidrawSystem.h"
#include "runtime/Producer.h"
#include "transport/IBluetoothBus.h"

namespace rodiz {

class BluezDevice;
class BluezGattBus;
class BluezGattChannel;

// The Bluetooth bus of Linux: BlueZ's objects on the system bus. Radios are
// its adapters (org.bluez.Adapter1, named by object path); devices are its
// Device1 objects, one BluezDevice per address for the bus's lifetime.
//
// The first subscription or question starts it: it connects (IBluezSystem),
// lists BlueZ's objects and starts one thread that follows BlueZ's signals
// and the notification descriptors of the GATT channels. On that thread an
// adapter's arrival or removal raises onRadioArrival or onRadioRemoval (a
// removal after the disconnect of every device connected through it); a
// device's Connected turning true raises its connect sequence, turning false
// its disconnect sequence, and a pairing that ends (Paired turning false, or
// the object removed) raises its unpair event after a disconnect when it was
// connected. BlueZ leaving the bus removes everything it had; coming back
// lists it again. Without a system bus, or without BlueZ, the bus says so
// once and stays empty; the HID transports are not affected.
//
// The same thread serves the GATT bus (BluezGattBus), which works whatever
// `active` says. An inactive bus (neither classic nor low-energy Bluetooth
// configured) answers no path and raises no event.
class BluezBus : public IBluetoothBus,
                 public Producer<IBluetoothBus::RadioArrivalRemovalExternal>,
                 public std::enable_shared_from_this<BluezBus> {
 public:
  // Describes the hidraw node at a path (udev's bus type and unique id);
  // false when no such node is present.
  using NodeLookup = std::function<bool(const std::string& devnode, HidrawNode& node)>;

  // What BlueZ says of one device.
  struct DeviceView {
    bool listed = false;  // BlueZ has a Device1 object for the address
    bool paired = false;
    bool connected = false;
    bool low_energy = false;
    std::string adapter;  // the radio, the adapter's object path
    std::string name;
    std::string object_path;
  };

  // One characteristic of the FRAP GATT service.
  struct Characteristic {
    std::string path;
    bool variable_length = false;
    bool can_notify = false;
    bool notify_acquire = false;  // AcquireNotify is offered
    bool write_acquire = false;   // AcquireWrite is offered
  };

  // One FRAP GATT service of a connected device.
  struct GattService {
    std::string path;
    std::uint16_t product = 0;
    std::vector<Characteristic> characteristics;
  };

  // The FRAP GATT service and its two I/O characteristics.
  static constexpr const char* kFrapService = "00010000-0000-1000-8000-011f2000046d";
  static constexpr const char* kFixedLengthCharacteristic = "00010000-0000-1000-8000-011f2000046d";
  static constexpr const char* kVariableLengthCharacteristic = "00010001-0000-1000-8000-011f2000046d";

  BluezBus(std::shared_ptr<IBluezSystem> system, NodeLookup lookup, bool active);
  ~BluezBus() override;

  // A hidraw node on the Bluetooth bus type whose unique id is the address of
  // a device that BlueZ lists as paired, or the object path of a GATT service
  // of such a device. The address of a node is remembered, so that a device
  // whose node went with its connection is still answered while it stays
  // paired. An inactive bus fails with BluetoothNotificationFailed.
  std::shared_ptr<IBluetoothDevice> device_paired_on_path(std::string path) override;

  // Connects and starts the thread at the first call. False when there is no
  // system bus (said once); true with BlueZ absent, which may come later.
  bool start();
  // BlueZ's state of a device; false when BlueZ cannot be asked now.
  bool view(std::uint64_t address, DeviceView& view);
  bool radio_present(const std::string& radio);

  // For the GATT bus and its channels.
  void attach_gatt(const std::shared_ptr<BluezGattBus>& gatt);
  std::vector<GattService> gatt_services();
  bool gatt_service(const std::string& path, GattService& service);
  IBluezSystem& system() { return *system_; }
  // Hands `fd` (from AcquireNotify) to the thread, which reads its packets
  // and passes each to `channel`; the thread closes it when the channel
  // leaves or the descriptor hangs up.
  void watch_descriptor(int fd, const std::weak_ptr<BluezGattChannel>& channel, bool variable_length);
  // Passes changes of the characteristic's Value to `channel` (StartNotify).
  void watch_value(const std::string& characteristic, const std::weak_ptr<BluezGattChannel>& channel,
                   bool variable_length);
  // Ends every watch of `channel`.
  void unwatch(const BluezGattChannel* channel);

 protected:
  bool on_subscribe(Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>* s) override;

 private:
  using Interfaces = std::map<std::string, BluezProperties>;
  using Actions = std::vector<std::function<void()>>;
  struct DescriptorWatch {
    int fd = -1;
    std::weak_ptr<BluezGattChannel> channel;
    const BluezGattChannel* owner = nullptr;
    bool variable_length = false;
    bool ended = false;
  };
  struct ValueWatch {
    std::weak_ptr<BluezGattChannel> channel;
    const BluezGattChannel* owner = nullptr;
    bool variable_length = false;
  };
  // The Device1 facts that raise events.
  struct DeviceFacts {
    bool present = false;
    bool paired = false;
    bool connected = false;
    std::string adapter;
    std::uint64_t address = 0;
    bool addressed = false;
  };

  void thread_main();
  void list_objects(Actions& actions);
  void apply(const BluezEvent& event, Actions& actions);
  void forget_everything(Actions& actions);
  DeviceFacts facts(const std::string& path) const;
  void device_changed(const DeviceFacts& before, const DeviceFacts& after, Actions& actions);
  void adapter_removed(const std::string& adapter, Actions& actions);
  void gatt_presence(Actions& actions);
  void value_changed(const std::string& path, const BluezProperties& changed, Actions& actions);
  void read_descriptor(DescriptorWatch& watch);
  void wake();
  std::shared_ptr<BluezDevice> device_for(std::uint64_t address);
  bool view_locked(std::uint64_t address, DeviceView& view) const;
  bool gatt_service_locked(const std::string& path, GattService& service) const;

  const std::shared_ptr<IBluezSystem> system_;
  const NodeLookup lookup_;
  const bool active_;

  std::mutex start_lock_;
  bool started_ = false;
  bool connected_ = false;
  std::thread thread_;
  int stop_fd_ = -1;
  int wake_fd_ = -1;

  // Everything below is guarded by model_lock_.
  mutable std::mutex model_lock_;
  bool bluez_present_ = false;
  bool said_absent_ = false;
  // BlueZ's objects: path → interface → properties.
  std::map<std::string, Interfaces> objects_;
  std::map<std::uint64_t, std::shared_ptr<BluezDevice>> devices_by_address_;
  // The address each Bluetooth hidraw node had when it was last seen.
  std::map<std::string, std::uint64_t> address_by_node_;
  std::set<std::string> gatt_present_;
  std::weak_ptr<BluezGattBus> gatt_;
  std::vector<DescriptorWatch> descriptors_;
  std::map<std::string, std::vector<ValueWatch>> values_;
};

}  // namespace rodiz
