#pragma once

// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <hidsdi.h>
#include <hidpi.h>
#include <bluetoothapis.h>
// clang-format on

#include <string>

#include "Windows/GattApi.h"

namespace rodiz {

// Everything the HID bus and its channels ask of Windows beyond plain file,
// event and window calls. One object stands for the system, so tests can
// replace the system as a whole.
//
// Each wrapper passes its arguments through unchanged and returns the system
// function's result. The real implementation (Win32System) loads the system
// libraries on first use; a missing library or function throws
// RodizException with SystemLibraryMissing. Implementations are used from
// several threads at once and must be safe for that.
//
// Strings of the composed operations at the end cross this interface as
// UTF-8; paths and instance ids coming from the system are lower-cased.
class IWin32System {
 public:
  virtual ~IWin32System() = default;

  // hid.dll.
  virtual void HidD_GetHidGuid(GUID* guid) = 0;
  virtual BOOLEAN HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) = 0;
  virtual BOOLEAN HidD_GetProductString(HANDLE device, PVOID buffer, ULONG length) = 0;
  virtual BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) = 0;
  virtual BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) = 0;
  virtual NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) = 0;
  virtual NTSTATUS HidP_GetValueCaps(HIDP_REPORT_TYPE type, HIDP_VALUE_CAPS* caps, PUSHORT length,
                                     PHIDP_PREPARSED_DATA data) = 0;
  virtual NTSTATUS HidP_GetButtonCaps(HIDP_REPORT_TYPE type, HIDP_BUTTON_CAPS* caps, PUSHORT length,
                                      PHIDP_PREPARSED_DATA data) = 0;
  virtual NTSTATUS HidP_GetLinkCollectionNodes(HIDP_LINK_COLLECTION_NODE* nodes, PULONG length,
                                               PHIDP_PREPARSED_DATA data) = 0;

  // Linked directly (kernel32, user32). The window creation and the
  // unregistration are here too, so that a test can see a window fail and
  // can hand out notification handles the system never made.
  virtual HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                             DWORD flags, HANDLE template_file) = 0;
  virtual HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) = 0;
  virtual BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) = 0;
  virtual HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x, int y, int width,
                               int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) = 0;

  // setupapi.dll.
  virtual HDEVINFO SetupDiCreateDeviceInfoList(const GUID* class_guid, HWND parent) = 0;
  virtual BOOL SetupDiOpenDeviceInterfaceW(HDEVINFO set, PCWSTR path, DWORD flags,
                                           SP_DEVICE_INTERFACE_DATA* interface_data) = 0;
  virtual BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* info) = 0;
  virtual BOOL SetupDiOpenDeviceInfoW(HDEVINFO set, PCWSTR instance_id, HWND parent, DWORD flags,
                                      SP_DEVINFO_DATA* info) = 0;
  virtual BOOL SetupDiGetDevicePropertyW(HDEVINFO set, SP_DEVINFO_DATA* info, const DEVPROPKEY* key, DEVPROPTYPE* type,
                                         PBYTE buffer, DWORD size, PDWORD required, DWORD flags) = 0;
  virtual HDEVINFO SetupDiGetClassDevsW(const GUID* class_guid, PCWSTR enumerator, HWND parent, DWORD flags) = 0;
  virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;
  virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* info, const GUID* interface_class,
                                           DWORD index, SP_DEVICE_INTERFACE_DATA* interface_data) = 0;
  virtual BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interface_data,
                                                SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD size, PDWORD required,
                                                SP_DEVINFO_DATA* info) = 0;

  // cfgmgr32.dll. The first loads the module and returns its handle.
  virtual HMODULE cfgmgr32_module() = 0;
  virtual CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) = 0;
  virtual CONFIGRET CM_Get_Device_ID_Size(PULONG length, DEVINST node, ULONG flags) = 0;
  virtual CONFIGRET CM_Get_Device_IDW(DEVINST node, PWSTR buffer, ULONG length, ULONG flags) = 0;

  // bthprops.cpl.
  virtual DWORD BluetoothGetDeviceInfo(HANDLE radio, BLUETOOTH_DEVICE_INFO* info) = 0;

  // BluetoothApis.dll: the GATT database of a low-energy device's service
  // interface, its values and value-changed events. Results are HRESULTs.
  virtual HRESULT BluetoothGATTGetServices(HANDLE device, USHORT count, gatt::Service* services, USHORT* actual,
                                           ULONG flags) = 0;
  virtual HRESULT BluetoothGATTGetIncludedServices(HANDLE device, gatt::Service* parent, USHORT count,
                                                   gatt::Service* services, USHORT* actual, ULONG flags) = 0;
  virtual HRESULT BluetoothGATTGetCharacteristics(HANDLE device, gatt::Service* service, USHORT count,
                                                  gatt::Characteristic* characteristics, USHORT* actual,
                                                  ULONG flags) = 0;
  virtual HRESULT BluetoothGATTGetDescriptors(HANDLE device, gatt::Characteristic* characteristic, USHORT count,
                                              gatt::Descriptor* descriptors, USHORT* actual, ULONG flags) = 0;
  virtual HRESULT BluetoothGATTGetCharacteristicValue(HANDLE device, gatt::Characteristic* characteristic, ULONG size,
                                                      gatt::CharacteristicValue* value, USHORT* required,
                                                      ULONG flags) = 0;
  virtual HRESULT BluetoothGATTGetDescriptorValue(HANDLE device, gatt::Descriptor* descriptor, ULONG size,
                                                  gatt::DescriptorValue* value, USHORT* required, ULONG flags) = 0;
  virtual HRESULT BluetoothGATTSetDescriptorValue(HANDLE device, gatt::Descriptor* descriptor,
                                                  gatt::DescriptorValue* value, ULONG flags) = 0;
  virtual HRESULT BluetoothGATTRegisterEvent(HANDLE service, gatt::EventType type, PVOID parameter,
                                             gatt::EventCallback callback, PVOID context, gatt::EventHandle* handle,
                                             ULONG flags) = 0;
  virtual HRESULT BluetoothGATTUnregisterEvent(gatt::EventHandle handle, ULONG flags) = 0;
  virtual HRESULT BluetoothGATTSetCharacteristicValue(HANDLE device, gatt::Characteristic* characteristic,
                                                      gatt::CharacteristicValue* value,
                                                      gatt::ReliableWriteContext context, ULONG flags) = 0;

  // advapi32 (linked directly): the read-only registry calls that find the
  // Bluetooth address of a paired device's HID path.
  virtual LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM access, PHKEY result) = 0;
  virtual LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_length, LPDWORD reserved,
                                LPWSTR class_name, LPDWORD class_length, PFILETIME last_write) = 0;
  virtual LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                   LPDWORD size) = 0;
  virtual LSTATUS RegCloseKey(HKEY key) = 0;

  // Composed of the operations above. An empty argument or any failing step
  // gives an empty result (the step is logged with its system code).
  // The parent's instance id of a device instance id.
  virtual std::string setupdi_parent(const std::string& instance) = 0;
  // The instance id of a device node.
  virtual std::string setupdi_instance_from_devnode(DEVINST node) = 0;
  // The instance id of the device behind an interface path.
  virtual std::string setupdi_instance_from_path(const std::string& path) = 0;
  // The path of the first present interface of `interface_class` of an instance.
  virtual std::string setupdi_path_from_instance(const std::string& instance, const GUID& interface_class) = 0;
};

}  // namespace rodiz
