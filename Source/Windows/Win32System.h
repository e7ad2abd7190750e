#pragma once

#include <mutex>

#include "Windows/IWin32System.h"

namespace rodiz {

// The real system: loads hid.dll, setupapi.dll, cfgmgr32.dll, bthprops.cpl and
// BluetoothApis.dll
// with LoadLibraryW the first time one of their functions is needed, keeps
// them for the life of the object, and looks each function up by name on
// every call. A library that does not load throws RodizException
// (SystemLibraryMissing, the system error, "LoadLibrary hid.dll failed" and
// the like); a function that is missing throws it with the function's name
// followed by " ProcAddress Missing".
class Win32System : public IWin32System {
 public:
  // The file names to load, replaceable so that a test can make a library or
  // a function go missing. The texts of the errors keep the real names.
  struct Modules {
    std::wstring hid = L"hid.dll";
    std::wstring setupapi = L"setupapi.dll";
    std::wstring cfgmgr32 = L"cfgmgr32.dll";
    std::wstring bthprops = L"bthprops.cpl";
    std::wstring bluetoothapis = L"BluetoothApis.dll";
  };

  Win32System();
  explicit Win32System(Modules modules);
  ~Win32System() override;
  Win32System(const Win32System&) = delete;
  Win32System& operator=(const Win32System&) = delete;

  void HidD_GetHidGuid(GUID* guid) override;
  BOOLEAN HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) override;
  BOOLEAN HidD_GetProductString(HANDLE device, PVOID buffer, ULONG length) override;
  BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) override;
  BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) override;
  NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) override;
  NTSTATUS HidP_GetValueCaps(HIDP_REPORT_TYPE type, HIDP_VALUE_CAPS* caps, PUSHORT length,
                             PHIDP_PREPARSED_DATA data) override;
  NTSTATUS HidP_GetButtonCaps(HIDP_REPORT_TYPE type, HIDP_BUTTON_CAPS* caps, PUSHORT length,
                              PHIDP_PREPARSED_DATA data) override;
  NTSTATUS HidP_GetLinkCollectionNodes(HIDP_LINK_COLLECTION_NODE* nodes, PULONG length,
                                       PHIDP_PREPARSED_DATA data) override;

  HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                     DWORD flags, HANDLE template_file) override;
  HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) override;
  BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) override;
  HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x, int y, int width,
                       int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) override;

  HDEVINFO SetupDiCreateDeviceInfoList(const GUID* class_guid, HWND parent) override;
  BOOL SetupDiOpenDeviceInterfaceW(HDEVINFO set, PCWSTR path, DWORD flags,
                                   SP_DEVICE_INTERFACE_DATA* interface_data) override;
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* info) override;
  BOOL SetupDiOpenDeviceInfoW(HDEVINFO set, PCWSTR instance_id, HWND parent, DWORD flags,
                              SP_DEVINFO_DATA* info) override;
  BOOL SetupDiGetDevicePropertyW(HDEVINFO set, SP_DEVINFO_DATA* info, const DEVPROPKEY* key, DEVPROPTYPE* type,
                                 PBYTE buffer, DWORD size, PDWORD required, DWORD flags) override;
  HDEVINFO SetupDiGetClassDevsW(const GUID* class_guid, PCWSTR enumerator, HWND parent, DWORD flags) override;
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* info, const GUID* interface_class, DWORD index,
                                   SP_DEVICE_INTERFACE_DATA* interface_data) override;
  BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interface_data,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD size, PDWORD required,
                                        SP_DEVINFO_DATA* info) override;

  HMODULE cfgmgr32_module() override;
  CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) override;
  CONFIGRET CM_Get_Device_ID_Size(PULONG length, DEVINST node, ULONG flags) override;
  CONFIGRET CM_Get_Device_IDW(DEVINST node, PWSTR buffer, ULONG length, ULONG flags) override;

  DWORD BluetoothGetDeviceInfo(HANDLE radio, BLUETOOTH_DEVICE_INFO* info) override;
  HRESULT BluetoothGATTGetServices(HANDLE device, USHORT count, gatt::Service* services, USHORT* actual,
                                   ULONG flags) override;
  HRESULT BluetoothGATTGetIncludedServices(HANDLE device, gatt::Service* parent, USHORT count, gatt::Service* services,
                                           USHORT* actual, ULONG flags) override;
  HRESULT BluetoothGATTGetCharacteristics(HANDLE device, gatt::Service* service, USHORT count,
                                          gatt::Characteristic* characteristics, USHORT* actual, ULONG flags) override;
  HRESULT BluetoothGATTGetDescriptors(HANDLE device, gatt::Characteristic* characteristic, USHORT count,
                                      gatt::Descriptor* descriptors, USHORT* actual, ULONG flags) override;
  HRESULT BluetoothGATTGetCharacteristicValue(HANDLE device, gatt::Characteristic* characteristic, ULONG size,
                                              gatt::CharacteristicValue* value, USHORT* required, ULONG flags) override;
  HRESULT BluetoothGATTGetDescriptorValue(HANDLE device, gatt::Descriptor* descriptor, ULONG size,
                                          gatt::DescriptorValue* value, USHORT* required, ULONG flags) override;
  HRESULT BluetoothGATTSetDescriptorValue(HANDLE device, gatt::Descriptor* descriptor, gatt::DescriptorValue* value,
                                          ULONG flags) override;
  HRESULT BluetoothGATTRegisterEvent(HANDLE service, gatt::EventType type, PVOID parameter,
                                     gatt::EventCallback callback, PVOID context, gatt::EventHandle* handle,
                                     ULONG flags) override;
  HRESULT BluetoothGATTUnregisterEvent(gatt::EventHandle handle, ULONG flags) override;
  HRESULT BluetoothGATTSetCharacteristicValue(HANDLE device, gatt::Characteristic* characteristic,
                                              gatt::CharacteristicValue* value, gatt::ReliableWriteContext context,
                                              ULONG flags) override;
  LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM access, PHKEY result) override;
  LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_length, LPDWORD reserved, LPWSTR class_name,
                        LPDWORD class_length, PFILETIME last_write) override;
  LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                           LPDWORD size) override;
  LSTATUS RegCloseKey(HKEY key) override;

  std::string setupdi_parent(const std::string& instance) override;
  std::string setupdi_instance_from_devnode(DEVINST node) override;
  std::string setupdi_instance_from_path(const std::string& path) override;
  std::string setupdi_path_from_instance(const std::string& instance, const GUID& interface_class) override;

 private:
  enum Module { Hid, SetupApi, CfgMgr32, BthProps, BluetoothApis, ModuleCount };

  // The module, loaded on first use; throws when it does not load.
  HMODULE module(Module which);
  // The function's address; throws with `missing` when it is not there.
  FARPROC lookup(Module which, const char* name, const char* missing);

  Modules names_;
  std::mutex lock_;
  HMODULE modules_[ModuleCount] = {};
};

}  // namespace rodiz
