#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Windows/IWin32System.h"
#include "runtime/Producer.h"
#include "transport/IHardwareDevice.h"

namespace rodiz {

class GattBus;
class Win32Bus;

// One low-energy device's FRAP GATT service as a report channel. Reports are
// written to its FRAP I/O characteristic and arrive as value-changed
// notifications, which the system raises on threads of its Bluetooth stack;
// onRead runs there. The characteristics and descriptors found at the first
// open are kept across close and reopen. Notifications are switched on (the
// client configurations written) by the first write after an open or a
// time-out.
class GattDevice : public IHardwareDevice,
                   public Producer<IHardwareDevice::Write>,
                   public Producer<IHardwareDevice::Read>,
                   public Producer<IHardwareDevice::Connect>,
                   public std::enable_shared_from_this<GattDevice> {
 public:
  static constexpr std::size_t kReportLength = 20;

  GattDevice(std::weak_ptr<GattBus> gatt_bus, std::weak_ptr<Win32Bus> hid_bus, std::shared_ptr<IWin32System> system,
             std::string path);
  ~GattDevice() override;

  // The report for a notification of `size` bytes: 0x11 when longer than
  // seven bytes, else 0x10; 0xFF next for the variable-length
  // characteristic; the value; cut or zero-padded to 20 bytes. `count` is
  // its length before that.
  static std::vector<Byte> report_from_value(const unsigned char* value, std::size_t size, bool fixed_length,
                                             unsigned& count);
  // The value a report is sent as: for the variable-length characteristic
  // the bytes from 2 on without trailing zeros (at least one byte kept); for
  // the fixed-length one the report padded to 20 bytes, from byte 1 on.
  static std::vector<Byte> value_from_report(const std::vector<Byte>& report, bool fixed_length);

  bool connected() override { return true; }
  bool open() override;
  void close() override;
  bool write(std::vector<Byte> report, bool blocking) override;
  std::weak_ptr<IHardwareBus> owning_bus() override;
  std::string path() override { return path_; }
  int pid() override { return pid_; }
  std::string name() override { return std::string(); }
  int reserved_value() override { return 0; }
  int bus_type() override { return 4; }
  int transport_variant() override { return 0; }
  bool verify_connection_following_timeout() override;

 protected:
  bool on_subscribe(Subscriber<IHardwareDevice::Read>* s) override;

 private:
  static void CALLBACK gatt_event_static(gatt::EventType type, PVOID event_out, PVOID context);
  void gatt_event(PVOID event_out);
  bool open_locked();
  void close_locked();
  bool open_gatt();
  bool read_register();
  void read_unregister();
  bool read_enable();
  bool gatt_option();
  bool fail_write(ErrorCode code, std::uint32_t system, const char* text);

  const std::weak_ptr<GattBus> gatt_bus_;
  const std::weak_ptr<Win32Bus> hid_bus_;
  const std::shared_ptr<IWin32System> system_;
  const std::string path_;
  std::atomic<int> pid_{0};

  std::recursive_mutex lock_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HDEVNOTIFY notification_ = nullptr;
  bool is_open_ = false;
  bool gatt_info_read_ = false;
  bool read_wanted_ = false;
  std::vector<gatt::Characteristic> io_characteristics_;
  std::vector<gatt::Descriptor> ccc_descriptors_;
  std::atomic<bool> fixed_length_{false};
  std::vector<gatt::EventHandle> event_registrations_;
  bool read_registered_ = false;
  bool notifications_enabled_ = false;
  std::atomic<bool> destructed_{false};
};

}  // namespace rodiz
