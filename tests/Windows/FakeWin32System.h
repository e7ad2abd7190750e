#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Windows/IWin32System.h"

#include <dbt.h>

namespace rodiz::test {

// One HID collection as the fake system shows it.
struct FakeCollection {
  std::wstring path;  // as the system spells it (the bus lower-cases it)
  USHORT vendor = 0x046D;
  USHORT product = 0xC087;
  USHORT version = 0x0100;
  USHORT usage_page = 0xFF00;
  USHORT usage = 1;
  USHORT input_length = 7;
  USHORT output_length = 7;
  std::vector<UCHAR> output_value_ids{0x10};
  std::vector<UCHAR> output_button_ids;
  USHORT input_caps = 1;
  std::wstring product_string = L"VELOXA";
  std::string parent = "usb\\vid_046d&pid_c087\\5&1";
  // The collection vanished between enumeration and open.
  bool open_fails = false;
  bool attributes_fail = false;
  bool preparsed_fails = false;
  bool caps_fail = false;
  bool product_fails = false;
  // The channel's end of a message pipe accepts this many bytes before a
  // write has to wait for the test's end to read.
  DWORD pipe_buffer = 4096;
};

// What a radio answers about one Bluetooth address.
struct FakeBluetoothInfo {
  bool connected = false;
  bool remembered = true;
  std::wstring name = L"Mirel BT";
  DWORD error = ERROR_SUCCESS;  // anything else: the query fails with it
};

// A system whose HID collections are message pipes: CreateFileW hands out the
// client end of a fresh pipe, so reads, writes, waits and cancellation are
// the real overlapped I/O of the kernel, and the test plays the device at
// the server end. Everything else is answered from the collection table.
class FakeWin32System : public IWin32System {
 public:
  // The HID class id this system reports.
  static const GUID kHidGuid;

  FakeWin32System();
  ~FakeWin32System() override;

  void add(FakeCollection collection);
  void remove(const std::wstring& path);
  FakeCollection& collection(const std::wstring& path);

  // The device's end of the pipe of the last open of `path` (lower-case).
  HANDLE device_end(const std::string& path);
  // The channel's end of that pipe.
  HANDLE channel_end(const std::string& path);
  // The notification registered for a channel handle, or null.
  HDEVNOTIFY notification_for(HANDLE file);
  // Writes one report as the device; reads one written report (empty after
  // `timeout_ms`).
  bool device_write(const std::string& path, const std::vector<unsigned char>& report);
  std::vector<unsigned char> device_read(const std::string& path, DWORD timeout_ms);

  // Bluetooth radios: interface paths of the radio class; an open radio is an
  // event handle. Their answers about addresses, and a registry for the
  // Bluetooth enumerators (keys below HKEY_LOCAL_MACHINE, case-insensitive).
  void add_radio(const std::wstring& path);
  void remove_radio(const std::wstring& path);
  // The handle of the last open of the radio at `path` (lower-case), or null.
  HANDLE radio_handle(const std::string& path);
  void set_bluetooth_info(const std::string& radio, std::uint64_t address, FakeBluetoothInfo info);
  void add_registry_key(const std::wstring& key);
  void set_registry_value(const std::wstring& key, const std::wstring& name, DWORD type, std::vector<BYTE> data);
  std::atomic<int> registry_opens{0};
  std::atomic<int> keys_live{0};

  // GATT services of low-energy devices: interface paths of the FRAP GATT
  // class; an open one is an event handle. Each offers the characteristics
  // given (with one client configuration descriptor each), records what is
  // written and can raise value-changed events like the Bluetooth stack.
  struct FakeGattService {
    std::vector<GUID> characteristics;
    std::vector<std::pair<std::vector<unsigned char>, ULONG>> written;  // value and flags
    std::vector<bool> configurations;                                   // subscribe flags written
    HRESULT write_result = S_OK;
    std::map<gatt::EventHandle, std::pair<gatt::EventCallback, PVOID>> events;
  };
  void add_gatt(const std::wstring& path, std::vector<GUID> characteristics);
  void remove_gatt(const std::wstring& path);
  FakeGattService gatt_service(const std::string& path);
  void set_gatt_write_result(const std::string& path, HRESULT result);
  // Raises a value-changed event of `value` on a thread of its own, as the
  // stack does, and waits for it; false when nothing is registered.
  bool gatt_notify(const std::string& path, const std::vector<unsigned char>& value);

  // Fault switches.
  std::atomic<bool> fail_create_window{false};
  std::atomic<bool> block_create_window{false};  // until release_window()
  std::atomic<bool> fail_register{false};
  std::atomic<bool> fail_class_devs{false};
  std::atomic<DWORD> enum_error{0};
  std::atomic<bool> guid_missing{false};        // HidD_GetHidGuid throws
  std::atomic<bool> attributes_missing{false};  // HidD_GetAttributes throws
  void release_window();

  // Counters.
  std::atomic<int> create_file_calls{0};
  std::atomic<int> attributes_calls{0};
  std::atomic<int> preparsed_live{0};
  std::atomic<int> sets_live{0};
  int live_handle_notifications();
  int live_interface_notifications();

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
  HMODULE cfgmgr32_module() override { return nullptr; }
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
  struct Pipe {
    HANDLE device = INVALID_HANDLE_VALUE;
    HANDLE channel = INVALID_HANDLE_VALUE;
  };
  // The collection behind an open channel handle, or null.
  const FakeCollection* by_handle(HANDLE file);

  std::recursive_mutex lock_;
  std::vector<FakeCollection> collections_;
  std::map<std::string, Pipe> pipes_;  // by lower-case path
  std::vector<HANDLE> old_device_ends_;
  std::map<HANDLE, std::string> handle_paths_;
  std::map<HDEVNOTIFY, HANDLE> handle_notifications_;
  std::set<HDEVNOTIFY> interface_notifications_;
  std::uintptr_t next_notification_ = 0x7000;
  std::vector<std::wstring> snapshot_;
  HANDLE window_released_ = nullptr;
  struct RegistryKey {
    std::vector<std::wstring> subkeys;                                   // as spelled
    std::map<std::wstring, std::pair<DWORD, std::vector<BYTE>>> values;  // by lower-case name
  };
  std::vector<std::wstring> radios_;
  std::vector<std::wstring> gatt_paths_;
  std::map<std::string, FakeGattService> gatt_;  // by lower-case path
  std::map<HANDLE, std::string> gatt_files_;
  std::map<gatt::EventHandle, std::string> gatt_events_;
  std::uintptr_t next_event_ = 0x9000;
  std::map<HANDLE, std::string> radio_files_;
  std::map<std::string, HANDLE> last_radio_;
  std::map<std::pair<std::string, std::uint64_t>, FakeBluetoothInfo> bluetooth_info_;
  std::map<std::wstring, RegistryKey> registry_;  // by lower-case path
  std::map<HKEY, std::wstring> open_keys_;
  std::uintptr_t next_key_ = 0x5000;
  unsigned pipe_counter_ = 0;
};

}  // namespace rodiz::test
