#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Linux/IHidrawSystem.h"
#include "runtime/Producer.h"
#include "transport/IHardwareDevice.h"

namespace rodiz {

class HidrawBus;

// The IHardwareDevice of one hidraw node. A node carries every top-level
// collection of its USB interface, so the channel takes all of the node's
// FRAP collections at once: its collection bit is theirs together, and it
// writes each report through the smallest output report that holds it. A
// node that carries all the collections its device needs is a whole device
// (combine key = path) that the combiner passes through; one that carries
// only some is keyed by its USB interface and combined with the others.
//
// open() reads and checks the node's identity once (the maker's vendor id,
// vendor usage pages, one capability each way, equal input and output
// lengths) and refuses nodes without a FRAP collection. A Read subscription
// runs one read thread that waits in poll() on the node and a stop
// descriptor; ENODEV, EIO or a hang-up end the channel for good and are
// reported to the bus as a removal. Writes wait for the node to take them
// within the write timeout.
class HidrawChannel : public IHardwareDevice,
                      public Producer<IHardwareDevice::Write>,
                      public Producer<IHardwareDevice::Read>,
                      public Producer<IHardwareDevice::Connect>,
                      public std::enable_shared_from_this<HidrawChannel> {
 public:
  // The maker's vendor id; nodes of other vendors are refused.
  static constexpr std::uint16_t kVendorId = 0x046D;
  static constexpr unsigned kWriteTimeoutMs = 10000;
  // How long an open that meets EACCES right after an arrival is retried:
  // udev may still be applying its rules.
  static constexpr unsigned kPermissionRetryMs = 2000;
  // The text that comes with a node that stays unreadable.
  static const char* const kPermissionMessage;

  HidrawChannel(std::weak_ptr<HidrawBus> bus, std::shared_ptr<IHidrawSystem> system, HidrawNode node);
  ~HidrawChannel() override;

  // How long open() retries EACCES; 0 (the default) tries once.
  void set_permission_retry_ms(unsigned ms) { permission_retry_ms_ = ms; }
  void set_write_timeout_ms(unsigned ms) { write_timeout_ms_ = ms; }
  // The errno of the last failed open of the node itself, 0 otherwise.
  int open_errno() const { return open_errno_; }

  bool connected() override { return true; }
  bool open() override;
  void close() override;
  bool write(std::vector<Byte> report, bool blocking) override;
  std::weak_ptr<IHardwareBus> owning_bus() override;
  std::string path() override { return node_.devnode; }
  int pid() override { return product_id_; }
  std::string name() override { return product_name_; }
  int reserved_value() override { return 0; }
  int bus_type() override { return 0; }
  int transport_variant() override { return 0; }
  bool verify_connection_following_timeout() override;
  std::string combine_key() override;
  int collection_bit() override { return collection_bits_; }
  int collections_needed() override { return collections_needed_; }
  int report_length() override { return static_cast<int>(output_report_length_); }

 protected:
  // A Read subscription starts the read thread (now, or when the node opens).
  bool on_subscribe(Subscriber<IHardwareDevice::Read>* s) override;
  void on_subscription_added(Subscriber<IHardwareDevice::Read>* s, bool immediate) override;
  void on_unsubscribe(Subscriber<IHardwareDevice::Read>* s) override;

 private:
  // What the read thread shares with the channel; it outlives a channel
  // that is destroyed from inside its own read thread.
  struct ReaderState {
    std::atomic<bool> stop{false};
  };

  bool read_identity();
  void start_reader();
  // Stops the read thread; joins it unless called on it.
  void stop_reader();
  void close_locked();
  static void read_loop(std::weak_ptr<HidrawChannel> weak, std::shared_ptr<IHidrawSystem> system, int fd, int stop_fd,
                        std::shared_ptr<ReaderState> state, std::size_t buffer_size);
  // One report from the read thread: checked against the node's input
  // reports and raised, or logged and dropped.
  void deliver(const std::uint8_t* data, std::size_t count);
  void disconnected(int error);
  bool finish_write(std::vector<Byte>& report, ErrorCode result, std::uint32_t system);

  const std::weak_ptr<HidrawBus> bus_;
  const std::shared_ptr<IHidrawSystem> system_;
  const HidrawNode node_;
  unsigned permission_retry_ms_ = 0;
  unsigned write_timeout_ms_ = kWriteTimeoutMs;
  std::atomic<int> open_errno_{0};

  // Identity, fixed by the first successful open.
  bool identity_read_ = false;
  int product_id_ = 0;
  std::uint16_t vendor_id_ = 0;
  std::string product_name_;
  int collection_bits_ = 0;
  int collections_needed_ = 0;
  bool uses_report_ids_ = true;
  std::uint16_t output_report_length_ = 0;
  std::size_t input_buffer_size_ = 0;
  std::map<unsigned, unsigned> output_lengths_;  // report id -> bytes, id byte included
  std::map<unsigned, unsigned> input_lengths_;

  // Held by open, close and write: the descriptor stays valid while in use.
  std::mutex io_lock_;
  int fd_ = -1;
  int stop_fd_ = -1;
  bool read_wanted_ = false;
  std::thread reader_;
  std::shared_ptr<ReaderState> reader_state_;
  std::atomic<std::thread::id> reader_id_{};
  std::atomic<bool> reading_{false};
  std::atomic<int> readers_{0};
  std::atomic<bool> removed_{false};
  std::atomic<bool> destructed_{false};
};

}  // namespace rodiz
