#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/Subscriber.h"
#include "transport/IBluetoothDevice.h"
#include "transport/IHardwareDevice.h"

namespace rodiz {

class IDeviceManager;
class PairingBus;

// A device as the pairing filter announces it. For a corded or USB device it
// is a pass-through over the channel below: every call and event goes
// straight through. For a paired Bluetooth device it outlives its channel:
// while the device sleeps or is out of range it stays announced without a
// channel, writes fail with NotConnected, and Connect events tell the layers
// above when it can be used again. A low-energy device's second transport can
// be attached as a monitor, whose reads are delivered like the channel's.
//
// Threads: plug, unplug and the Bluetooth connect and unpair callbacks run on
// the run-loop thread; fast-connect callbacks on the Bluetooth layer's thread;
// reads on the channel's read thread; writes on the caller's thread. The
// members that more than one of them touch are under `lock_` or atomic; no
// lock of this class is held while a call goes down or an event goes up.
class PairingDevice : public IHardwareDevice,
                      public Subscriber<IHardwareDevice::Read>,
                      public Subscriber<IHardwareDevice::Write>,
                      public Subscriber<IBluetoothDevice::BtConnect>,
                      public Subscriber<IBluetoothDevice::BtFastConnect>,
                      public Subscriber<IBluetoothDevice::BtUnpair>,
                      public Producer<IHardwareDevice::Read>,
                      public Producer<IHardwareDevice::Write>,
                      public Producer<IHardwareDevice::Connect>,
                      public std::enable_shared_from_this<PairingDevice> {
 public:
  // `hwdev` may be null (a device remembered from the cache); `channel_bus_type`
  // is the bus type of the channel the device is reached through (4 for a
  // GATT channel). `btdev` null makes a pass-through device. A Bluetooth
  // device subscribes to `btdev`'s events here; a failed subscription is
  // reported through `manager` and does not stop the device. An empty `radio`
  // is learned from `btdev` when it is connected.
  PairingDevice(std::weak_ptr<PairingBus> bus, std::weak_ptr<IDeviceManager> manager,
                std::shared_ptr<IHardwareDevice> hwdev, std::string path, std::string name, int pid,
                int channel_bus_type, std::shared_ptr<IBluetoothDevice> btdev, std::string radio);
  ~PairingDevice() override;

  // A pass-through device is always visible; a Bluetooth device while its
  // radio is present or not learned yet ("unknown").
  bool visible();
  // The device's channel came back: it becomes the data channel, and the
  // device is usable again if the Bluetooth layer says it is connected.
  void data_connect(std::shared_ptr<IHardwareDevice> channel);
  // The data channel left; the device stays known.
  void data_disconnect();
  // The radio the device is paired to; empty when it is not paired.
  void update_pairing(std::string radio);
  // Attaches the second transport of a low-energy device; reads only.
  void add_monitor(std::shared_ptr<IHardwareDevice> channel);
  // Forgets the monitor; true when `path` was its path (empty: any).
  bool drop_monitor(const std::string& path = std::string());

  // Takes `name` when the device has none yet (a name from the cache).
  void adopt_name(const std::string& name);

  std::shared_ptr<IBluetoothDevice> btdev() const { return btdev_; }
  std::string radio();
  bool has_hwdev();
  bool gatt_data() const { return gatt_data_; }
  // "bluetooth", "blepp" or "blefrapp"; meaningful for Bluetooth devices.
  std::string interface_name() const;

  bool connected() override;
  bool open() override;
  void close() override;
  bool write(std::vector<Byte> report, bool blocking) override;
  std::weak_ptr<IHardwareBus> owning_bus() override;
  std::string path() override { return path_; }
  int pid() override { return pid_; }
  std::string name() override;
  int reserved_value() override { return 0; }
  int bus_type() override { return kind_; }
  int transport_variant() override;
  bool verify_connection_following_timeout() override;

  void onRead(std::vector<Byte> report, bool routed, unsigned int system_error, unsigned int byte_count) override;
  void onWrite(std::vector<Byte> report, ErrorCode result, unsigned int system_error) override;
  void onBtConnect(std::string radio) override;
  void onBtPairingResolve(std::string radio) override;
  void onBtDisconnect() override;
  void onBtFastConnect() override;
  void onBtFastDisconnect() override;
  void onBtUnpair(std::string radio) override;

 protected:
  bool on_subscribe(Subscriber<IHardwareDevice::Read>* s) override;
  void on_unsubscribe(Subscriber<IHardwareDevice::Read>* s) override;
  bool on_subscribe(Subscriber<IHardwareDevice::Write>* s) override;
  bool on_subscribe(Subscriber<IHardwareDevice::Connect>* s) override;

 private:
  // Sets bt_connected_ and tells the layers above when the device became
  // usable (channel present and connected) or stopped being usable.
  void set_bt_connected(bool connected, const std::string& radio);
  void produce_connect(bool connected);
  // The radio changed: the bus writes its cache again (run-loop thread).
  void remember_radio();
  void report_unreported(const char* context);

  const std::weak_ptr<PairingBus> bus_;
  const std::weak_ptr<IDeviceManager> manager_;
  const std::shared_ptr<IBluetoothDevice> btdev_;
  const std::string path_;
  const int pid_;
  int kind_ = 0;
  bool gatt_data_ = false;

  std::mutex lock_;
  std::shared_ptr<IHardwareDevice> hwdev_;
  std::shared_ptr<IHardwareDevice> monitor_;
  std::string name_;
  bool name_from_btdev_ = false;
  std::string radio_;
  bool opened_ = false;
  bool bt_connected_ = false;
  bool reading_ = false;
  bool logging_writes_ = false;
  std::atomic<bool> realtime_bt_connected_{false};
};

}  // namespace rodiz
