#include "Windows/GattBus.h"

#include <cstddef>

#include "Windows/GattDevice.h"
#include "Windows/WideText.h"
#include "Windows/Win32Bus.h"
#include "device/LastError.h"
#include "log/xLog.h"
#include "runtime/RodizException.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "GattBus";
#define GLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)
}  // namespace

const GUID GattBus::kServiceInterface = {0x00010000, 0x0000, 0x1000, {0x80, 0x00, 0x01, 0x1F, 0x20, 0x00, 0x04, 0x6D}};
const GUID GattBus::kVariableLengthCharacteristic = {
    0x00010001, 0x0000, 0x1000, {0x80, 0x00, 0x01, 0x1F, 0x20, 0x00, 0x04, 0x6D}};

GattBus::GattBus(std::weak_ptr<Win32Bus> hid_bus) : hid_bus_(std::move(hid_bus)) {}

GattBus::~GattBus() {
  if (gatt_notification_ != nullptr && system_) system_->UnregisterDeviceNotification(gatt_notification_);
}

std::shared_ptr<IWin32System> GattBus::system() {
  std::lock_guard<std::mutex> guard(start_lock_);
  return system_;
}

bool GattBus::lazyStart() {
  if (started_) return true;
  std::lock_guard<std::mutex> guard(start_lock_);
  if (started_) return true;
  std::shared_ptr<Win32Bus> hid = hid_bus_.lock();
  if (!hid) {
    set_last_error(ShuttingDown);
    return false;
  }
  try {
    hid->lazyStart(&hwnd_, &system_);
  } catch (const RodizException& e) {
    GLOG(LogWarning, "Win32Bus::lazyStart exception");
    e.store_in_last_error();
    return false;
  }
  // The interface watch: broadcasts of the service's interfaces come and go.
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = 32;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kServiceInterface;
  gatt_notification_ = system_->RegisterDeviceNotificationW(hwnd_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (gatt_notification_ == nullptr) {
    GLOG(LogWarning, "RegisterDeviceNotification gatt failed, err=%d", static_cast<int>(::GetLastError()));
  }
  started_ = true;
  return true;
}

bool GattBus::on_subscribe(Subscriber<IHardwareBus::PlugUnplug>* /*s*/) {
  try {
    return lazyStart();
  } catch (const RodizException& e) {
    e.store_in_last_error();
    return false;
  }
}

std::shared_ptr<IHardwareDevice> GattBus::make_device(const std::string& path) {
  return std::make_shared<GattDevice>(weak_from_this(), hid_bus_, system(), path);
}

std::vector<std::string> GattBus::find_interfaces() {
  std::vector<std::string> paths;
  HDEVINFO set =
      system_->SetupDiGetClassDevsW(&kServiceInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE || set == nullptr) {
    throw RodizException(SystemCallFailed, ::GetLastError(), "SetupDiGetClassDevs failed");
  }
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!system_->SetupDiEnumDeviceInterfaces(set, nullptr, &kServiceInterface, index, &data)) break;
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
  return paths;
}

std::vector<std::shared_ptr<IHardwareDevice>> GattBus::devices() {
  std::vector<std::shared_ptr<IHardwareDevice>> result;
  try {
    if (!lazyStart()) return {};
    for (const std::string& path : find_interfaces()) {
      std::shared_ptr<IHardwareDevice> device = make_device(path);
      if (device->open()) {
        GLOG(LogInfo, "GattBus::EnumerateInterfaces adding device to list");
        device->close();
        result.push_back(device);
      } else {
        GLOG(LogInfo, "GattBus::EnumerateInterfaces ignoring device it could not open");
      }
    }
  } catch (const RodizException& e) {
    e.store_in_last_error();
    return {};
  }
  return result;
}

void GattBus::produce_device(bool plug, const std::string& path) {
  std::shared_ptr<IHardwareDevice> device = make_device(path);
  if (plug) {
    Producer<IHardwareBus::PlugUnplug>::produce([device](IHardwareBus::PlugUnplug* s) { s->onPlug(device); },
                                                "GattBus::PlugUnplug::onPlug");
  } else {
    Producer<IHardwareBus::PlugUnplug>::produce([device](IHardwareBus::PlugUnplug* s) { s->onUnplug(device); },
                                                "GattBus::PlugUnplug::onUnplug");
  }
}

void GattBus::process_wm_devicechange(unsigned event, const void* header_pointer) {
  if (header_pointer == nullptr || !started_) return;
  const auto* header = static_cast<const DEV_BROADCAST_HDR*>(header_pointer);
  constexpr DWORD kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE || header->dbch_size < kNameOffset) {
    GLOG(LogVerbose, "GattBus::process_wm_devicechange not an interface broadcast");
    return;
  }
  const auto* iface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
  if (!::IsEqualGUID(iface->dbcc_classguid, kServiceInterface)) return;
  const std::string path = WideText::lower_utf8(iface->dbcc_name, (header->dbch_size - kNameOffset) / sizeof(wchar_t));
  if (path.empty()) return;
  switch (event) {
    case DBT_DEVICEARRIVAL:
    case DBT_DEVICEQUERYREMOVEFAILED:
      GLOG(LogInfo, "GattBus GUID_FRPGATT arrival %s", path.c_str());
      produce_device(true, path);
      break;
    case DBT_DEVICEQUERYREMOVE:
    case DBT_DEVICEREMOVEPENDING:
    case DBT_DEVICEREMOVECOMPLETE:
      GLOG(LogInfo, "GattBus GUID_FRPGATT removal %s", path.c_str());
      produce_device(false, path);
      break;
    default:
      break;
  }
}

bool GattBus::verify_device_exists(const std::string& path) {
  for (const auto& device : devices()) {
    if (device->path() == path) {
      GLOG(LogInfo, "GattBus::verify_device_exists - device is present: %s", path.c_str());
      return true;
    }
  }
  GLOG(LogWarning, "GattBus::verify_device_exists - device was lost: %s", path.c_str());
  read_failed_with_disconnect_error(path);
  return false;
}

void GattBus::read_failed_with_disconnect_error(const std::string& path) { produce_device(false, path); }

}  // namespace rodiz
