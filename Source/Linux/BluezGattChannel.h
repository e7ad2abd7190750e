#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/Producer.h"
#include "transport/IHardwareDevice.h"

namespace rodiz {

class BluezBus;
class BluezGattBus;

// A report channel over the FRAP GATT service of a low-energy device, named
// by the service's BlueZ object path; bus type 4. Reports are written to the
// variable-length characteristic when the device has one, else to the
// fixed-length one: through the descriptor of AcquireWrite where BlueZ
// offers it, else with WriteValue (a write request on the fixed-length
// characteristic, a command on the variable-length one). A Read subscription
// receives the notifications of both characteristics, through AcquireNotify
// where offered, else StartNotify; they arrive on the Bluetooth bus's thread.
class BluezGattChannel : public IHardwareDevice,
                         public Producer<IHardwareDevice::Connect>,
                         public Producer<IHardwareDevice::Read>,
                         public Producer<IHardwareDevice::Write>,
                         public std::enable_shared_from_this<BluezGattChannel> {
 public:
  BluezGattChannel(std::weak_ptr<BluezGattBus> gatt, std::shared_ptr<BluezBus> bluez, std::string path,
                   std::uint16_t product);
  ~BluezGattChannel() override;

  bool connected() override { return true; }
  // Finds the service's characteristics; an open channel checks that the
  // service is still offered. A service that is gone fails with
  // CreateFileFailed, one without FRAP characteristics with InternalError.
  bool open() override;
  void close() override;
  // Fails with InvalidDeviceHandle when not open, Abandoned when the GATT
  // transport is switched off, WriteTooShort (1 byte or less),
  // WriteExceedsCollectionSize (more than 20), a blocking write without a
  // Read subscription with CannotPerformWriteWithoutReadThreadRunning, and a
  // failed GATT write with WriteError and its errno. Raises onWrite.
  bool write(std::vector<Byte> report, bool blocking) override;
  std::weak_ptr<IHardwareBus> owning_bus() override;
  std::string path() override { return path_; }
  int pid() override { return product_; }
  std::string name() override { return std::string(); }
  int reserved_value() override { return 0; }
  int bus_type() override { return 4; }
  int transport_variant() override { return 0; }
  // False (and onUnplug from the bus) when the service is no longer offered.
  bool verify_connection_following_timeout() override;

  // One notified value, on the Bluetooth bus's thread.
  void notified(const std::uint8_t* value, std::size_t size, bool variable_length);

 protected:
  bool on_subscribe(Subscriber<IHardwareDevice::Read>* s) override;

 private:
  // Starts the notifications of every characteristic that has them. These
  // three run under lock_.
  bool read_register();
  void read_unregister();
  void close_locked();
  // Sets LastError and raises onWrite with an empty report; false.
  bool fail_write(ErrorCode code, std::uint32_t system, const char* text);

  const std::weak_ptr<BluezGattBus> gatt_;
  const std::shared_ptr<BluezBus> bluez_;
  const std::string path_;
  const std::uint16_t product_;

  std::mutex lock_;
  bool open_ = false;
  bool read_wanted_ = false;
  bool read_registered_ = false;
  std::string write_characteristic_;
  bool write_variable_ = false;
  int write_fd_ = -1;
  std::vector<std::string> started_notify_;
};

}  // namespace rodiz
