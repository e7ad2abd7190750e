#pragma once

#include <windows.h>

#include <dbt.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Windows/IWin32System.h"
#include "runtime/Producer.h"
#include "transport/IHardwareBus.h"
#include "transport/IHardwareSecondaryBus.h"

namespace rodiz {

class IDeviceManager;

// The HID bus of the Windows device stack. It lists the HID collections that
// pass the channel's identity checks (one Win32Device each) and turns the
// system's device-change broadcasts into onPlug and onUnplug events.
//
// Broadcasts reach a process only through a window, so the bus runs a hidden
// window ("Orva_Rodiz_MainWindow") on a thread of its own, started by the
// first subscription or the first devices() call. Every notification
// registration is made on that thread; other threads ask for one with a
// request record sent as a window message and wait at most 5000 ms. The bus
// owns the file handles of open channels as far as removal is concerned: on
// a removal query it closes the handle at once so the removal is not
// blocked, and the channel reopens on its next use.
//
// If the window thread cannot create its window, or does not report within
// `start_timeout_ms`, lazyStart throws RodizException with WindowThreadFailed
// instead of waiting on; on_subscribe and devices() turn that into a failed
// result, and a later call tries again.
class Win32Bus : public IHardwareBus,
                 public Producer<IHardwareBus::PlugUnplug>,
                 public std::enable_shared_from_this<Win32Bus> {
 public:
  // What other threads send to the window thread (WM_USER, wParam = its size,
  // lParam = the record). Only records whose sender is still waiting are
  // read; anything else is ignored.
  struct Request {
    std::uint32_t size = sizeof(Request);
    std::uint8_t is_handle = 0;   // 1: file-handle registration; 0: interface
    std::uint8_t unregister = 0;  // 1: remove; 0: add
    std::int32_t error = 0;       // out: ErrorCode of a failed add
    std::uint32_t system = 0;     // out: system code of a failed add
    HANDLE file = nullptr;
    HDEVNOTIFY file_notification = nullptr;  // out on add, in on remove
    GUID interface_class{};
    HDEVNOTIFY interface_notification = nullptr;  // out on add, in on remove
  };

  static constexpr UINT kRequestMessage = WM_USER;
  static constexpr UINT kRequestTimeoutMs = 5000;
  static constexpr unsigned kDefaultStartTimeoutMs = 10000;
  static constexpr const wchar_t* kWindowClass = L"Orva_Rodiz_MainWindow";
  // GUID_BTHPORT_DEVICE_INTERFACE, the Bluetooth radios.
  static const GUID kBluetoothPortInterface;

  explicit Win32Bus(std::weak_ptr<IDeviceManager> manager);
  ~Win32Bus() override;
  Win32Bus(const Win32Bus&) = delete;
  Win32Bus& operator=(const Win32Bus&) = delete;

  // Reads the Bluetooth configuration items from the manager.
  void init();
  // Starts the system layer and the window thread once; copies the window
  // handle and the system object to the out-pointers given. Throws
  // RodizException when a system library is missing or the window thread
  // fails.
  void lazyStart(HWND* hwnd = nullptr, std::shared_ptr<IWin32System>* system = nullptr);

  // A full enumeration: every present collection that opens. Failures give
  // an empty list with LastError set.
  std::vector<std::shared_ptr<IHardwareDevice>> devices() override;
  std::vector<std::shared_ptr<IBluetoothBus>> bluetooth_busses() override { return bluetooth_busses_list_; }
  bool wants_combiner() override { return true; }
  std::vector<std::shared_ptr<IHardwareSecondaryBus>> secondary_busses() override { return secondary_busses_list_; }

  // The system layer; tests replace it.
  virtual std::shared_ptr<IWin32System> makeWin32System();
  // The body of the window thread.
  virtual void window_thread();

  // Requests to the window thread. The adds return null on failure, with
  // LastError set (ShuttingDown without a window); a send that fails or
  // times out returns null and leaves LastError alone.
  HDEVNOTIFY registerInterfaceNotification();
  void unregisterInterfaceNotification(HDEVNOTIFY notification);
  // From now on the bus may close `file` when the system asks to remove the
  // device; the caller must not close it itself but hand it back with
  // unregisterDeviceNotificationAndCloseTrackedHandle.
  HDEVNOTIFY registerDeviceNotificationAndTakeOwnershipOfHandle(HANDLE file);
  void unregisterDeviceNotificationAndCloseTrackedHandle(HDEVNOTIFY notification, HANDLE file);
  // True while `file` is still the open handle tracked for `notification`.
  bool verifyDeviceNotificationHandleOpen(HDEVNOTIFY notification, HANDLE file);
  // Enumerates; when `path` is gone, raises onUnplug for it and returns false.
  bool verify_device_exists(const std::string& path);
  // Raises onUnplug with a fresh channel for `path`.
  void read_failed_with_disconnect_error(const std::string& path);

  // The device manager, for the buses that hang off this one.
  std::weak_ptr<IDeviceManager> manager() const { return manager_; }

  // For tests: the hidden window, and a shorter bound for the start.
  HWND window_handle() const { return hwnd_.load(); }
  void set_start_timeout_ms(unsigned timeout_ms) { start_timeout_ms_ = timeout_ms; }

 protected:
  bool on_subscribe(Subscriber<IHardwareBus::PlugUnplug>* s) override;

 private:
  static LRESULT CALLBACK WindowProcStatic(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  // Runs window_thread, turns its failure into an unreported error and
  // releases a waiting lazyStart either way.
  void window_thread_static();
  void process_request(WPARAM wparam, LPARAM lparam);
  void processDeviceChange(WPARAM event, const DEV_BROADCAST_HDR* header);
  void produce_device(bool plug, const std::string& path);
  void EnumerateInterfaces(const GUID& interface_class, std::vector<std::shared_ptr<IHardwareDevice>>* out);
  // Sends a request and waits for it; false when the send failed or timed out.
  bool send_request(Request* request);

  // Workers, on the window thread.
  HDEVNOTIFY register_interface_worker(const GUID& interface_class);
  void unregister_interface_worker(HDEVNOTIFY notification);
  HDEVNOTIFY register_handle_worker(HANDLE file);
  void unregister_handle_worker(HDEVNOTIFY notification, HANDLE file);
  void closeTrackedHandle(HDEVNOTIFY notification, HANDLE file);

  const std::weak_ptr<IDeviceManager> manager_;
  std::atomic<HWND> hwnd_{nullptr};
  std::unique_ptr<std::thread> window_;
  std::mutex window_lock_;
  std::condition_variable window_changed_;
  bool window_started_ = false;
  bool window_failed_ = false;
  std::shared_ptr<IWin32System> system_;
  GUID hid_guid_{};
  std::atomic<bool> window_ended_{false};
  // Set by the destructor: the only time the window may close.
  std::atomic<bool> stopping_{false};
  std::atomic<unsigned> start_timeout_ms_{kDefaultStartTimeoutMs};
  std::vector<std::shared_ptr<IBluetoothBus>> bluetooth_busses_list_;
  std::vector<std::shared_ptr<IHardwareSecondaryBus>> secondary_busses_list_;
  std::mutex tracked_lock_;
  std::map<HDEVNOTIFY, HANDLE> tracked_;
  std::set<HDEVNOTIFY> interface_notifications_;
  std::mutex start_lock_;
  bool started_ = false;
  // Records whose senders are waiting; held while the window thread works on
  // one, so that a sender that timed out cannot leave while it is read.
  std::mutex requests_lock_;
  std::set<const Request*> requests_;
};

}  // namespace rodiz
