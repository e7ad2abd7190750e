#include "Windows/BluetoothMicrosoftBus.h"

#include <bthdef.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "Windows/BluetoothMicrosoftDevice.h"
#include "Windows/WideText.h"
#include "Windows/Win32Bus.h"
#include "device/LastError.h"
#include "log/xLog.h"
#include "runtime/CRodiz.h"
#include "runtime/RodizException.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "BluetoothMicrosoftBus";
#define BLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

constexpr const char* kUnknown = "unknown";
constexpr const wchar_t* kClassicKey = L"SYSTEM\\CurrentControlSet\\Enum\\BTHENUM";
constexpr const wchar_t* kLowEnergyKey = L"SYSTEM\\CurrentControlSet\\Enum\\BTHLEDevice";
// The device tree between a HID collection and its radio is a few levels deep.
constexpr int kMaxTreeLevels = 8;

// A registry key of the system layer, closed on every way out.
class Key {
 public:
  Key(IWin32System& system, HKEY parent, const std::wstring& name) : system_(system) {
    if (system_.RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~Key() {
    if (key_ != nullptr) system_.RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  bool open() const { return key_ != nullptr; }
  HKEY get() const { return key_; }
  // The name of subkey `index` as the system spells it; false at the end.
  bool subkey(DWORD index, std::wstring& name) {
    wchar_t buffer[256];
    DWORD length = 256;
    if (system_.RegEnumKeyExW(key_, index, buffer, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    name.assign(buffer, length < 256 ? length : 255);
    return true;
  }
  // A string value, lower-case UTF-8; empty when missing or not a string.
  std::string lower_string(const wchar_t* value) {
    wchar_t buffer[512];
    DWORD type = 0;
    DWORD size = sizeof buffer - sizeof(wchar_t);
    if (system_.RegQueryValueExW(key_, value, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
      return {};
    }
    return WideText::lower_utf8(buffer, size / sizeof(wchar_t));
  }
  // A 48-bit address stored as a number of up to eight bytes.
  bool address(const wchar_t* value, std::uint64_t& out) {
    unsigned char buffer[8] = {};
    DWORD type = 0;
    DWORD size = sizeof buffer;
    if (system_.RegQueryValueExW(key_, value, nullptr, &type, buffer, &size) != ERROR_SUCCESS) return false;
    if (type != REG_QWORD && type != REG_BINARY && type != REG_DWORD) return false;
    std::uint64_t result = 0;
    for (DWORD i = 0; i < size && i < 8; ++i) result |= static_cast<std::uint64_t>(buffer[i]) << (8 * i);
    out = result & 0xFFFFFFFFFFFFull;
    return true;
  }

 private:
  IWin32System& system_;
  HKEY key_ = nullptr;
};

// The twelve hexadecimal digits at the end of a low-energy model key name.
bool address_from_name(const std::string& name, std::uint64_t& out) {
  if (name.size() < 12) return false;
  std::uint64_t result = 0;
  for (std::size_t i = name.size() - 12; i < name.size(); ++i) {
    const char c = name[i];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0) return false;
    result = result << 4 | static_cast<unsigned>(digit);
  }
  out = result;
  return true;
}

const char* event_name(unsigned event) {
  switch (event) {
    case DBT_DEVICEARRIVAL:
      return "DBT_DEVICEARRIVAL";
    case DBT_DEVICEQUERYREMOVE:
      return "DBT_DEVICEQUERYREMOVE";
    case DBT_DEVICEQUERYREMOVEFAILED:
      return "DBT_DEVICEQUERYREMOVEFAILED";
    case DBT_DEVICEREMOVEPENDING:
      return "DBT_DEVICEREMOVEPENDING";
    case DBT_DEVICEREMOVECOMPLETE:
      return "DBT_DEVICEREMOVECOMPLETE";
    case DBT_CUSTOMEVENT:
      return "DBT_CUSTOMEVENT";
    case DBT_DEVNODES_CHANGED:
      return "DBT_DEVNODES_CHANGED";
    default:
      return "WM_DEVICECHANGE";
  }
}
}  // namespace

const GUID BluetoothMicrosoftBus::kL2capEvent = {
    0x7eae4030, 0xb709, 0x4aa8, {0xac, 0x55, 0xe9, 0x53, 0x82, 0x9c, 0x9d, 0xaa}};
const GUID BluetoothMicrosoftBus::kRadioInRange = {
    0xea3b5b82, 0x26ee, 0x450e, {0xb0, 0xd8, 0xd2, 0x6f, 0xe3, 0x0a, 0x38, 0x69}};

BluetoothMicrosoftBus::BluetoothMicrosoftBus(std::weak_ptr<Win32Bus> hid_bus, bool active)
    : hid_bus_(std::move(hid_bus)), active_(active) {
  BLOG(LogInfo, "BluetoothMicrosoftBus constructor, active=%d", active_);
}

BluetoothMicrosoftBus::~BluetoothMicrosoftBus() {
  Subscriber<IBluetoothBus::RadioArrivalRemovalInternal>::leave_all();
  stop();
}

void BluetoothMicrosoftBus::report_unreported(const char* context) { facade().report_unreported_error(context); }

bool BluetoothMicrosoftBus::lazy_start() {
  if (started_) return true;
  std::lock_guard<std::mutex> guard(start_lock_);
  if (started_) return true;
  if (!active_) {
    set_last_error(BluetoothNotificationFailed);
    return false;
  }
  std::shared_ptr<Win32Bus> hid = hid_bus_.lock();
  if (!hid) {
    set_last_error(ShuttingDown);
    return false;
  }
  try {
    hid->lazyStart(&hwnd_, &system_);
  } catch (const RodizException& e) {
    e.store_in_last_error();
    BLOG(LogWarning, "BluetoothMicrosoftBus::lazy_start exit, false - HID bus did not start");
    return false;
  }
  // Our own radio events: immediate, and raised without the producer's lock,
  // since a radio's registration waits for the window thread, which may be
  // raising one of these itself.
  (void)Subscriber<IBluetoothBus::RadioArrivalRemovalInternal>::subscribe(shared_from_this(), DeliveryImmediate);
  try {
    radio_interface_notification_ = hid->registerInterfaceNotification();
    if (radio_interface_notification_ == nullptr) {
      BLOG(LogWarning, "-bt- registerInterfaceNotification returned err=%d gle=%d", last_error_code(),
           static_cast<int>(last_error().system));
    }
  } catch (const RodizException&) {
    BLOG(LogWarning, "-bt- exception on registerInterfaceNotification");
  }
  started_ = true;
  try {
    find_radios();
  } catch (const RodizException&) {
    BLOG(LogWarning, "-bt- exception while listing the radios");
  }
  return true;
}

void BluetoothMicrosoftBus::find_radios() {
  HDEVINFO set = system_->SetupDiGetClassDevsW(&Win32Bus::kBluetoothPortInterface, nullptr, nullptr,
                                               DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE || set == nullptr) {
    BLOG(LogWarning, "-bt- SetupDiGetClassDevs for the radios failed, err=%lu", ::GetLastError());
    return;
  }
  std::vector<std::string> paths;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!system_->SetupDiEnumDeviceInterfaces(set, nullptr, &Win32Bus::kBluetoothPortInterface, index, &data)) break;
    DWORD required = 0;
    system_->SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || required > 65536) continue;
    std::vector<DWORD> storage(required / sizeof(DWORD) + 1, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!system_->SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr)) continue;
    const std::size_t units = (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
    std::string path = WideText::lower_utf8(detail->DevicePath, units);
    if (!path.empty()) paths.push_back(std::move(path));
  }
  system_->SetupDiDestroyDeviceInfoList(set);
  for (const std::string& path : paths) radio_event(true, path);
}

void BluetoothMicrosoftBus::stop() {
  std::map<HDEVNOTIFY, std::string> radios;
  std::map<HANDLE, HDEVNOTIFY> handles;
  {
    std::lock_guard<std::mutex> guard(radios_lock_);
    radios.swap(radio_paths_);
    handles.swap(radio_notifications_);
    radio_handles_.clear();
  }
  // Without the HID bus, its own end closes the handles it still tracks.
  std::shared_ptr<Win32Bus> hid = hid_bus_.lock();
  for (const auto& [file, notification] : handles) {
    BLOG(LogInfo, "-bt- stop() is unregistering device notification %p and closing handle %p", notification, file);
    if (hid) hid->unregisterDeviceNotificationAndCloseTrackedHandle(notification, file);
  }
  if (hid && radio_interface_notification_ != nullptr)
    hid->unregisterInterfaceNotification(radio_interface_notification_);
  radio_interface_notification_ = nullptr;
  std::lock_guard<std::mutex> guard(paired_lock_);
  paired_by_path_.clear();
}

bool BluetoothMicrosoftBus::on_subscribe(Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>* /*s*/) {
  return lazy_start();
}

std::shared_ptr<BluetoothMicrosoftDevice> BluetoothMicrosoftBus::device_for(std::uint64_t address, int bus_type) {
  std::lock_guard<std::mutex> guard(devices_lock_);
  std::shared_ptr<BluetoothMicrosoftDevice>& device = devices_by_address_[address];
  if (!device) device = std::make_shared<BluetoothMicrosoftDevice>(weak_from_this(), address, bus_type);
  return device;
}

std::shared_ptr<BluetoothMicrosoftDevice> BluetoothMicrosoftBus::search_enumerator(const std::string& path,
                                                                                   const wchar_t* key, int bus_type) {
  Key root(*system_, HKEY_LOCAL_MACHINE, key);
  if (!root.open()) {
    BLOG(LogDebug, "device_paired_on_path - cannot open the enumerator key");
    return nullptr;
  }
  std::wstring model_name;
  for (DWORD m = 0; root.subkey(m, model_name); ++m) {
    const std::string model = WideText::lower_utf8(model_name);
    if (model.empty() || path.find(model) == std::string::npos) {
      BLOG(LogVerbose, "device_paired_on_path -  Model not in path");
      continue;
    }
    Key model_key(*system_, root.get(), model_name);
    if (!model_key.open()) continue;
    std::wstring instance_name;
    for (DWORD i = 0; model_key.subkey(i, instance_name); ++i) {
      Key instance(*system_, model_key.get(), instance_name);
      if (!instance.open()) continue;
      const std::string lower = WideText::lower_utf8(instance_name);
      const std::string prefix = instance.lower_string(L"ParentIDPrefix");
      if ((lower.empty() || path.find(lower) == std::string::npos) &&
          (prefix.empty() || path.find(prefix) == std::string::npos)) {
        continue;
      }
      std::uint64_t address = 0;
      Key parameters(*system_, instance.get(), L"Device Parameters");
      bool found = parameters.open() && parameters.address(L"BluetoothAddress", address);
      if (!found && bus_type == 3) found = address_from_name(model, address);
      if (!found) {
        BLOG(LogDebug, "device_paired_on_path - no address for a matching instance");
        continue;
      }
      return device_for(address, bus_type);
    }
  }
  return nullptr;
}

std::shared_ptr<IBluetoothDevice> BluetoothMicrosoftBus::device_paired_on_path(std::string path) {
  {
    std::lock_guard<std::mutex> guard(paired_lock_);
    auto found = paired_by_path_.find(path);
    if (found != paired_by_path_.end()) return found->second;
  }
  if (!lazy_start()) return nullptr;
  std::shared_ptr<BluetoothMicrosoftDevice> device;
  try {
    device = search_enumerator(path, kClassicKey, 2);
    if (!device) device = search_enumerator(path, kLowEnergyKey, 3);
  } catch (const RodizException&) {
    BLOG(LogDebug, "device_paired_on_path - registry search failed");
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(paired_lock_);
  paired_by_path_[path] = device;
  return device;
}

std::string BluetoothMicrosoftBus::find_radio_via_pnp(const std::string& path) {
  if (!system_) return {};
  try {
    std::string instance = system_->setupdi_instance_from_path(path);
    for (int level = 0; level < kMaxTreeLevels && !instance.empty(); ++level) {
      instance = system_->setupdi_parent(instance);
      if (instance.empty()) break;
      std::string radio = system_->setupdi_path_from_instance(instance, Win32Bus::kBluetoothPortInterface);
      if (!radio.empty()) return radio;
    }
  } catch (const RodizException&) {
    BLOG(LogDebug, "find_radio_via_pnp - device tree search failed");
  }
  return {};
}

std::map<std::string, BluetoothMicrosoftBus::Radio> BluetoothMicrosoftBus::radios_snapshot() {
  std::lock_guard<std::mutex> guard(radios_lock_);
  std::map<std::string, Radio> result;
  for (const auto& [path, file] : radio_handles_) result[path] = Radio{file, radio_notifications_[file]};
  return result;
}

bool BluetoothMicrosoftBus::radio_present(const std::string& radio) {
  std::lock_guard<std::mutex> guard(radios_lock_);
  return radio_handles_.count(radio) != 0;
}

std::string BluetoothMicrosoftBus::radio_by_notification(HDEVNOTIFY notification) {
  std::lock_guard<std::mutex> guard(radios_lock_);
  auto found = radio_paths_.find(notification);
  return found == radio_paths_.end() ? std::string() : found->second;
}

bool BluetoothMicrosoftBus::get_connect_state_via_bgdi(std::uint64_t address, int bus_type, bool& connected,
                                                       std::string& radio) {
  const auto radios = radios_snapshot();
  if (radios.empty()) {
    set_last_error(RadioNotPresent);
    return false;
  }
  bool answered = false;
  for (const auto& [path, open] : radios) {
    BLUETOOTH_DEVICE_INFO info{};
    info.dwSize = sizeof info;
    info.Address.ullLong = address;
    const DWORD result = system_->BluetoothGetDeviceInfo(open.file, &info);
    if (result != ERROR_SUCCESS) {
      if (!answered) {
        set_last_error(BluetoothDeviceInfoFailed, result);
        report_unreported("BluetoothMicrosoftBus::get_connect_state_via_bgdi");
      }
      continue;
    }
    answered = true;
    if (info.fConnected && (bus_type == 3 || info.fRemembered)) {
      connected = true;
      radio = path;
    } else {
      connected = false;
      radio.clear();
    }
  }
  return answered;
}

bool BluetoothMicrosoftBus::verify_pairing_via_bgdi(std::uint64_t address, int bus_type, std::string& radio) {
  if (radio == kUnknown) return true;
  HANDLE file = INVALID_HANDLE_VALUE;
  {
    std::lock_guard<std::mutex> guard(radios_lock_);
    auto found = radio_handles_.find(radio);
    if (found == radio_handles_.end()) {
      set_last_error(RadioNotPresent);
      return false;
    }
    file = found->second;
  }
  BLUETOOTH_DEVICE_INFO info{};
  info.dwSize = sizeof info;
  info.Address.ullLong = address;
  const DWORD result = system_->BluetoothGetDeviceInfo(file, &info);
  if (result != ERROR_SUCCESS) {
    set_last_error(BluetoothDeviceInfoFailed, result);
    return false;
  }
  if (bus_type == 3) {
    BLOG(LogDebug, "verify_pairing_via_bgdi BLE doesn't get pairing info, so consider it paired");
    return true;
  }
  if (!info.fRemembered) radio.clear();
  return true;
}

std::string BluetoothMicrosoftBus::name_via_bgdi(std::uint64_t address) {
  for (const auto& [path, open] : radios_snapshot()) {
    BLUETOOTH_DEVICE_INFO info{};
    info.dwSize = sizeof info;
    info.Address.ullLong = address;
    if (system_->BluetoothGetDeviceInfo(open.file, &info) != ERROR_SUCCESS) continue;
    std::string name = WideText::utf8(info.szName, BLUETOOTH_MAX_NAME_SIZE);
    if (!name.empty()) return name;
  }
  return {};
}

void BluetoothMicrosoftBus::radio_event(bool arrival, const std::string& radio) {
  Producer<IBluetoothBus::RadioArrivalRemovalInternal>::produce_immediate_only(
      [arrival, radio](IBluetoothBus::RadioArrivalRemovalInternal* s) {
        if (arrival) {
          s->onRadioArrival(radio);
        } else {
          s->onRadioRemoval(radio);
        }
      });
}

void BluetoothMicrosoftBus::onRadioArrival(std::string radio) {
  if (!radio_present(radio)) {
    std::shared_ptr<Win32Bus> hid = hid_bus_.lock();
    if (!hid) {
      set_last_error(ShuttingDown);
      report_unreported("BluetoothMicrosoftBus::onRadioArrival");
      return;
    }
    HANDLE file =
        system_->CreateFileW(WideText::widen(radio).c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD error = ::GetLastError();
      BLOG(LogError, "-bt- CreateFile error %d", static_cast<int>(error));
      set_last_error(SystemCallFailed, error, "CreateFile");
      report_unreported("BluetoothMicrosoftBus::onRadioArrival");
      return;
    }
    HDEVNOTIFY notification = hid->registerDeviceNotificationAndTakeOwnershipOfHandle(file);
    if (notification == nullptr) {
      ::CloseHandle(file);
      BLOG(LogError, "onRadioArrival closed handle %p", file);
      set_last_error(SystemCallFailed, 0, "registerDeviceNotificationAndTakeOwnershipOfHandle");
      report_unreported("BluetoothMicrosoftBus::onRadioArrival");
      return;
    }
    bool duplicate = false;
    {
      std::lock_guard<std::mutex> guard(radios_lock_);
      duplicate = radio_handles_.count(radio) != 0;
      if (!duplicate) {
        radio_handles_[radio] = file;
        radio_notifications_[file] = notification;
        radio_paths_[notification] = radio;
      }
    }
    // Two arrivals of one radio at once: the second handle is not needed.
    if (duplicate) hid->unregisterDeviceNotificationAndCloseTrackedHandle(notification, file);
  }
  Producer<IBluetoothBus::RadioArrivalRemovalExternal>::produce(
      [radio](IBluetoothBus::RadioArrivalRemovalExternal* s) { s->onRadioArrival(radio); },
      "BluetoothMicrosoftBus::RadioArrivalRemovalExternal::onRadioArrival");
}

void BluetoothMicrosoftBus::onRadioRemoval(std::string radio) {
  HANDLE file = INVALID_HANDLE_VALUE;
  HDEVNOTIFY notification = nullptr;
  {
    std::lock_guard<std::mutex> guard(radios_lock_);
    auto found = radio_handles_.find(radio);
    if (found != radio_handles_.end()) {
      file = found->second;
      notification = radio_notifications_[file];
      radio_notifications_.erase(file);
      radio_paths_.erase(notification);
      radio_handles_.erase(found);
    }
  }
  if (notification != nullptr) {
    BLOG(LogInfo, "Bluetooth - radio was removed");
    if (std::shared_ptr<Win32Bus> hid = hid_bus_.lock()) {
      hid->unregisterDeviceNotificationAndCloseTrackedHandle(notification, file);
    }
  }
  std::vector<std::shared_ptr<BluetoothMicrosoftDevice>> devices;
  {
    std::lock_guard<std::mutex> guard(devices_lock_);
    for (const auto& [address, device] : devices_by_address_) devices.push_back(device);
  }
  for (const auto& device : devices) {
    if (device->stored_connected_radio() == radio) device->disconnect_sequence();
  }
  Producer<IBluetoothBus::RadioArrivalRemovalExternal>::produce(
      [radio](IBluetoothBus::RadioArrivalRemovalExternal* s) { s->onRadioRemoval(radio); },
      "BluetoothMicrosoftBus::RadioArrivalRemovalExternal::onRadioRemoval");
}

void BluetoothMicrosoftBus::custom_event(const DEV_BROADCAST_HANDLE* header) {
  const std::string radio = radio_by_notification(header->dbch_hdevnotify);
  if (radio.empty()) {
    BLOG(LogDebug, "-bt- custom event of a handle that is not an open radio");
    return;
  }
  const std::size_t data_offset = offsetof(DEV_BROADCAST_HANDLE, dbch_data);
  const std::size_t size = header->dbch_size;
  const auto* data = reinterpret_cast<const unsigned char*>(header) + data_offset;
  auto existing = [this](std::uint64_t address) -> std::shared_ptr<BluetoothMicrosoftDevice> {
    std::lock_guard<std::mutex> guard(devices_lock_);
    auto found = devices_by_address_.find(address);
    return found == devices_by_address_.end() ? nullptr : found->second;
  };

  if (::IsEqualGUID(header->dbch_eventguid, kL2capEvent)) {
    if (size < data_offset + sizeof(BTH_L2CAP_EVENT_INFO)) {
      BLOG(LogWarning, "-bt- L2CAP event too short (%u bytes)", static_cast<unsigned>(size));
      return;
    }
    BTH_L2CAP_EVENT_INFO info;
    std::memcpy(&info, data, sizeof info);
    if (info.psm != kPsmHidInterrupt) return;
    const std::uint64_t address = info.bthAddress & 0xFFFFFFFFFFFFull;
    const std::string text = BluetoothMicrosoftDevice::address_text(address);
    if (info.connected) {
      BLOG(LogInfo, "Bluetooth device %s has connected (PSM_HID_INTERRUPT)", text.c_str());
      device_for(address, 2)->connect_sequence(radio);
    } else {
      BLOG(LogInfo, "Bluetooth device %s has disconnected (PSM_HID_INTERRUPT)", text.c_str());
      if (auto device = existing(address)) device->disconnect_sequence();
    }
    return;
  }
  if (::IsEqualGUID(header->dbch_eventguid, kRadioInRange)) {
    if (size < data_offset + sizeof(BTH_RADIO_IN_RANGE)) {
      BLOG(LogWarning, "-bt- radio-in-range event too short (%u bytes)", static_cast<unsigned>(size));
      return;
    }
    BTH_RADIO_IN_RANGE range;
    std::memcpy(&range, data, sizeof range);
    const ULONG now = range.deviceInfo.flags;
    const ULONG before = range.previousDeviceFlags;
    const ULONG added = now & ~before;
    const ULONG removed = before & ~now;
    const std::uint64_t address = range.deviceInfo.address & 0xFFFFFFFFFFFFull;
    const std::string text = BluetoothMicrosoftDevice::address_text(address);
    if (auto device = existing(address)) {
      device->resolve_unknown_connected_radio(radio);
      if ((before & kLePersonal) && (before & kConnected) && (removed & (kConnected | kLePersonal))) {
        BLOG(LogInfo, "BLE device %s has disconnected", text.c_str());
        device->disconnect_sequence();
      }
      if (removed & (kPersonal | kLePersonal)) {
        BLOG(LogInfo, "Bluetooth device %s has unpaired (removed BDIF_PERSONAL or BDIF_LE_PERSONAL)", text.c_str());
        device->unpair(radio);
      }
    }
    if ((now & kLePersonal) && (now & kConnected) && (added & (kConnected | kLePersonal))) {
      BLOG(LogInfo, "BLE device %s has connected", text.c_str());
      device_for(address, 3)->connect_sequence(radio);
    }
    return;
  }
  BLOG(LogDebug, "-bt- other custom event of radio %s", radio.c_str());
}

void BluetoothMicrosoftBus::process_wm_devicechange(unsigned event, const void* header_pointer) {
  if (header_pointer == nullptr) {
    BLOG(LogDebug, "Bluetooth ignoring WM_DEVICECHANGE without header, ");
    return;
  }
  // Before the start no radio is open and none may be opened.
  if (!started_) return;
  const auto* header = static_cast<const DEV_BROADCAST_HDR*>(header_pointer);
  const DWORD size = header->dbch_size;
  constexpr DWORD kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  switch (event) {
    case DBT_DEVICEARRIVAL:
    case DBT_DEVICEQUERYREMOVEFAILED:
    case DBT_DEVICEQUERYREMOVE:
    case DBT_DEVICEREMOVECOMPLETE: {
      if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE || size < kNameOffset) return;
      const auto* iface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
      if (!::IsEqualGUID(iface->dbcc_classguid, Win32Bus::kBluetoothPortInterface)) return;
      const std::string path = WideText::lower_utf8(iface->dbcc_name, (size - kNameOffset) / sizeof(wchar_t));
      if (path.empty()) return;
      radio_event(event == DBT_DEVICEARRIVAL || event == DBT_DEVICEQUERYREMOVEFAILED, path);
      return;
    }
    case DBT_CUSTOMEVENT:
      if (header->dbch_devicetype == DBT_DEVTYP_HANDLE && size >= offsetof(DEV_BROADCAST_HANDLE, dbch_data)) {
        custom_event(reinterpret_cast<const DEV_BROADCAST_HANDLE*>(header));
      }
      return;
    default:
      BLOG(LogDebug, "-bt- %s not processed", event_name(event));
      return;
  }
}

}  // namespace rodiz
