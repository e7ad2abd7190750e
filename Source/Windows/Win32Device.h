#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Windows/IWin32System.h"
#include "runtime/Producer.h"
#include "transport/IHardwareDevice.h"

namespace rodiz {

class OverlappedTransfer;
class Win32Bus;

// One HID collection on the Windows device stack: a channel to one interface
// path of the HID class. The first open checks that the collection is one of
// ours (the maker's vendor id, a FRAP vendor collection with one input and
// one output report of equal length) and learns its identity, which then
// never changes. Reads run on a thread of the channel's own, started on the
// first open after a Read subscription; writes wait at most
// `write_timeout_ms` and are cancelled on time-out.
//
// The bus owns the device-notification registration of the open file handle
// and closes the handle itself when the system asks to remove the device;
// the channel notices on its next open and reopens. Read callbacks never
// reach a destroyed channel: the read thread holds the channel only weakly.
class Win32Device : public IHardwareDevice,
                    public Producer<IHardwareDevice::Write>,
                    public Producer<IHardwareDevice::Read>,
                    public Producer<IHardwareDevice::Connect>,
                    public std::enable_shared_from_this<Win32Device> {
 public:
  // The maker's vendor id.
  static constexpr USHORT kVendorId = 0x046D;
  static constexpr unsigned kWriteTimeoutMs = 10000;

  // `path` is the interface path as the bus produced it (lower-case UTF-8);
  // `device_node` is not used by the channel.
  Win32Device(std::weak_ptr<Win32Bus> bus, std::shared_ptr<IWin32System> system, std::string path, DWORD device_node);
  ~Win32Device() override;

  bool connected() override { return true; }
  // Opens the path for overlapped I/O and registers the handle with the bus;
  // on an open channel, first checks that the bus has not closed the handle.
  // Library failures of the system layer propagate as RodizException.
  bool open() override;
  // Stops the read thread (detaching it when called from a Read callback) and
  // hands the handle back to the bus. Harmless when closed.
  void close() override;
  // Sets the report id of the smallest output report that holds the report,
  // pads it to the report length and writes it. Produces one onWrite event on
  // every way out.
  bool write(std::vector<Byte> report, bool blocking) override;
  std::weak_ptr<IHardwareBus> owning_bus() override;
  std::string path() override { return path_; }
  int pid() override { return product_id_; }
  std::string name() override;
  int reserved_value() override { return 0; }
  int bus_type() override { return 0; }
  int transport_variant() override { return 0; }
  // Asks the bus whether the path is still present (a full enumeration).
  bool verify_connection_following_timeout() override;
  std::string combine_key() override;
  int collection_bit() override { return usage_ & 0xFF; }
  int collections_needed() override;
  int report_length() override { return output_report_length_; }

  // Bounds the wait of writes from now on (tests use short bounds).
  void set_write_timeout_ms(unsigned timeout_ms) { write_timeout_ms_ = timeout_ms; }
  // Report id -> length of the collection's output reports.
  std::map<unsigned, unsigned> report_lengths() const;
  // Writes given up on time-out that the system has not finished yet.
  std::size_t abandoned_writes();

 protected:
  bool on_subscribe(Subscriber<IHardwareDevice::Read>* s) override;

 private:
  struct ReadContext;

  // Runs on the read thread; holds the channel only weakly.
  static void read_thread(std::weak_ptr<Win32Device> weak, std::shared_ptr<ReadContext> context);
  void produce_read(std::vector<Byte> report, unsigned system_error, unsigned count);
  void produce_write(const std::vector<Byte>& report);
  bool open_locked();
  bool read_identity();
  void read_parent_instance();
  void start_read_thread_locked();
  // Takes the reader out (under the lock) and stops it; joins unless called
  // from the read thread itself.
  void stop_read_thread();
  void close_locked();
  // Drops abandoned writes the system has finished with.
  void reap_abandoned_locked();

  const std::weak_ptr<Win32Bus> bus_;
  const std::shared_ptr<IWin32System> system_;
  const std::string path_;

  // Guards the open state, the handle, the events and the reader. Never held
  // while waiting for the read thread or for a write.
  std::mutex lock_;
  bool read_wanted_ = false;
  bool is_open_ = false;
  bool attributes_read_ = false;
  std::string parent_instance_id_;
  std::string product_name_;
  std::atomic<unsigned> write_timeout_ms_{kWriteTimeoutMs};
  USHORT vendor_id_ = 0;
  USHORT product_id_ = 0;
  USHORT version_ = 0;
  USHORT output_report_length_ = 0;
  USHORT usage_ = 0;
  USHORT usage_page_ = 0;
  std::map<unsigned, unsigned> report_lengths_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HDEVNOTIFY notification_ = nullptr;
  std::unique_ptr<std::thread> reader_;
  std::shared_ptr<ReadContext> read_context_;
  std::atomic<DWORD> reader_thread_id_{0};
  std::atomic<bool> read_running_{false};
  std::atomic<bool> read_ended_{false};
  std::atomic<bool> destructed_{false};
  std::atomic<bool> removed_{false};
  // Writes given up on time-out, kept until the system has finished with them.
  std::vector<std::unique_ptr<OverlappedTransfer>> abandoned_;
};

}  // namespace rodiz
