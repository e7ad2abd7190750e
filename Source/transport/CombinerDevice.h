#pragma once

#include <map>
#include <memory>
#include <string>

#include "runtime/Subscriber.h"
#include "transport/IHardwareDevice.h"

namespace rodiz {

class CombinerBus;

// One physical device made of its HID collections ("pieces", one per
// collection bit). Writes go to the first piece whose reports are long
// enough; reads and write outcomes of every piece are passed up as its own.
class CombinerDevice : public IHardwareDevice,
                       public Subscriber<IHardwareDevice::Read>,
                       public Subscriber<IHardwareDevice::Write>,
                       public Producer<IHardwareDevice::Connect>,
                       public Producer<IHardwareDevice::Read>,
                       public Producer<IHardwareDevice::Write>,
                       public std::enable_shared_from_this<CombinerDevice> {
 public:
  CombinerDevice(std::weak_ptr<CombinerBus> bus, std::shared_ptr<IHardwareDevice> first_piece);
  ~CombinerDevice() override;

  // All collections the device needs are present.
  bool whole();
  // Adds a piece unless its bit is already present (the old piece stays).
  bool add_piece(std::shared_ptr<IHardwareDevice> piece);
  // Removes the piece with the channel's path; true when no piece is left.
  bool remove_piece(const std::shared_ptr<IHardwareDevice>& piece);

  bool connected() override { return true; }
  bool open() override;
  void close() override;
  bool write(std::vector<Byte> report, bool blocking) override;
  std::weak_ptr<IHardwareBus> owning_bus() override;
  std::string path() override { return key_; }
  int pid() override { return pid_; }
  std::string name() override { return name_; }
  int reserved_value() override { return 0; }
  int bus_type() override { return 0; }
  int transport_variant() override { return 0; }
  bool verify_connection_following_timeout() override;

  void onRead(std::vector<Byte> report, bool routed, unsigned int system_error, unsigned int byte_count) override;
  void onWrite(std::vector<Byte> report, ErrorCode result, unsigned int system_error) override;

 protected:
  bool on_subscribe(Subscriber<IHardwareDevice::Read>* s) override;
  void on_unsubscribe(Subscriber<IHardwareDevice::Read>* s) override;
  bool on_subscribe(Subscriber<IHardwareDevice::Write>* s) override;
  void on_unsubscribe(Subscriber<IHardwareDevice::Write>* s) override;

 private:
  std::weak_ptr<CombinerBus> bus_;
  std::map<int, std::shared_ptr<IHardwareDevice>> pieces_;
  bool reading_ = false;
  bool logging_writes_ = false;
  std::string key_;
  int pid_ = 0;
  std::string name_;
  int need_ = 0;
};

}  // namespace rodiz
