#pragma once

#include <windows.h>

#include <dbt.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Windows/IWin32System.h"
#include "runtime/Producer.h"
#include "transport/IHardwareSecondaryBus.h"

namespace rodiz {

class Win32Bus;

// The Bluetooth low-energy devices that offer the FRAP GATT service, each as
// a GattDevice report channel (bus type 4). It hangs off the HID bus: it
// borrows its window, system layer and tracked-handle registration, and gets
// every device-change broadcast from it, on the window's thread. Devices are
// matched by path above, so every broadcast makes a fresh channel object.
class GattBus : public IHardwareSecondaryBus,
                public Producer<IHardwareBus::PlugUnplug>,
                public std::enable_shared_from_this<GattBus> {
 public:
  // GUID_FRPGATT: the service's interface class, and the 128-bit identifier
  // of its fixed-length I/O characteristic; the variable-length one.
  static const GUID kServiceInterface;
  static const GUID kVariableLengthCharacteristic;

  explicit GattBus(std::weak_ptr<Win32Bus> hid_bus);
  ~GattBus() override;

  // Starts the HID bus and watches the service's interfaces; false with
  // LastError when the HID bus is gone or does not start.
  bool lazyStart();
  // The service interfaces present now whose channel opens.
  std::vector<std::shared_ptr<IHardwareDevice>> devices() override;
  void process_wm_devicechange(unsigned event, const void* header) override;
  // Lists again; when `path` is gone, raises onUnplug for it and returns false.
  bool verify_device_exists(const std::string& path);
  // Raises onUnplug with a fresh channel for `path`.
  void read_failed_with_disconnect_error(const std::string& path);

  std::weak_ptr<Win32Bus> hid_bus() const { return hid_bus_; }
  std::shared_ptr<IWin32System> system();

 protected:
  bool on_subscribe(Subscriber<IHardwareBus::PlugUnplug>* s) override;

 private:
  std::vector<std::string> find_interfaces();
  std::shared_ptr<IHardwareDevice> make_device(const std::string& path);
  void produce_device(bool plug, const std::string& path);

  const std::weak_ptr<Win32Bus> hid_bus_;
  std::mutex start_lock_;
  std::atomic<bool> started_{false};
  HWND hwnd_ = nullptr;
  std::shared_ptr<IWin32System> system_;
  HDEVNOTIFY gatt_notification_ = nullptr;
};

}  // namespace rodiz
