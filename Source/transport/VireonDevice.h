#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/Producer.h"
#include "transport/IHardwareDevice.h"

namespace rodiz {

class VireonBus;

// One paired device behind a wireless receiver, in pairing slot `index`. Its
// reports travel through the receiver's channel: a write goes out with
// device index `index` + 1, and the receiver bus hands it every report read
// with that index. It holds the receiver only weakly; once the receiver or
// the pairing is gone every write fails at once.
//
// Threads: connected(), write() and name() on any thread; the receiver bus
// raises Read, Write and Connect events from the receiver channel's threads.
class VireonDevice : public IHardwareDevice,
                     public Producer<IHardwareDevice::Write>,
                     public Producer<IHardwareDevice::Read>,
                     public Producer<IHardwareDevice::Connect>,
                     public std::enable_shared_from_this<VireonDevice> {
 public:
  // `path` is the receiver channel's path; the device's own is that path,
  // ":" and `index`.
  VireonDevice(std::weak_ptr<VireonBus> receiver, const std::string& receiver_path, int index, int qid, bool connected);
  ~VireonDevice() override;

  // Number of VireonDevice objects alive in the process.
  static int instances();

  // --- IHardwareDevice
  bool connected() override { return connected_; }
  // False once the pairing or the receiver is gone: an arrival that was
  // still queued when the receiver left must not bring the device back.
  bool open() override { return !removed_; }
  void close() override {}
  // Fails with DeviceRemoved when the receiver or the pairing is gone and
  // with NotConnected while the device is out of reach.
  bool write(std::vector<Byte> report, bool blocking) override;
  std::weak_ptr<IHardwareBus> owning_bus() override;
  std::string path() override { return path_; }
  int pid() override { return qid_; }
  // The name the receiver keeps for the slot, read once; empty (with
  // LastError) when it cannot be read.
  std::string name() override;
  int reserved_value() override { return activity_; }
  int bus_type() override { return 1; }
  int transport_variant() override { return index_ + 1; }
  int receiver_value() override;
  // False once the device disconnected after the last write: a command that
  // timed out then failed because the device went.
  bool verify_connection_following_timeout() override;

  int index() const { return index_; }
  void set_activity(int value) { activity_ = value; }

  // --- called by the receiver bus
  // The device is reachable again; raises onConnect when the object is owned.
  void process_connect();
  // The device went out of reach; raises onDisconnect when the object is owned.
  void process_disconnect();
  // The pairing or the receiver is gone: no more writes, and a command
  // waiting for its answer fails as not connected at its time-out.
  void mark_removed();
  // Hands a report the receiver read with this device's index to the
  // subscribers (routed = true).
  void deliver_read(const std::vector<Byte>& report, unsigned int system_error, unsigned int byte_count);
  // Passes on the outcome of a write of this device on the receiver's channel.
  void deliver_write(const std::vector<Byte>& report, ErrorCode result, unsigned int system_error);

 protected:
  // Write outcomes are routed by the receiver bus only while it hears the
  // receiver channel's Write events.
  bool on_subscribe(Subscriber<IHardwareDevice::Write>* s) override;

 private:
  const std::weak_ptr<VireonBus> receiver_;
  const int index_;
  const int qid_;
  const std::string path_;
  std::atomic<bool> connected_;
  std::atomic<bool> disconnected_since_write_{false};
  std::atomic<bool> removed_{false};
  std::atomic<int> activity_{0};
  std::mutex name_lock_;
  std::string name_;
  bool name_cached_ = false;
};

}  // namespace rodiz
