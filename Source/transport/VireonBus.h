#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "device/Device.h"
#include "runtime/Producer.h"
#include "runtime/Subscriber.h"
#include "transport/IHardwareBus.h"
#include "transport/IReceiver.h"
#include "transport/VireonDevice.h"

namespace rodiz {

// A known wireless receiver, three things at once: the protocol-level device
// of the receiver itself (FRAP 1.0 register requests to device index 0xFF on
// the receiver's channel), a bus whose devices are the paired devices (one
// VireonDevice per occupied pairing slot), and an IReceiver.
//
// The receiver's notifications create, connect, disconnect and remove the
// paired devices; every other report carrying a slot's device index is
// handed to that slot's device, and every report also reaches the receiver's
// own response matcher.
//
// Threads: the read and write paths (onRead, onWrite and the perform_*
// operations they call) run on the receiver channel's threads; the register
// operations, internal_devices, the session handler and
// onRegisterZeroOverwritten run on the run-loop thread (or the first
// caller's) and block in sendSynchronousCommand while the read thread handles
// the notifications they provoke. `slots` is guarded by slots_lock, the
// arrivals of an enumeration by arrivals_lock; neither is held while an event
// is raised or a request is sent.
class VireonBus : public Device,
                  public IHardwareBus,
                  public IReceiver,
                  public Producer<IHardwareBus::PlugUnplug>,
                  public Producer<IReceiver::LockingChange>,
                  public Producer<IReceiver::RegisterZeroOverwritten>,
                  public Subscriber<IReceiver::RegisterZeroOverwritten> {
 public:
  // `hwdev` is the receiver's own channel; `protocol` the number its
  // device-connection notifications carry in byte 3; `slot_count` its
  // number of pairing slots (1 to 7 for the known receivers).
  VireonBus(std::weak_ptr<IDeviceManager> manager, std::shared_ptr<IHardwareDevice> hwdev, int protocol,
            int slot_count);
  ~VireonBus() override;

  // Number of VireonBus objects alive in the process.
  static int instances();

  // --- Device
  // Withdraws this program's presence mark from the receiver, then shuts the
  // receiver's device down.
  bool shutdown() override;
  // The receiver is gone: every paired device is marked removed (its writes
  // fail at once) and the slots are emptied.
  void uninitDevice() override;
  // The paired devices, after enabling the receiver's notifications and
  // asking it to announce every paired device (up to three attempts while
  // the announced count differs from the connected count). Empty with
  // LastError when the receiver cannot be asked; empty without an error when
  // nothing is paired or the session is inactive.
  virtual std::vector<std::shared_ptr<IHardwareDevice>> internal_devices();

  // --- IHardwareBus
  std::vector<std::shared_ptr<IHardwareDevice>> devices() override { return internal_devices(); }

  // --- IReceiver
  std::vector<std::shared_ptr<IDevice>> paired_devices() override;
  bool read_activity() override;
  bool special_receiver() override;
  bool open_lock() override;
  bool close_lock() override;
  bool unpair(int device) override;

  // --- registers
  // Reads short register `reg`, sets and clears bits of its three parameter
  // bytes (new = set | (old & ~clear)) and writes it back only when that
  // changes something.
  bool short_register_bit_operation(Byte reg, Byte set0, Byte set1, Byte set2, Byte clear0, Byte clear1, Byte clear2);
  // Sets the wireless-notifications bit of register 0x00, once per bus.
  bool enable_receiver_notifications();
  // Listens (on the run loop) for other software overwriting register 0x00.
  void enable_register_zero_monitoring();
  // Marks this program present on the receiver (bit 0x08 of register 0x00).
  bool set_software_present();
  // Withdraws the presence mark when this bus set it. True when there was
  // nothing to withdraw.
  bool clear_software_present();
  // Marks the device in `slot` as configured by this program (register 0x03).
  // False with IndexOutOfRange for a slot the receiver does not have.
  bool set_slot_configured(int slot);

  // --- slot table (read thread, and the session handler)
  void perform_arrival(int slot, int qid, bool connected, bool fake_device_arrival);
  void perform_connect(int slot);
  void perform_disconnect(int slot);
  // Both of the above: the slot's device told of its link, with their log lines.
  void perform_link_change(int slot, bool connected);
  void perform_removal(int slot);

  // Subscribes the bus to the receiver channel's Write events, so that
  // write outcomes reach the paired devices.
  bool route_writes();

  // --- state, for callers and checks
  int slot_count() const { return slot_count_; }
  int protocol() const { return protocol_; }
  std::shared_ptr<VireonDevice> device_in_slot(int slot);
  std::vector<Byte> activity();
  bool notifications_enabled() const { return notifications_enabled_; }
  bool software_present_set() const { return software_present_set_; }
  int connected_count() const { return connected_count_; }

  // --- events received
  void onRead(std::vector<Byte> report, bool routed, unsigned int system_error, unsigned int byte_count) override;
  void onWrite(std::vector<Byte> report, ErrorCode result, unsigned int system_error) override;
  void onActiveChanged(bool active) override;
  void onRegisterZeroOverwritten() override;

 protected:
  bool on_subscribe(Subscriber<IHardwareBus::PlugUnplug>* s) override;
  void on_unsubscribe(Subscriber<IHardwareBus::PlugUnplug>* s) override;

 private:
  // Acts on one report of the receiver channel before the receiver's own
  // response matcher sees it.
  void route_report(const std::vector<Byte>& report, unsigned int system_error, unsigned int byte_count);
  // One write of register 0xB2 (pairing lock and unpairing).
  bool pairing_register(Byte p0, Byte p1);
  std::weak_ptr<VireonBus> weak_self();
  std::vector<std::shared_ptr<IHardwareDevice>> present_devices();
  void raise_plug(const std::shared_ptr<IHardwareDevice>& device);
  void raise_unplug(const std::shared_ptr<IHardwareDevice>& device);

  const int slot_count_;
  const int protocol_;
  const std::string receiver_path_;

  std::mutex slots_lock_;
  bool unplugged_ = false;  // under slots_lock_: set by uninitDevice, no device is made after it
  std::vector<std::shared_ptr<VireonDevice>> slots_;

  std::mutex activity_lock_;
  std::vector<Byte> activity_;

  std::atomic<bool> notifications_enabled_{false};
  std::atomic<bool> enumerating_{false};
  std::atomic<bool> software_present_set_{false};
  std::atomic<bool> zero_monitoring_{false};
  std::atomic<int> connected_count_{0};

  std::mutex arrivals_lock_;
  std::map<int, int> arrivals_;
};

}  // namespace rodiz
