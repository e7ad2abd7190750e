#pragma once

#include <windows.h>

#include <dbt.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Windows/IWin32System.h"
#include "runtime/Producer.h"
#include "runtime/Subscriber.h"
#include "transport/IBluetoothBus.h"

namespace rodiz {

class BluetoothMicrosoftDevice;
class Win32Bus;

// The system's Bluetooth stack as a Bluetooth bus. It answers which HID path
// belongs to a paired device (from the registry keys of the Bluetooth
// enumerators), keeps one BluetoothMicrosoftDevice per address, opens every
// radio so that the radio's own broadcasts reach the HID bus's window, and
// turns those broadcasts into connect, disconnect and unpair events of the
// devices. It borrows the HID bus's window, system layer and tracked-handle
// registration; broadcasts arrive on that window's thread.
//
// It starts on first use (a device query or a subscription) and stays
// started until it is destroyed. An inactive bus (Bluetooth switched off by
// the configuration) refuses every query with BluetoothNotificationFailed.
class BluetoothMicrosoftBus : public IBluetoothBus,
                              public Producer<IBluetoothBus::RadioArrivalRemovalExternal>,
                              public Producer<IBluetoothBus::RadioArrivalRemovalInternal>,
                              public Subscriber<IBluetoothBus::RadioArrivalRemovalInternal>,
                              public std::enable_shared_from_this<BluetoothMicrosoftBus> {
 public:
  // GUID_BLUETOOTH_L2CAP_EVENT and GUID_BLUETOOTH_RADIO_IN_RANGE.
  static const GUID kL2capEvent;
  static const GUID kRadioInRange;
  static constexpr USHORT kPsmHidInterrupt = 0x0013;
  static constexpr ULONG kPersonal = 0x10;
  static constexpr ULONG kConnected = 0x20;
  static constexpr ULONG kLePersonal = 0x20000;

  BluetoothMicrosoftBus(std::weak_ptr<Win32Bus> hid_bus, bool active);
  ~BluetoothMicrosoftBus() override;

  // Starts the bus once: the HID bus's window and system, the radio
  // interface registration and the radios present now. False with LastError
  // when the bus is inactive or the HID bus is gone or cannot start.
  bool lazy_start();
  // Closes every radio and the registration; the device objects stay.
  void stop();

  std::shared_ptr<IBluetoothDevice> device_paired_on_path(std::string path) override;
  void process_wm_devicechange(unsigned event, const void* header) override;

  // Asks every open radio about `address`. True when one answered; then
  // `connected` and `radio` hold the last answer.
  bool get_connect_state_via_bgdi(std::uint64_t address, int bus_type, bool& connected, std::string& radio);
  // Whether the device is still paired to `radio` (see IBluetoothDevice).
  bool verify_pairing_via_bgdi(std::uint64_t address, int bus_type, std::string& radio);
  // The name a radio reports for `address`; empty when none answers.
  std::string name_via_bgdi(std::uint64_t address);
  bool radio_present(const std::string& radio);
  // The radio whose broadcasts come with `notification`; empty when unknown.
  std::string radio_by_notification(HDEVNOTIFY notification);
  // The one device object of `address`, made with `bus_type` when missing.
  std::shared_ptr<BluetoothMicrosoftDevice> device_for(std::uint64_t address, int bus_type);
  // The radio of the device tree above a HID path, or empty.
  std::string find_radio_via_pnp(const std::string& path);

  void onRadioArrival(std::string radio) override;
  void onRadioRemoval(std::string radio) override;

 protected:
  bool on_subscribe(Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>* s) override;

 private:
  struct Radio {
    HANDLE file = INVALID_HANDLE_VALUE;
    HDEVNOTIFY notification = nullptr;
  };

  std::shared_ptr<BluetoothMicrosoftDevice> search_enumerator(const std::string& path, const wchar_t* key,
                                                              int bus_type);
  void find_radios();
  void radio_event(bool arrival, const std::string& radio);
  void custom_event(const DEV_BROADCAST_HANDLE* header);
  std::map<std::string, Radio> radios_snapshot();
  void report_unreported(const char* context);

  const std::weak_ptr<Win32Bus> hid_bus_;
  const bool active_;
  std::mutex start_lock_;
  std::atomic<bool> started_{false};
  HWND hwnd_ = nullptr;
  std::shared_ptr<IWin32System> system_;
  HDEVNOTIFY radio_interface_notification_ = nullptr;

  std::mutex paired_lock_;
  std::map<std::string, std::shared_ptr<BluetoothMicrosoftDevice>> paired_by_path_;
  std::mutex devices_lock_;
  std::map<std::uint64_t, std::shared_ptr<BluetoothMicrosoftDevice>> devices_by_address_;
  // The open radios by path, by handle and by notification, under one lock.
  std::mutex radios_lock_;
  std::map<std::string, HANDLE> radio_handles_;
  std::map<HANDLE, HDEVNOTIFY> radio_notifications_;
  std::map<HDEVNOTIFY, std::string> radio_paths_;
};

}  // namespace rodiz
