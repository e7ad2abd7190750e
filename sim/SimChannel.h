#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "runtime/Producer.h"
#include "sim/SimHidDevice.h"
#include "transport/IHardwareDevice.h"

namespace rodiz::sim {

class SimBus;

// One HID collection of a simulated device (mouse or receiver), as the HID bus of the operating
// system would show it: its own path, report length and collection bit. It
// pads written reports to its report length like a HID channel, and becomes
// useless when the device leaves (a new channel stands for it when it comes
// back).
class SimChannel : public IHardwareDevice,
                   public Producer<IHardwareDevice::Connect>,
                   public Producer<IHardwareDevice::Read>,
                   public Producer<IHardwareDevice::Write>,
                   public std::enable_shared_from_this<SimChannel> {
 public:
  SimChannel(std::weak_ptr<SimBus> bus, std::weak_ptr<SimHidDevice> device, SimCollection collection);

  // Hands one input report to the Read subscribers (the device's thread).
  void deliver(const std::vector<Byte>& report);
  std::uint32_t generation() const { return collection_.generation; }

  bool connected() override { return true; }
  bool open() override;
  void close() override;
  bool write(std::vector<Byte> report, bool blocking) override;
  std::weak_ptr<IHardwareBus> owning_bus() override;
  std::string path() override { return collection_.path; }
  int pid() override { return collection_.pid; }
  std::string name() override { return collection_.name; }
  int reserved_value() override { return 0; }
  int bus_type() override { return 0; }
  int transport_variant() override { return 0; }
  bool verify_connection_following_timeout() override;

 protected:
  // Readers are counted here rather than asked of the Read producer: write()
  // runs while a device holds its command lock, and the read thread holds
  // the producer's lock while it waits for that command lock.
  void on_subscription_added(Subscriber<IHardwareDevice::Read>* s, bool immediate) override;
  void on_unsubscribe(Subscriber<IHardwareDevice::Read>* s) override;
  std::string combine_key() override { return collection_.combine_key; }
  int collection_bit() override { return collection_.bit; }
  int collections_needed() override { return collection_.need; }
  int report_length() override { return collection_.report_length; }

 private:
  bool device_here() const;

  std::weak_ptr<SimBus> bus_;
  std::weak_ptr<SimHidDevice> device_;
  const SimCollection collection_;
  std::atomic<bool> open_{false};
  std::atomic<int> readers_{0};
};

}  // namespace rodiz::sim
