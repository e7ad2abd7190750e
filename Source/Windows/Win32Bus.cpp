#include "Windows/Win32Bus.h"

#include <cstddef>

#include "Windows/BluetoothMicrosoftBus.h"
#include "Windows/GattBus.h"
#include "Windows/WideText.h"
#include "Windows/Win32Device.h"
#include "Windows/Win32System.h"
#include "device/LastError.h"
#include "log/xLog.h"
#include "runtime/ConfigItem.h"
#include "runtime/IDeviceManager.h"
#include "runtime/RodizException.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "Win32Bus";
#define BLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

// Interface detail records larger than this are not believed.
constexpr DWORD kMaxDetailSize = 64 * 1024;

}  // namespace

const GUID Win32Bus::kBluetoothPortInterface = {
    0x0850302A, 0xB344, 0x4FDA, {0x9B, 0xE9, 0x90, 0x57, 0x6B, 0x8D, 0x46, 0xF0}};

Win32Bus::Win32Bus(std::weak_ptr<IDeviceManager> manager) : manager_(std::move(manager)) {}

Win32Bus::~Win32Bus() {
  BLOG(LogInfo, "Win32Bus::~Win32Bus enter");
  stopping_ = true;
  if (HWND hwnd = hwnd_.load()) ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
  if (window_) {
    BLOG(LogInfo, "Win32Bus::~Win32Bus joining thread");
    if (window_->get_id() == std::this_thread::get_id()) {
      // The last reference went on the window thread itself: it cannot be
      // joined from here.
      BLOG(LogError, "Win32Bus::~Win32Bus destroyed on its window thread, detaching it");
      window_->detach();
    } else {
      try {
        window_->join();
      } catch (const std::exception&) {
        // Nothing left to do for a thread that cannot be joined.
      }
    }
  }
  bluetooth_busses_list_.clear();
  secondary_busses_list_.clear();
  BLOG(LogInfo, "Win32Bus::~Win32Bus exit");
}

void Win32Bus::init() {
  bool bluetooth_active = false;
  bool ble_active = false;
  bool ble_monitor = false;
  if (std::shared_ptr<IDeviceManager> manager = manager_.lock()) {
    manager->config_get(item_number(ConfigItem::BluetoothActive), &bluetooth_active);
    manager->config_get(item_number(ConfigItem::BleActive), &ble_active);
    manager->config_get(item_number(ConfigItem::BleMonitor), &ble_monitor);
  } else {
    set_last_error(ShuttingDown);
  }
  BLOG(LogInfo, "Win32Bus::init bluetooth_active=%d ble_active=%d ble_monitor=%d", bluetooth_active, ble_active,
       ble_monitor);
  // The system Bluetooth bus always exists, so the pairing filter is always
  // inserted; it answers only while Bluetooth is switched on.
  bluetooth_busses_list_.push_back(
      std::make_shared<BluetoothMicrosoftBus>(weak_from_this(), bluetooth_active || ble_active));
  // The GATT bus holds this bus weakly: this bus owns it.
  if (ble_active || ble_monitor) secondary_busses_list_.push_back(std::make_shared<GattBus>(weak_from_this()));
}

std::shared_ptr<IWin32System> Win32Bus::makeWin32System() {
  BLOG(LogInfo, "Win32Bus::makeWin32System");
  return std::make_shared<Win32System>();
}

void Win32Bus::lazyStart(HWND* hwnd, std::shared_ptr<IWin32System>* system) {
  std::lock_guard<std::mutex> guard(start_lock_);
  BLOG(LogInfo, "Win32Bus::lazyStart enter");
  if (started_) {
    BLOG(LogInfo, "Win32Bus::lazyStart already started");
  } else {
    BLOG(LogInfo, "Win32Bus::lazyStart performing startup");
    if (!system_) {
      std::shared_ptr<IWin32System> made = makeWin32System();
      made->HidD_GetHidGuid(&hid_guid_);
      system_ = std::move(made);
    }
    if (!window_) {
      // No thread left from an attempt that timed out: start one.
      {
        std::lock_guard<std::mutex> window_guard(window_lock_);
        window_started_ = false;
        window_failed_ = false;
      }
      window_ = std::make_unique<std::thread>([this] { window_thread_static(); });
    }
    BLOG(LogInfo, "Win32Bus::lazyStart waiting");
    std::unique_lock<std::mutex> wait(window_lock_);
    window_changed_.wait_for(wait, std::chrono::milliseconds(start_timeout_ms_.load()),
                             [this] { return window_started_ || window_failed_; });
    if (window_started_) {
      started_ = true;
    } else if (window_failed_) {
      wait.unlock();
      window_->join();
      window_.reset();
      BLOG(LogError, "Win32Bus::lazyStart exit (false, window thread failed)");
      throw RodizException(WindowThreadFailed, 0, "window thread failed");
    } else {
      // The thread is kept: a later call waits for it again.
      BLOG(LogError, "Win32Bus::lazyStart exit (false, window thread did not start within %u ms)",
           start_timeout_ms_.load());
      throw RodizException(WindowThreadFailed, WAIT_TIMEOUT, "window thread did not start");
    }
  }
  if (hwnd != nullptr) *hwnd = hwnd_.load();
  if (system != nullptr) *system = system_;
  BLOG(LogInfo, "Win32Bus::lazyStart exit");
}

void Win32Bus::window_thread_static() {
  BLOG(LogInfo, "Win32Bus::window_thread_static start");
  try {
    window_thread();
  } catch (const RodizException& e) {
    BLOG(LogWarning, "Win32Bus::window_thread_static exception");
    set_last_error(WindowThreadFailed, static_cast<std::uint32_t>(e.system), e.message);
    if (std::shared_ptr<IDeviceManager> manager = manager_.lock()) {
      manager->report_unreported_error("Win32Bus::window_thread_static");
    }
  } catch (const std::exception&) {
    BLOG(LogWarning, "Win32Bus::window_thread_static exception");
    set_last_error(WindowThreadFailed);
    if (std::shared_ptr<IDeviceManager> manager = manager_.lock()) {
      manager->report_unreported_error("Win32Bus::window_thread_static");
    }
  }
  {
    std::lock_guard<std::mutex> guard(window_lock_);
    if (!window_started_) window_failed_ = true;
  }
  window_changed_.notify_all();
  BLOG(LogInfo, "Win32Bus::window_thread_static end");
}

void Win32Bus::window_thread() {
  BLOG(LogInfo, "Win32Bus::window_thread start");
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = &Win32Bus::WindowProcStatic;
  window_class.lpszClassName = kWindowClass;
  // A second bus in the process finds the class registered already; it has
  // the same procedure.
  ::RegisterClassW(&window_class);
  HWND hwnd = system_->CreateWindowExW(WS_EX_TOOLWINDOW, kWindowClass, kWindowClass, WS_POPUP, 0, 0, 0, 0, nullptr,
                                       nullptr, nullptr, this);
  if (hwnd == nullptr) {
    const DWORD error = ::GetLastError();
    BLOG(LogError, "Win32Bus::window_thread CreateWindowEx failed, err=%lu", error);
    throw RodizException(CreateWindowFailed, error, "could not create window");
  }
  hwnd_ = hwnd;
  ::ShowWindow(hwnd, SW_HIDE);
  if (stopping_) {
    // The destructor may have looked at hwnd_ before it was set.
    ::DestroyWindow(hwnd);
  } else if (register_interface_worker(hid_guid_) == nullptr) {
    if (std::shared_ptr<IDeviceManager> manager = manager_.lock()) {
      manager->report_unreported_error("Win32Bus::window_thread");
    } else {
      BLOG(LogInfo, "Win32Bus::window_thread could not lock manager");
    }
  }
  {
    std::lock_guard<std::mutex> guard(window_lock_);
    window_started_ = true;
  }
  window_changed_.notify_all();

  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }

  const std::set<HDEVNOTIFY> interfaces = interface_notifications_;
  for (HDEVNOTIFY notification : interfaces) unregister_interface_worker(notification);
  std::map<HDEVNOTIFY, HANDLE> tracked;
  {
    std::lock_guard<std::mutex> guard(tracked_lock_);
    tracked = tracked_;
  }
  for (const auto& [notification, file] : tracked) unregister_handle_worker(notification, file);
  window_ended_ = true;
  BLOG(LogInfo, "Win32Bus::window_thread end");
}

LRESULT CALLBACK Win32Bus::WindowProcStatic(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  xLogWrite(kTag, LogVerbose, "rodiz::Win32Bus::WindowProcStatic", "Win32Bus::WindowProcStatic msg=%u", message);
  Win32Bus* bus = nullptr;
  if (message == WM_NCCREATE) {
    bus = static_cast<Win32Bus*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(bus));
  } else {
    bus = reinterpret_cast<Win32Bus*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  if (bus == nullptr) return 0;
  return bus->WindowProc(hwnd, message, wparam, lparam);
}

LRESULT Win32Bus::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CLOSE:
      // Only the destructor closes the window; a WM_CLOSE from anywhere else
      // would silently end the notifications.
      if (!stopping_) {
        BLOG(LogWarning, "Win32Bus ignoring WM_CLOSE while running");
        return 0;
      }
      return ::DefWindowProcW(hwnd, message, wparam, lparam);
    case WM_DESTROY:
      BLOG(LogInfo, "Win32Bus WM_DESTROY");
      hwnd_ = nullptr;
      ::PostQuitMessage(0);
      return 0;
    case WM_POWERBROADCAST:
      if (wparam == PBT_APMRESUMEAUTOMATIC) {
        BLOG(LogInfo, "Win32Bus WM_POWERBROADCAST - PBT_APMRESUMEAUTOMATIC");
        produce([](IHardwareBus::PlugUnplug* s) { s->onPowerChange(false); }, "Win32Bus::PlugUnplug::onPowerChange");
      }
      return 0;
    case WM_DEVICECHANGE:
      BLOG(LogInfo, "Win32Bus WM_DEVICECHANGE enter");
      try {
        processDeviceChange(wparam, reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam));
      } catch (...) {
        BLOG(LogError, "Win32Bus WM_DEVICECHANGE exception");
      }
      BLOG(LogInfo, "Win32Bus WM_DEVICECHANGE exit");
      return 0;
    case kRequestMessage:
      process_request(wparam, lparam);
      return 0;
    default:
      return ::DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

void Win32Bus::process_request(WPARAM wparam, LPARAM lparam) {
  auto* request = reinterpret_cast<Request*>(lparam);
  // Held while the record is read and written: its sender cannot give up and
  // leave with it meanwhile.
  std::lock_guard<std::mutex> guard(requests_lock_);
  if (wparam != sizeof(Request) || request == nullptr || requests_.count(request) == 0 ||
      request->size != sizeof(Request)) {
    BLOG(LogWarning, "Win32Bus::WindowProc got WM_USER with unexpected parameters");
    return;
  }
  BLOG(LogInfo, "Win32Bus::WindowProc processing WM_USER, ishandle=%d, unregister=%d", request->is_handle,
       request->unregister);
  if (request->is_handle != 0) {
    if (request->unregister != 0) {
      unregister_handle_worker(request->file_notification, request->file);
      BLOG(LogInfo, "Win32Bus::WindowProc wmuser unregistered notif %p handle %p", request->file_notification,
           request->file);
    } else {
      request->file_notification = register_handle_worker(request->file);
      if (request->file_notification == nullptr) {
        request->error = last_error().code;
        request->system = last_error().system;
      }
      BLOG(LogInfo, "Win32Bus::WindowProc wmuser registered notif %p handle %p", request->file_notification,
           request->file);
    }
  } else {
    if (request->unregister != 0) {
      unregister_interface_worker(request->interface_notification);
      BLOG(LogInfo, "Win32Bus::WindowProc wmuser unregistered index %p", request->interface_notification);
    } else {
      request->interface_notification = register_interface_worker(request->interface_class);
      if (request->interface_notification == nullptr) {
        request->error = last_error().code;
        request->system = last_error().system;
      }
      BLOG(LogInfo, "Win32Bus::WindowProc wmuser registered index %p", request->interface_notification);
    }
  }
  BLOG(LogInfo, "Win32Bus::WindowProc done processing WM_USER");
}

bool Win32Bus::send_request(Request* request) {
  const HWND hwnd = hwnd_.load();
  {
    std::lock_guard<std::mutex> guard(requests_lock_);
    requests_.insert(request);
  }
  DWORD_PTR result = 0;
  const LRESULT sent = ::SendMessageTimeoutW(hwnd, kRequestMessage, sizeof(Request), reinterpret_cast<LPARAM>(request),
                                             SMTO_BLOCK, kRequestTimeoutMs, &result);
  {
    // Waits for the window thread if it is working on the record right now.
    std::lock_guard<std::mutex> guard(requests_lock_);
    requests_.erase(request);
  }
  return sent != 0;
}

HDEVNOTIFY Win32Bus::registerInterfaceNotification() {
  BLOG(LogInfo, "Win32Bus::registerInterfaceNotification enter");
  if (hwnd_.load() == nullptr) {
    set_last_error(ShuttingDown);
    BLOG(LogInfo, "registerInterfaceNotification no hwnd");
    return nullptr;
  }
  Request request;
  request.interface_class = kBluetoothPortInterface;
  if (!send_request(&request)) {
    BLOG(LogWarning, "-hid- SendMessageTimeout failed or timed out");
    return nullptr;
  }
  if (request.interface_notification == nullptr) {
    set_last_error(static_cast<ErrorCode>(request.error), request.system);
  }
  BLOG(LogInfo, "Win32Bus::registerInterfaceNotification exit, notif %p", request.interface_notification);
  return request.interface_notification;
}

void Win32Bus::unregisterInterfaceNotification(HDEVNOTIFY notification) {
  BLOG(LogInfo, "Win32Bus::unregisterInterfaceNotification enter");
  if (hwnd_.load() == nullptr) {
    BLOG(LogInfo, "Win32Bus::unregisterInterfaceNotification no hwnd");
    return;
  }
  Request request;
  request.unregister = 1;
  request.interface_notification = notification;
  if (!send_request(&request)) BLOG(LogWarning, "-hid- SendMessageTimeout failed or timed out");
  BLOG(LogInfo, "Win32Bus::unregisterInterfaceNotification exit, notif %p", notification);
}

HDEVNOTIFY Win32Bus::registerDeviceNotificationAndTakeOwnershipOfHandle(HANDLE file) {
  BLOG(LogInfo, "Win32Bus::registerDeviceNotificationAndTakeOwnershipOfHandle enter");
  if (hwnd_.load() == nullptr) {
    set_last_error(ShuttingDown);
    BLOG(LogInfo, "registerDeviceNotificationAndTakeOwnershipOfHandle no hwd");
    return nullptr;
  }
  Request request;
  request.is_handle = 1;
  request.file = file;
  if (!send_request(&request)) {
    BLOG(LogWarning, "-hid- SendMessageTimeout failed or timed out");
    return nullptr;
  }
  if (request.file_notification == nullptr) set_last_error(static_cast<ErrorCode>(request.error), request.system);
  BLOG(LogInfo, "Win32Bus::registerDeviceNotificationAndTakeOwnershipOfHandle exit, notif %p handle %p",
       request.file_notification, file);
  return request.file_notification;
}

void Win32Bus::unregisterDeviceNotificationAndCloseTrackedHandle(HDEVNOTIFY notification, HANDLE file) {
  BLOG(LogInfo, "Win32Bus::unregisterDeviceNotificationAndCloseTrackedHandle enter");
  if (hwnd_.load() == nullptr) {
    BLOG(LogInfo, "unregisterDeviceNotificationAndCloseTrackedHandle no hwnd");
    return;
  }
  Request request;
  request.is_handle = 1;
  request.unregister = 1;
  request.file = file;
  request.file_notification = notification;
  if (!send_request(&request)) {
    BLOG(LogWarning,
         "Win32Bus::unregisterDeviceNotificationAndCloseTrackedHandle SendMessageTimeout failed or timed out");
  }
  BLOG(LogInfo, "Win32Bus::unregisterDeviceNotificationAndCloseTrackedHandle exit, notif %p handle %p", notification,
       file);
}

HDEVNOTIFY Win32Bus::register_interface_worker(const GUID& interface_class) {
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = interface_class;
  HDEVNOTIFY notification = system_->RegisterDeviceNotificationW(hwnd_.load(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (notification != nullptr) {
    interface_notifications_.insert(notification);
  } else {
    const DWORD error = ::GetLastError();
    BLOG(LogError, "-hid- RegisterDeviceNotification_worker failed, syserr=%lu", error);
    set_last_error(RegisterInterfaceNotificationFailed, error);
  }
  return notification;
}

void Win32Bus::unregister_interface_worker(HDEVNOTIFY notification) {
  auto it = interface_notifications_.find(notification);
  if (it == interface_notifications_.end()) return;
  system_->UnregisterDeviceNotification(notification);
  interface_notifications_.erase(it);
}

HDEVNOTIFY Win32Bus::register_handle_worker(HANDLE file) {
  DEV_BROADCAST_HANDLE filter{};
  filter.dbch_size = sizeof filter;
  filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
  filter.dbch_handle = file;
  HDEVNOTIFY notification = system_->RegisterDeviceNotificationW(hwnd_.load(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (notification == nullptr) {
    const DWORD error = ::GetLastError();
    BLOG(LogError,
         "registerDeviceNotificationAndTakeOwnershipOfHandle_worker: RegisterDeviceNotification failed, err=%lu",
         error);
    set_last_error(RegisterDeviceNotificationFailed, error, "RegisterDeviceNotification");
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(tracked_lock_);
  auto it = tracked_.find(notification);
  if (it != tracked_.end()) {
    BLOG(LogError,
         "registerDeviceNotificationAndTakeOwnershipOfHandle_worker: new notif %p to track handle %p already tracking "
         "handle %p",
         notification, file, it->second);
  } else {
    BLOG(LogInfo, "registerDeviceNotificationAndTakeOwnershipOfHandle_worker: new notif %p to track handle %p",
         notification, file);
  }
  tracked_[notification] = file;
  return notification;
}

void Win32Bus::unregister_handle_worker(HDEVNOTIFY notification, HANDLE file) {
  std::lock_guard<std::mutex> guard(tracked_lock_);
  if (notification == nullptr || file == nullptr) {
    BLOG(LogError, "unregisterDeviceNotificationAndCloseTrackedHandle_worker: NULL value (hNotification=%p, handle=%p)",
         notification, file);
    return;
  }
  auto it = tracked_.find(notification);
  if (it == tracked_.end()) {
    BLOG(LogError, "unregisterDeviceNotificationAndCloseTrackedHandle_worker hNotification not tracked");
    return;
  }
  if (it->second != INVALID_HANDLE_VALUE) {
    if (it->second != file) {
      BLOG(LogError, "unregisterDeviceNotificationAndCloseTrackedHandle_worker mismatch (tracked=%p, actual=%p)",
           it->second, file);
    }
    if (!::CloseHandle(file)) BLOG(LogError, "-hid- CloseHandle failed, err=%lu", ::GetLastError());
  } else {
    BLOG(LogInfo, "unregisterDeviceNotificationAndCloseTrackedHandle_worker handle %p already closed", file);
  }
  if (!system_->UnregisterDeviceNotification(notification)) {
    BLOG(LogError, "unregisterDeviceNotificationAndCloseTrackedHandle_worker unregister failed, err=%lu",
         ::GetLastError());
  }
  tracked_.erase(it);
}

void Win32Bus::closeTrackedHandle(HDEVNOTIFY notification, HANDLE file) {
  std::lock_guard<std::mutex> guard(tracked_lock_);
  if (notification == nullptr || file == nullptr) {
    BLOG(LogError, "closeTrackedHandle: NULL value (hNotification=%p, handle=%p)", notification, file);
    return;
  }
  auto it = tracked_.find(notification);
  if (it == tracked_.end()) {
    BLOG(LogWarning, "closeTrackedHandle hNotification not tracked");
    return;
  }
  if (it->second == INVALID_HANDLE_VALUE) {
    BLOG(LogInfo, "handle %p already closed", file);
    return;
  }
  if (it->second != file) {
    BLOG(LogError, "closeTrackedHandle mismatch (tracked=%p, actual=%p)", it->second, file);
  }
  // The handle the bus owns, never one named only by the broadcast.
  if (::CloseHandle(it->second)) {
    BLOG(LogInfo, "closed handle %p", it->second);
  } else {
    BLOG(LogError, "-hid- CloseHandle failed, err=%lu", ::GetLastError());
  }
  it->second = INVALID_HANDLE_VALUE;
}

bool Win32Bus::verifyDeviceNotificationHandleOpen(HDEVNOTIFY notification, HANDLE file) {
  std::lock_guard<std::mutex> guard(tracked_lock_);
  auto it = tracked_.find(notification);
  if (it != tracked_.end() && it->second == file) {
    BLOG(LogVerbose, "handle %p still open", file);
    return true;
  }
  BLOG(LogInfo, "handle %p is closed (now %p)", file, it != tracked_.end() ? it->second : nullptr);
  return false;
}

void Win32Bus::produce_device(bool plug, const std::string& path) {
  std::weak_ptr<Win32Bus> self = weak_from_this();
  if (self.expired()) return;
  std::shared_ptr<IHardwareDevice> device = std::make_shared<Win32Device>(self, system_, path, 0);
  if (plug) {
    BLOG(LogInfo, "Win32Bus::processDeviceChange arrive producing onPlug event");
    produce([device](IHardwareBus::PlugUnplug* s) { s->onPlug(device); }, "Win32Bus::PlugUnplug::onPlug");
  } else {
    BLOG(LogInfo, "Win32Bus::processDeviceChange remove producing onUnplug event");
    produce([device](IHardwareBus::PlugUnplug* s) { s->onUnplug(device); }, "Win32Bus::PlugUnplug::onUnplug");
  }
}

void Win32Bus::processDeviceChange(WPARAM event, const DEV_BROADCAST_HDR* header) {
  switch (event) {
    case DBT_DEVICEARRIVAL:
      BLOG(LogInfo, "Win32Bus::processDeviceChange DBT_DEVICEARRIVAL");
      break;
    case DBT_DEVICEQUERYREMOVE:
      BLOG(LogInfo, "Win32Bus::processDeviceChange DBT_DEVICEQUERYREMOVE");
      break;
    case DBT_DEVICEQUERYREMOVEFAILED:
      BLOG(LogInfo, "Win32Bus::processDeviceChange DBT_DEVICEQUERYREMOVEFAILED");
      break;
    case DBT_DEVICEREMOVEPENDING:
      BLOG(LogInfo, "Win32Bus::processDeviceChange DBT_DEVICEREMOVEPENDING");
      break;
    case DBT_DEVICEREMOVECOMPLETE:
      BLOG(LogInfo, "Win32Bus::processDeviceChange DBT_DEVICEREMOVECOMPLETE");
      break;
    default:
      BLOG(LogInfo, "Win32Bus::processDeviceChange DBT=%u", static_cast<unsigned>(event));
      break;
  }
  const bool arrival = event == DBT_DEVICEARRIVAL || event == DBT_DEVICEQUERYREMOVEFAILED;
  const bool removal =
      event == DBT_DEVICEQUERYREMOVE || event == DBT_DEVICEREMOVEPENDING || event == DBT_DEVICEREMOVECOMPLETE;
  if (header != nullptr && (arrival || removal)) {
    // The header's own size bounds what is read of it.
    const DWORD size = header->dbch_size;
    const DWORD type = header->dbch_devicetype;
    constexpr DWORD kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    constexpr DWORD kHandleEnd = offsetof(DEV_BROADCAST_HANDLE, dbch_eventguid);
    if (type == DBT_DEVTYP_DEVICEINTERFACE && size >= kNameOffset) {
      const auto* iface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
      if (arrival) BLOG(LogInfo, "Win32Bus::processDeviceChange arrive type=DBT_DEVTYP_DEVICEINTERFACE");
      if (removal) BLOG(LogInfo, "Win32Bus::processDeviceChange remove type=DBT_DEVTYP_DEVICEINTERFACE");
      if (::IsEqualGUID(iface->dbcc_classguid, hid_guid_)) {
        const std::string path = WideText::lower_utf8(iface->dbcc_name, (size - kNameOffset) / sizeof(wchar_t));
        BLOG(LogInfo, arrival ? "-hid- arrive HID interface, path=%s" : "-hid- remove HID interface, path=%s",
             path.c_str());
        if (path.empty()) {
          BLOG(LogWarning, "Win32Bus::processDeviceChange ignoring an interface without a path");
        } else {
          produce_device(arrival, path);
        }
      }
    } else if (type == DBT_DEVTYP_HANDLE && removal && size >= kHandleEnd) {
      const auto* handle = reinterpret_cast<const DEV_BROADCAST_HANDLE*>(header);
      BLOG(LogInfo, "-hid- remove type=DBT_DEVTYP_HANDLE, handle=%p", handle->dbch_handle);
      closeTrackedHandle(handle->dbch_hdevnotify, handle->dbch_handle);
    } else if (arrival) {
      BLOG(LogInfo, "Win32Bus::processDeviceChange arrive type=%lu", type);
    } else {
      BLOG(LogInfo, "Win32Bus::processDeviceChange remove type=%lu", type);
    }
  }
  // The Bluetooth and secondary buses get every broadcast too. A Bluetooth
  // bus's exception goes to the window procedure's guard.
  for (const std::shared_ptr<IBluetoothBus>& bus : bluetooth_busses_list_) {
    bus->process_wm_devicechange(static_cast<unsigned>(event), header);
  }
  for (const std::shared_ptr<IHardwareSecondaryBus>& bus : secondary_busses_list_) {
    try {
      bus->process_wm_devicechange(static_cast<unsigned>(event), header);
    } catch (...) {
      BLOG(LogError, "Win32Bus WM_DEVICECHANGE secondary_busses exception");
    }
  }
}

void Win32Bus::EnumerateInterfaces(const GUID& interface_class, std::vector<std::shared_ptr<IHardwareDevice>>* out) {
  BLOG(LogInfo, "Win32Bus::EnumerateInterfaces enter");
  HDEVINFO set =
      system_->SetupDiGetClassDevsW(&interface_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE || set == nullptr) {
    const DWORD error = ::GetLastError();
    BLOG(LogWarning, "Win32Bus::_SetupDiGetClassDevs failed, err=%lu", error);
    throw RodizException(SystemCallFailed, error, "SetupDiGetClassDevs failed");
  }
  struct Destroy {
    IWin32System& system;
    HDEVINFO set;
    ~Destroy() {
      xLogWrite(kTag, LogInfo, "rodiz::Win32Bus::EnumerateInterfaces", "Win32Bus::_SetupDiDestroyDeviceInfoList");
      try {
        system.SetupDiDestroyDeviceInfoList(set);
      } catch (const RodizException&) {
        // setupapi.dll made the set, so it is loaded.
      }
    }
  } destroy{*system_, set};

  std::weak_ptr<Win32Bus> self = weak_from_this();
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interface_data{};
    interface_data.cbSize = sizeof interface_data;
    if (!system_->SetupDiEnumDeviceInterfaces(set, nullptr, &interface_class, index, &interface_data)) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_NO_MORE_ITEMS) {
        BLOG(LogWarning, "Win32Bus::_SetupDiEnumDeviceInterfaces failed, err=%lu", error);
        throw RodizException(SystemCallFailed, error, "SetupDiEnumDeviceInterfaces failed");
      }
      break;
    }
    DWORD required = 0;
    if (!system_->SetupDiGetDeviceInterfaceDetailW(set, &interface_data, nullptr, 0, &required, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_INSUFFICIENT_BUFFER) {
        BLOG(LogWarning, "Win32Bus::_SetupDiGetDeviceInterfaceDetail probe failed, err=%lu", error);
        throw RodizException(SystemCallFailed, error, "SetupDiGetDeviceInterfaceDetail probe failed");
      }
    }
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || required > kMaxDetailSize) {
      BLOG(LogWarning, "Win32Bus::EnumerateInterfaces ignoring an interface whose detail takes %lu bytes", required);
      continue;
    }
    std::vector<DWORD> storage(required / sizeof(DWORD) + 2, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!system_->SetupDiGetDeviceInterfaceDetailW(set, &interface_data, detail, required, nullptr, &info)) {
      const DWORD error = ::GetLastError();
      BLOG(LogWarning, "Win32Bus::_SetupDiGetDeviceInterfaceDetail failed, err=%lu", error);
      throw RodizException(SystemCallFailed, error, "SetupDiGetDeviceInterfaceDetail failed");
    }
    const std::size_t units = (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
    const std::string path = WideText::lower_utf8(detail->DevicePath, units);
    auto device = std::make_shared<Win32Device>(self, system_, path, info.DevInst);
    if (device->open()) {
      device->close();
      out->push_back(device);
      BLOG(LogInfo, "Win32Bus::EnumerateInterfaces adding device to list");
    } else {
      BLOG(LogInfo, "Win32Bus::EnumerateInterfaces ignoring device it could not open");
    }
  }
  BLOG(LogInfo, "Win32Bus::EnumerateInterfaces exit");
}

std::vector<std::shared_ptr<IHardwareDevice>> Win32Bus::devices() {
  BLOG(LogInfo, "Win32Bus::devices enter");
  std::vector<std::shared_ptr<IHardwareDevice>> result;
  try {
    lazyStart();
    EnumerateInterfaces(hid_guid_, &result);
    if (result.empty()) clear_last_error();
  } catch (const RodizException& e) {
    e.store_in_last_error();
    BLOG(LogWarning, "Win32Bus::devices exception");
    result.clear();
  }
  BLOG(LogInfo, "Win32Bus::devices exit, returning %d devices", static_cast<int>(result.size()));
  return result;
}

bool Win32Bus::on_subscribe(Subscriber<IHardwareBus::PlugUnplug>* /*s*/) {
  BLOG(LogInfo, "Win32Bus::on_subscribe enter");
  try {
    lazyStart();
  } catch (const RodizException& e) {
    e.store_in_last_error();
    BLOG(LogWarning, "Win32Bus::on_subscribe exception");
    return false;
  }
  BLOG(LogInfo, "Win32Bus::on_subscribe exit");
  return true;
}

bool Win32Bus::verify_device_exists(const std::string& path) {
  for (const std::shared_ptr<IHardwareDevice>& device : devices()) {
    if (device->path() == path) {
      BLOG(LogInfo, "Win32Bus::verify_device_exists - device is present: %s", path.c_str());
      return true;
    }
  }
  BLOG(LogInfo, "Win32Bus::verify_device_exists - device was lost: %s", path.c_str());
  read_failed_with_disconnect_error(path);
  return false;
}

void Win32Bus::read_failed_with_disconnect_error(const std::string& path) {
  std::weak_ptr<Win32Bus> self = weak_from_this();
  if (self.expired()) return;
  std::shared_ptr<IHardwareDevice> device = std::make_shared<Win32Device>(self, system_, path, 0);
  BLOG(LogInfo, "Win32Bus::read_failed_with_disconnect_error producing onUnPlug event");
  produce([device](IHardwareBus::PlugUnplug* s) { s->onUnplug(device); }, "Win32Bus::PlugUnplug::onUnplug");
}

}  // namespace rodiz
