#include "Windows/Win32System.h"

#include <vector>

#include "Windows/WideText.h"
#include "log/xLog.h"
#include "runtime/RodizException.h"

// Calls the system function `fn` of `which` through its looked-up address,
// with the type of its declaration in the system headers.
#define RODIZ_SYSTEM_CALL(which, fn, ...)                                                                          \
  reinterpret_cast<decltype(&::fn)>(reinterpret_cast<void (*)()>(lookup(which, #fn, #fn " ProcAddress Missing")))( \
      __VA_ARGS__)

namespace rodiz {

namespace {

constexpr const char* kTag = "Win32System";

// Destroys an information set on every way out, exceptions included.
class InfoSet {
 public:
  InfoSet(IWin32System& system, HDEVINFO set) : system_(system), set_(set) {}
  ~InfoSet() {
    if (!valid()) return;
    try {
      system_.SetupDiDestroyDeviceInfoList(set_);
    } catch (const RodizException&) {
      // The library that made the set cannot be missing now.
    }
  }
  InfoSet(const InfoSet&) = delete;
  InfoSet& operator=(const InfoSet&) = delete;
  bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
  HDEVINFO get() const { return set_; }

 private:
  IWin32System& system_;
  HDEVINFO set_;
};

}  // namespace

Win32System::Win32System() = default;

Win32System::Win32System(Modules modules) : names_(std::move(modules)) {}

Win32System::~Win32System() {
  for (HMODULE& handle : modules_) {
    if (handle != nullptr) ::FreeLibrary(handle);
    handle = nullptr;
  }
}

HMODULE Win32System::module(Module which) {
  static const char* const kLoadFailed[ModuleCount] = {
      "LoadLibrary hid.dll failed", "LoadLibrary setupapi.dll failed", "LoadLibrary cfgmgr32.dll failed",
      "LoadLibrary bthprops.cpl failed", "LoadLibrary BluetoothApis.dll failed"};
  std::lock_guard<std::mutex> guard(lock_);
  if (modules_[which] != nullptr) return modules_[which];
  const std::wstring* name = which == Hid        ? &names_.hid
                             : which == SetupApi ? &names_.setupapi
                             : which == CfgMgr32 ? &names_.cfgmgr32
                             : which == BthProps ? &names_.bthprops
                                                 : &names_.bluetoothapis;
  HMODULE handle = ::LoadLibraryW(name->c_str());
  if (handle == nullptr) {
    const DWORD error = ::GetLastError();
    xLogWrite(kTag, LogError, "rodiz::Win32System::module", "%s, err=%lu", kLoadFailed[which], error);
    throw RodizException(SystemLibraryMissing, error, kLoadFailed[which]);
  }
  modules_[which] = handle;
  return handle;
}

FARPROC Win32System::lookup(Module which, const char* name, const char* missing) {
  FARPROC address = ::GetProcAddress(module(which), name);
  if (address == nullptr) {
    const DWORD error = ::GetLastError();
    xLogWrite(kTag, LogError, "rodiz::Win32System::lookup", "%s, err=%lu", missing, error);
    throw RodizException(SystemLibraryMissing, error, missing);
  }
  return address;
}

void Win32System::HidD_GetHidGuid(GUID* guid) { RODIZ_SYSTEM_CALL(Hid, HidD_GetHidGuid, guid); }

BOOLEAN Win32System::HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) {
  return RODIZ_SYSTEM_CALL(Hid, HidD_GetAttributes, device, attributes);
}

BOOLEAN Win32System::HidD_GetProductString(HANDLE device, PVOID buffer, ULONG length) {
  return RODIZ_SYSTEM_CALL(Hid, HidD_GetProductString, device, buffer, length);
}

BOOLEAN Win32System::HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
  return RODIZ_SYSTEM_CALL(Hid, HidD_GetPreparsedData, device, data);
}

BOOLEAN Win32System::HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  return RODIZ_SYSTEM_CALL(Hid, HidD_FreePreparsedData, data);
}

NTSTATUS Win32System::HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) {
  return RODIZ_SYSTEM_CALL(Hid, HidP_GetCaps, data, caps);
}

NTSTATUS Win32System::HidP_GetValueCaps(HIDP_REPORT_TYPE type, HIDP_VALUE_CAPS* caps, PUSHORT length,
                                        PHIDP_PREPARSED_DATA data) {
  return RODIZ_SYSTEM_CALL(Hid, HidP_GetValueCaps, type, caps, length, data);
}

NTSTATUS Win32System::HidP_GetButtonCaps(HIDP_REPORT_TYPE type, HIDP_BUTTON_CAPS* caps, PUSHORT length,
                                         PHIDP_PREPARSED_DATA data) {
  return RODIZ_SYSTEM_CALL(Hid, HidP_GetButtonCaps, type, caps, length, data);
}

NTSTATUS Win32System::HidP_GetLinkCollectionNodes(HIDP_LINK_COLLECTION_NODE* nodes, PULONG length,
                                                  PHIDP_PREPARSED_DATA data) {
  return RODIZ_SYSTEM_CALL(Hid, HidP_GetLinkCollectionNodes, nodes, length, data);
}

HANDLE Win32System::CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE template_file) {
  return ::CreateFileW(name, access, share, security, disposition, flags, template_file);
}

HDEVNOTIFY Win32System::RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
  return ::RegisterDeviceNotificationW(recipient, filter, flags);
}

BOOL Win32System::UnregisterDeviceNotification(HDEVNOTIFY notification) {
  return ::UnregisterDeviceNotification(notification);
}

HWND Win32System::CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x, int y,
                                  int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
  return ::CreateWindowExW(ex_style, class_name, title, style, x, y, width, height, parent, menu, instance, param);
}

HDEVINFO Win32System::SetupDiCreateDeviceInfoList(const GUID* class_guid, HWND parent) {
  return RODIZ_SYSTEM_CALL(SetupApi, SetupDiCreateDeviceInfoList, class_guid, parent);
}

BOOL Win32System::SetupDiOpenDeviceInterfaceW(HDEVINFO set, PCWSTR path, DWORD flags,
                                              SP_DEVICE_INTERFACE_DATA* interface_data) {
  return RODIZ_SYSTEM_CALL(SetupApi, SetupDiOpenDeviceInterfaceW, set, path, flags, interface_data);
}

BOOL Win32System::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* info) {
  return RODIZ_SYSTEM_CALL(SetupApi, SetupDiEnumDeviceInfo, set, index, info);
}

BOOL Win32System::SetupDiOpenDeviceInfoW(HDEVINFO set, PCWSTR instance_id, HWND parent, DWORD flags,
                                         SP_DEVINFO_DATA* info) {
  return RODIZ_SYSTEM_CALL(SetupApi, SetupDiOpenDeviceInfoW, set, instance_id, parent, flags, info);
}

BOOL Win32System::SetupDiGetDevicePropertyW(HDEVINFO set, SP_DEVINFO_DATA* info, const DEVPROPKEY* key,
                                            DEVPROPTYPE* type, PBYTE buffer, DWORD size, PDWORD required, DWORD flags) {
  return RODIZ_SYSTEM_CALL(SetupApi, SetupDiGetDevicePropertyW, set, info, key, type, buffer, size, required, flags);
}

HDEVINFO Win32System::SetupDiGetClassDevsW(const GUID* class_guid, PCWSTR enumerator, HWND parent, DWORD flags) {
  return RODIZ_SYSTEM_CALL(SetupApi, SetupDiGetClassDevsW, class_guid, enumerator, parent, flags);
}

BOOL Win32System::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  return RODIZ_SYSTEM_CALL(SetupApi, SetupDiDestroyDeviceInfoList, set);
}

BOOL Win32System::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* info, const GUID* interface_class,
                                              DWORD index, SP_DEVICE_INTERFACE_DATA* interface_data) {
  return RODIZ_SYSTEM_CALL(SetupApi, SetupDiEnumDeviceInterfaces, set, info, interface_class, index, interface_data);
}

BOOL Win32System::SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interface_data,
                                                   SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD size,
                                                   PDWORD required, SP_DEVINFO_DATA* info) {
  return RODIZ_SYSTEM_CALL(SetupApi, SetupDiGetDeviceInterfaceDetailW, set, interface_data, detail, size, required,
                           info);
}

HMODULE Win32System::cfgmgr32_module() { return module(CfgMgr32); }

CONFIGRET Win32System::CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) {
  return RODIZ_SYSTEM_CALL(CfgMgr32, CM_Get_Parent, parent, node, flags);
}

CONFIGRET Win32System::CM_Get_Device_ID_Size(PULONG length, DEVINST node, ULONG flags) {
  return RODIZ_SYSTEM_CALL(CfgMgr32, CM_Get_Device_ID_Size, length, node, flags);
}

CONFIGRET Win32System::CM_Get_Device_IDW(DEVINST node, PWSTR buffer, ULONG length, ULONG flags) {
  return RODIZ_SYSTEM_CALL(CfgMgr32, CM_Get_Device_IDW, node, buffer, length, flags);
}

DWORD Win32System::BluetoothGetDeviceInfo(HANDLE radio, BLUETOOTH_DEVICE_INFO* info) {
  return RODIZ_SYSTEM_CALL(BthProps, BluetoothGetDeviceInfo, radio, info);
}

// The GATT functions have no declarations in the cross toolchain's headers:
// their types come from GattApi.h.
#define RODIZ_GATT_CALL(fn, type, ...)                                                                          \
  reinterpret_cast<type>(reinterpret_cast<void (*)()>(lookup(BluetoothApis, #fn, #fn " ProcAddress Missing")))( \
      __VA_ARGS__)

HRESULT Win32System::BluetoothGATTGetServices(HANDLE device, USHORT count, gatt::Service* services, USHORT* actual,
                                              ULONG flags) {
  using Fn = HRESULT(WINAPI*)(HANDLE, USHORT, gatt::Service*, USHORT*, ULONG);
  return RODIZ_GATT_CALL(BluetoothGATTGetServices, Fn, device, count, services, actual, flags);
}

HRESULT Win32System::BluetoothGATTGetIncludedServices(HANDLE device, gatt::Service* parent, USHORT count,
                                                      gatt::Service* services, USHORT* actual, ULONG flags) {
  using Fn = HRESULT(WINAPI*)(HANDLE, gatt::Service*, USHORT, gatt::Service*, USHORT*, ULONG);
  return RODIZ_GATT_CALL(BluetoothGATTGetIncludedServices, Fn, device, parent, count, services, actual, flags);
}

HRESULT Win32System::BluetoothGATTGetCharacteristics(HANDLE device, gatt::Service* service, USHORT count,
                                                     gatt::Characteristic* characteristics, USHORT* actual,
                                                     ULONG flags) {
  using Fn = HRESULT(WINAPI*)(HANDLE, gatt::Service*, USHORT, gatt::Characteristic*, USHORT*, ULONG);
  return RODIZ_GATT_CALL(BluetoothGATTGetCharacteristics, Fn, device, service, count, characteristics, actual, flags);
}

HRESULT Win32System::BluetoothGATTGetDescriptors(HANDLE device, gatt::Characteristic* characteristic, USHORT count,
                                                 gatt::Descriptor* descriptors, USHORT* actual, ULONG flags) {
  using Fn = HRESULT(WINAPI*)(HANDLE, gatt::Characteristic*, USHORT, gatt::Descriptor*, USHORT*, ULONG);
  return RODIZ_GATT_CALL(BluetoothGATTGetDescriptors, Fn, device, characteristic, count, descriptors, actual, flags);
}

HRESULT Win32System::BluetoothGATTGetCharacteristicValue(HANDLE device, gatt::Characteristic* characteristic,
                                                         ULONG size, gatt::CharacteristicValue* value, USHORT* required,
                                                         ULONG flags) {
  using Fn = HRESULT(WINAPI*)(HANDLE, gatt::Characteristic*, ULONG, gatt::CharacteristicValue*, USHORT*, ULONG);
  return RODIZ_GATT_CALL(BluetoothGATTGetCharacteristicValue, Fn, device, characteristic, size, value, required, flags);
}

HRESULT Win32System::BluetoothGATTGetDescriptorValue(HANDLE device, gatt::Descriptor* descriptor, ULONG size,
                                                     gatt::DescriptorValue* value, USHORT* required, ULONG flags) {
  using Fn = HRESULT(WINAPI*)(HANDLE, gatt::Descriptor*, ULONG, gatt::DescriptorValue*, USHORT*, ULONG);
  return RODIZ_GATT_CALL(BluetoothGATTGetDescriptorValue, Fn, device, descriptor, size, value, required, flags);
}

HRESULT Win32System::BluetoothGATTSetDescriptorValue(HANDLE device, gatt::Descriptor* descriptor,
                                                     gatt::DescriptorValue* value, ULONG flags) {
  using Fn = HRESULT(WINAPI*)(HANDLE, gatt::Descriptor*, gatt::DescriptorValue*, ULONG);
  return RODIZ_GATT_CALL(BluetoothGATTSetDescriptorValue, Fn, device, descriptor, value, flags);
}

HRESULT Win32System::BluetoothGATTRegisterEvent(HANDLE service, gatt::EventType type, PVOID parameter,
                                                gatt::EventCallback callback, PVOID context, gatt::EventHandle* handle,
                                                ULONG flags) {
  using Fn = HRESULT(WINAPI*)(HANDLE, gatt::EventType, PVOID, gatt::EventCallback, PVOID, gatt::EventHandle*, ULONG);
  return RODIZ_GATT_CALL(BluetoothGATTRegisterEvent, Fn, service, type, parameter, callback, context, handle, flags);
}

HRESULT Win32System::BluetoothGATTUnregisterEvent(gatt::EventHandle handle, ULONG flags) {
  using Fn = HRESULT(WINAPI*)(gatt::EventHandle, ULONG);
  return RODIZ_GATT_CALL(BluetoothGATTUnregisterEvent, Fn, handle, flags);
}

HRESULT Win32System::BluetoothGATTSetCharacteristicValue(HANDLE device, gatt::Characteristic* characteristic,
                                                         gatt::CharacteristicValue* value,
                                                         gatt::ReliableWriteContext context, ULONG flags) {
  using Fn =
      HRESULT(WINAPI*)(HANDLE, gatt::Characteristic*, gatt::CharacteristicValue*, gatt::ReliableWriteContext, ULONG);
  return RODIZ_GATT_CALL(BluetoothGATTSetCharacteristicValue, Fn, device, characteristic, value, context, flags);
}

LSTATUS Win32System::RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM access, PHKEY result) {
  return ::RegOpenKeyExW(key, sub_key, options, access, result);
}

LSTATUS Win32System::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_length, LPDWORD reserved,
                                   LPWSTR class_name, LPDWORD class_length, PFILETIME last_write) {
  return ::RegEnumKeyExW(key, index, name, name_length, reserved, class_name, class_length, last_write);
}

LSTATUS Win32System::RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                      LPDWORD size) {
  return ::RegQueryValueExW(key, value_name, reserved, type, data, size);
}

LSTATUS Win32System::RegCloseKey(HKEY key) { return ::RegCloseKey(key); }

std::string Win32System::setupdi_instance_from_devnode(DEVINST node) {
  ULONG length = 0;
  CONFIGRET status = CM_Get_Device_ID_Size(&length, node, 0);
  if (status != CR_SUCCESS) {
    xLogWrite(kTag, LogWarning, "rodiz::Win32System::setupdi_instance_from_devnode",
              "CM_Get_Device_ID_Size fail, err = 0x%08lx", static_cast<unsigned long>(status));
    return {};
  }
  std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1, L'\0');
  status = CM_Get_Device_IDW(node, buffer.data(), length + 1, 0);
  if (status != CR_SUCCESS) {
    xLogWrite(kTag, LogWarning, "rodiz::Win32System::setupdi_instance_from_devnode",
              "CM_Get_Device_IDW fail, err = 0x%08lx", static_cast<unsigned long>(status));
    return {};
  }
  return WideText::lower_utf8(buffer.data(), buffer.size());
}

std::string Win32System::setupdi_parent(const std::string& instance) {
  const char* const function = "rodiz::Win32System::setupdi_parent";
  if (instance.empty()) {
    xLogWrite(kTag, LogInfo, function, "setupdi_parent exit, returning empty instance for empty instance");
    return {};
  }
  InfoSet set(*this, SetupDiCreateDeviceInfoList(nullptr, nullptr));
  if (!set.valid()) {
    xLogWrite(kTag, LogWarning, function, "SetupDiCreateDeviceInfoList fail, err=0x%08lx", ::GetLastError());
    return {};
  }
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  const std::wstring wide = WideText::widen(instance);
  if (!SetupDiOpenDeviceInfoW(set.get(), wide.c_str(), nullptr, 0, &info)) {
    xLogWrite(kTag, LogWarning, function, "SetupDiOpenDeviceInfo fail, err=0x%08lx", ::GetLastError());
    return {};
  }
  DEVINST parent = 0;
  const CONFIGRET status = CM_Get_Parent(&parent, info.DevInst, 0);
  if (status != CR_SUCCESS) {
    xLogWrite(kTag, LogWarning, function, "CM_Get_Parent fail, err = 0x%08lx", static_cast<unsigned long>(status));
    return {};
  }
  return setupdi_instance_from_devnode(parent);
}

std::string Win32System::setupdi_instance_from_path(const std::string& path) {
  const char* const function = "rodiz::Win32System::setupdi_instance_from_path";
  if (path.empty()) {
    xLogWrite(kTag, LogInfo, function, "setupdi_instance_from_path exit, returning empty instance for empty path");
    return {};
  }
  InfoSet set(*this, SetupDiCreateDeviceInfoList(nullptr, nullptr));
  if (!set.valid()) {
    xLogWrite(kTag, LogWarning, function, "SetupDiCreateDeviceInfoList fail, err=0x%08lx", ::GetLastError());
    return {};
  }
  SP_DEVICE_INTERFACE_DATA interface_data{};
  interface_data.cbSize = sizeof interface_data;
  const std::wstring wide = WideText::widen(path);
  if (!SetupDiOpenDeviceInterfaceW(set.get(), wide.c_str(), 0, &interface_data)) {
    xLogWrite(kTag, LogWarning, function, "SetupDiOpenDeviceInterface fail, err=0x%08lx", ::GetLastError());
    return {};
  }
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  if (!SetupDiEnumDeviceInfo(set.get(), 0, &info)) {
    xLogWrite(kTag, LogWarning, function, "SetupDiEnumDeviceInfo fail, err=0x%08lx", ::GetLastError());
    return {};
  }
  return setupdi_instance_from_devnode(info.DevInst);
}

std::string Win32System::setupdi_path_from_instance(const std::string& instance, const GUID& interface_class) {
  const char* const function = "rodiz::Win32System::setupdi_path_from_instance";
  if (instance.empty()) {
    xLogWrite(kTag, LogInfo, function, "setupdi_path_from_instance exit, returning empty path for empty instance");
    return {};
  }
  const std::wstring wide = WideText::widen(instance);
  InfoSet set(*this,
              SetupDiGetClassDevsW(&interface_class, wide.c_str(), nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!set.valid()) {
    xLogWrite(kTag, LogWarning, function, "SetupDiGetClassDevs fail, err=0x%08lx", ::GetLastError());
    return {};
  }
  SP_DEVICE_INTERFACE_DATA interface_data{};
  interface_data.cbSize = sizeof interface_data;
  if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &interface_class, 0, &interface_data)) {
    xLogWrite(kTag, LogWarning, function, "SetupDiEnumDeviceInterfaces fail, err=0x%08lx", ::GetLastError());
    return {};
  }
  DWORD required = 0;
  if (!SetupDiGetDeviceInterfaceDetailW(set.get(), &interface_data, nullptr, 0, &required, nullptr) &&
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    xLogWrite(kTag, LogWarning, function, "SetupDiGetDeviceInterfaceDetail fail, err=0x%08lx", ::GetLastError());
    return {};
  }
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) required = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  // Kept in DWORD units so the record is suitably aligned.
  std::vector<DWORD> storage(required / sizeof(DWORD) + 2, 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!SetupDiGetDeviceInterfaceDetailW(set.get(), &interface_data, detail, required, nullptr, nullptr)) {
    xLogWrite(kTag, LogWarning, function, "SetupDiGetDeviceInterfaceDetail fail, err=0x%08lx", ::GetLastError());
    return {};
  }
  const std::size_t units = (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
  return WideText::lower_utf8(detail->DevicePath, units);
}

}  // namespace rodiz
