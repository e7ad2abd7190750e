#include "Windows/FakeWin32System.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwctype>
#include <stdexcept>
#include <thread>

#include "Windows/GattBus.h"
#include "Windows/WideText.h"
#include "Windows/Win32Bus.h"
#include "runtime/RodizException.h"

namespace rodiz::test {

namespace {

struct FakePreparsed {
  FakeCollection collection;
};

FakePreparsed* preparsed(PHIDP_PREPARSED_DATA data) { return reinterpret_cast<FakePreparsed*>(data); }

HDEVINFO const kSet = reinterpret_cast<HDEVINFO>(static_cast<std::uintptr_t>(0x5E7));

}  // namespace

const GUID FakeWin32System::kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

FakeWin32System::FakeWin32System() { window_released_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }

FakeWin32System::~FakeWin32System() {
  for (auto& [path, pipe] : pipes_) ::CloseHandle(pipe.device);
  for (HANDLE end : old_device_ends_) ::CloseHandle(end);
  ::CloseHandle(window_released_);
}

void FakeWin32System::add(FakeCollection collection) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  collections_.push_back(std::move(collection));
}

void FakeWin32System::remove(const std::wstring& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::erase_if(collections_, [&](const FakeCollection& c) { return c.path == path; });
}

FakeCollection& FakeWin32System::collection(const std::wstring& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (FakeCollection& c : collections_) {
    if (c.path == path) return c;
  }
  throw std::logic_error("no such fake collection");
}

HANDLE FakeWin32System::device_end(const std::string& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto it = pipes_.find(path);
  return it == pipes_.end() ? INVALID_HANDLE_VALUE : it->second.device;
}

HANDLE FakeWin32System::channel_end(const std::string& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto it = pipes_.find(path);
  return it == pipes_.end() ? INVALID_HANDLE_VALUE : it->second.channel;
}

HDEVNOTIFY FakeWin32System::notification_for(HANDLE file) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (const auto& [notification, handle] : handle_notifications_) {
    if (handle == file) return notification;
  }
  return nullptr;
}

bool FakeWin32System::device_write(const std::string& path, const std::vector<unsigned char>& report) {
  const HANDLE end = device_end(path);
  OVERLAPPED overlapped{};
  overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD written = 0;
  BOOL ok = ::WriteFile(end, report.data(), static_cast<DWORD>(report.size()), nullptr, &overlapped);
  if (!ok && ::GetLastError() == ERROR_IO_PENDING) ok = ::GetOverlappedResult(end, &overlapped, &written, TRUE);
  ::CloseHandle(overlapped.hEvent);
  return ok != FALSE;
}

std::vector<unsigned char> FakeWin32System::device_read(const std::string& path, DWORD timeout_ms) {
  const HANDLE end = device_end(path);
  std::vector<unsigned char> buffer(256);
  OVERLAPPED overlapped{};
  overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD read = 0;
  BOOL ok = ::ReadFile(end, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped);
  if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
    if (::WaitForSingleObject(overlapped.hEvent, timeout_ms) != WAIT_OBJECT_0) {
      ::CancelIoEx(end, &overlapped);
    }
    ok = ::GetOverlappedResult(end, &overlapped, &read, TRUE);
  } else if (ok) {
    ok = ::GetOverlappedResult(end, &overlapped, &read, TRUE);
  }
  ::CloseHandle(overlapped.hEvent);
  buffer.resize(ok ? read : 0);
  return buffer;
}

void FakeWin32System::release_window() { ::SetEvent(window_released_); }

int FakeWin32System::live_handle_notifications() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return static_cast<int>(handle_notifications_.size());
}

int FakeWin32System::live_interface_notifications() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return static_cast<int>(interface_notifications_.size());
}

const FakeCollection* FakeWin32System::by_handle(HANDLE file) {
  auto it = handle_paths_.find(file);
  if (it == handle_paths_.end()) return nullptr;
  for (const FakeCollection& c : collections_) {
    if (WideText::lower_utf8(c.path) == it->second) return &c;
  }
  return nullptr;
}

void FakeWin32System::HidD_GetHidGuid(GUID* guid) {
  if (guid_missing) throw RodizException(SystemLibraryMissing, ERROR_MOD_NOT_FOUND, "LoadLibrary hid.dll failed");
  *guid = kHidGuid;
}

BOOLEAN FakeWin32System::HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) {
  if (attributes_missing) {
    throw RodizException(SystemLibraryMissing, ERROR_PROC_NOT_FOUND, "HidD_GetAttributes ProcAddress Missing");
  }
  ++attributes_calls;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const FakeCollection* c = by_handle(device);
  if (c == nullptr || c->attributes_fail) {
    ::SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  attributes->VendorID = c->vendor;
  attributes->ProductID = c->product;
  attributes->VersionNumber = c->version;
  return TRUE;
}

BOOLEAN FakeWin32System::HidD_GetProductString(HANDLE device, PVOID buffer, ULONG length) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const FakeCollection* c = by_handle(device);
  if (c == nullptr || c->product_fails) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::size_t bytes = std::min<std::size_t>(length, c->product_string.size() * sizeof(wchar_t));
  std::memcpy(buffer, c->product_string.data(), bytes);
  return TRUE;
}

BOOLEAN FakeWin32System::HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const FakeCollection* c = by_handle(device);
  if (c == nullptr || c->preparsed_fails) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(new FakePreparsed{*c});
  ++preparsed_live;
  return TRUE;
}

BOOLEAN FakeWin32System::HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  delete preparsed(data);
  --preparsed_live;
  return TRUE;
}

NTSTATUS FakeWin32System::HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) {
  const FakeCollection& c = preparsed(data)->collection;
  if (c.caps_fail) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  *caps = HIDP_CAPS{};
  caps->UsagePage = c.usage_page;
  caps->Usage = c.usage;
  caps->InputReportByteLength = c.input_length;
  caps->OutputReportByteLength = c.output_length;
  caps->NumberInputValueCaps = c.input_caps;
  caps->NumberOutputValueCaps = static_cast<USHORT>(c.output_value_ids.size());
  caps->NumberOutputButtonCaps = static_cast<USHORT>(c.output_button_ids.size());
  return HIDP_STATUS_SUCCESS;
}

NTSTATUS FakeWin32System::HidP_GetValueCaps(HIDP_REPORT_TYPE /*type*/, HIDP_VALUE_CAPS* caps, PUSHORT length,
                                            PHIDP_PREPARSED_DATA data) {
  const FakeCollection& c = preparsed(data)->collection;
  USHORT n = 0;
  for (UCHAR id : c.output_value_ids) {
    if (n >= *length) break;
    caps[n] = HIDP_VALUE_CAPS{};
    caps[n].ReportID = id;
    caps[n].BitSize = 8;
    caps[n].ReportCount = static_cast<USHORT>(c.output_length - 1);
    ++n;
  }
  *length = n;
  return HIDP_STATUS_SUCCESS;
}

NTSTATUS FakeWin32System::HidP_GetButtonCaps(HIDP_REPORT_TYPE /*type*/, HIDP_BUTTON_CAPS* caps, PUSHORT length,
                                             PHIDP_PREPARSED_DATA data) {
  const FakeCollection& c = preparsed(data)->collection;
  USHORT n = 0;
  for (UCHAR id : c.output_button_ids) {
    if (n >= *length) break;
    caps[n] = HIDP_BUTTON_CAPS{};
    caps[n].ReportID = id;
    ++n;
  }
  *length = n;
  return HIDP_STATUS_SUCCESS;
}

NTSTATUS FakeWin32System::HidP_GetLinkCollectionNodes(HIDP_LINK_COLLECTION_NODE* /*nodes*/, PULONG length,
                                                      PHIDP_PREPARSED_DATA /*data*/) {
  *length = 0;
  return HIDP_STATUS_SUCCESS;
}

HANDLE FakeWin32System::CreateFileW(LPCWSTR name, DWORD /*access*/, DWORD /*share*/, LPSECURITY_ATTRIBUTES /*security*/,
                                    DWORD /*disposition*/, DWORD /*flags*/, HANDLE /*template_file*/) {
  ++create_file_calls;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const std::string path = WideText::lower_utf8(name, ::wcslen(name));
  for (const std::wstring& radio : radios_) {
    if (WideText::lower_utf8(radio) != path) continue;
    HANDLE file = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    radio_files_[file] = path;
    last_radio_[path] = file;
    return file;
  }
  for (const std::wstring& gatt_path : gatt_paths_) {
    if (WideText::lower_utf8(gatt_path) != path) continue;
    HANDLE file = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    gatt_files_[file] = path;
    return file;
  }
  const FakeCollection* found = nullptr;
  for (const FakeCollection& c : collections_) {
    if (WideText::lower_utf8(c.path) == path) found = &c;
  }
  if (found == nullptr || found->open_fails) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const std::wstring pipe_name = L"\\\\.\\pipe\\rodiz-fake-hid-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(++pipe_counter_);
  Pipe pipe;
  pipe.device = ::CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, found->pipe_buffer,
                                   0, nullptr);
  if (pipe.device == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  pipe.channel = ::CreateFileW(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  if (pipe.channel == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(pipe.device);
    ::SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  ::SetNamedPipeHandleState(pipe.channel, &mode, nullptr, nullptr);
  auto old = pipes_.find(path);
  if (old != pipes_.end()) old_device_ends_.push_back(old->second.device);
  pipes_[path] = pipe;
  handle_paths_[pipe.channel] = path;
  return pipe.channel;
}

HDEVNOTIFY FakeWin32System::RegisterDeviceNotificationW(HANDLE /*recipient*/, LPVOID filter, DWORD /*flags*/) {
  if (fail_register) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto* header = static_cast<DEV_BROADCAST_HDR*>(filter);
  auto notification = reinterpret_cast<HDEVNOTIFY>(next_notification_++);
  if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
    handle_notifications_[notification] = static_cast<DEV_BROADCAST_HANDLE*>(filter)->dbch_handle;
  } else {
    interface_notifications_.insert(notification);
  }
  return notification;
}

BOOL FakeWin32System::UnregisterDeviceNotification(HDEVNOTIFY notification) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return handle_notifications_.erase(notification) + interface_notifications_.erase(notification) > 0;
}

HWND FakeWin32System::CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x, int y,
                                      int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                                      LPVOID param) {
  if (fail_create_window) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (block_create_window) ::WaitForSingleObject(window_released_, INFINITE);
  return ::CreateWindowExW(ex_style, class_name, title, style, x, y, width, height, parent, menu, instance, param);
}

HDEVINFO FakeWin32System::SetupDiCreateDeviceInfoList(const GUID* /*class_guid*/, HWND /*parent*/) {
  ++sets_live;
  return kSet;
}

BOOL FakeWin32System::SetupDiOpenDeviceInterfaceW(HDEVINFO, PCWSTR, DWORD, SP_DEVICE_INTERFACE_DATA*) { return TRUE; }

BOOL FakeWin32System::SetupDiEnumDeviceInfo(HDEVINFO, DWORD, SP_DEVINFO_DATA*) { return TRUE; }

BOOL FakeWin32System::SetupDiOpenDeviceInfoW(HDEVINFO, PCWSTR, HWND, DWORD, SP_DEVINFO_DATA*) { return TRUE; }

BOOL FakeWin32System::SetupDiGetDevicePropertyW(HDEVINFO, SP_DEVINFO_DATA*, const DEVPROPKEY*, DEVPROPTYPE*, PBYTE,
                                                DWORD, PDWORD, DWORD) {
  ::SetLastError(ERROR_NOT_FOUND);
  return FALSE;
}

HDEVINFO FakeWin32System::SetupDiGetClassDevsW(const GUID* class_guid, PCWSTR /*enumerator*/, HWND /*parent*/,
                                               DWORD /*flags*/) {
  if (fail_class_devs) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  std::lock_guard<std::recursive_mutex> guard(lock_);
  snapshot_.clear();
  if (class_guid != nullptr && ::IsEqualGUID(*class_guid, Win32Bus::kBluetoothPortInterface)) {
    snapshot_ = radios_;
  } else if (class_guid != nullptr && ::IsEqualGUID(*class_guid, GattBus::kServiceInterface)) {
    snapshot_ = gatt_paths_;
  } else {
    for (const FakeCollection& c : collections_) snapshot_.push_back(c.path);
  }
  ++sets_live;
  return kSet;
}

BOOL FakeWin32System::SetupDiDestroyDeviceInfoList(HDEVINFO /*set*/) {
  --sets_live;
  return TRUE;
}

BOOL FakeWin32System::SetupDiEnumDeviceInterfaces(HDEVINFO /*set*/, SP_DEVINFO_DATA* /*info*/,
                                                  const GUID* /*interface_class*/, DWORD index,
                                                  SP_DEVICE_INTERFACE_DATA* interface_data) {
  if (enum_error != 0) {
    ::SetLastError(enum_error);
    return FALSE;
  }
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (index >= snapshot_.size()) {
    ::SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  interface_data->Reserved = index;
  return TRUE;
}

BOOL FakeWin32System::SetupDiGetDeviceInterfaceDetailW(HDEVINFO /*set*/, SP_DEVICE_INTERFACE_DATA* interface_data,
                                                       SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD size,
                                                       PDWORD required, SP_DEVINFO_DATA* info) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const std::wstring& path = snapshot_.at(interface_data->Reserved);
  const DWORD needed =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(wchar_t));
  if (required != nullptr) *required = needed;
  if (detail == nullptr || size < needed) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  if (info != nullptr) info->DevInst = static_cast<DEVINST>(interface_data->Reserved + 1);
  return TRUE;
}

CONFIGRET FakeWin32System::CM_Get_Parent(DEVINST*, DEVINST, ULONG) { return CR_NO_SUCH_DEVNODE; }

CONFIGRET FakeWin32System::CM_Get_Device_ID_Size(PULONG, DEVINST, ULONG) { return CR_NO_SUCH_DEVNODE; }

CONFIGRET FakeWin32System::CM_Get_Device_IDW(DEVINST, PWSTR, ULONG, ULONG) { return CR_NO_SUCH_DEVNODE; }

DWORD FakeWin32System::BluetoothGetDeviceInfo(HANDLE radio, BLUETOOTH_DEVICE_INFO* info) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto file = radio_files_.find(radio);
  if (file == radio_files_.end()) return ERROR_INVALID_HANDLE;
  if (info->dwSize != sizeof(BLUETOOTH_DEVICE_INFO)) return ERROR_REVISION_MISMATCH;
  auto found = bluetooth_info_.find({file->second, info->Address.ullLong});
  if (found == bluetooth_info_.end()) return ERROR_NOT_FOUND;
  if (found->second.error != ERROR_SUCCESS) return found->second.error;
  info->fConnected = found->second.connected;
  info->fRemembered = found->second.remembered;
  const std::wstring& name = found->second.name;
  std::memcpy(info->szName, name.c_str(), (std::min<std::size_t>(name.size(), BLUETOOTH_MAX_NAME_SIZE - 1) + 1) * 2);
  return ERROR_SUCCESS;
}

void FakeWin32System::add_radio(const std::wstring& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  radios_.push_back(path);
}

void FakeWin32System::remove_radio(const std::wstring& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  radios_.erase(std::remove(radios_.begin(), radios_.end(), path), radios_.end());
}

HANDLE FakeWin32System::radio_handle(const std::string& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto found = last_radio_.find(path);
  return found == last_radio_.end() ? nullptr : found->second;
}

void FakeWin32System::set_bluetooth_info(const std::string& radio, std::uint64_t address, FakeBluetoothInfo info) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  bluetooth_info_[{radio, address}] = std::move(info);
}

namespace {
std::wstring lower_wide(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(::towlower(c));
  return text;
}
}  // namespace

void FakeWin32System::add_registry_key(const std::wstring& key) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::wstring parent;
  std::size_t start = 0;
  while (start <= key.size()) {
    const std::size_t end = std::min(key.find(L'\\', start), key.size());
    const std::wstring part = key.substr(start, end - start);
    const std::wstring path = parent.empty() ? lower_wide(part) : parent + L"\\" + lower_wide(part);
    if (registry_.count(path) == 0) {
      registry_[path];
      if (!parent.empty()) registry_[parent].subkeys.push_back(part);
    }
    parent = path;
    start = end + 1;
  }
}

void FakeWin32System::set_registry_value(const std::wstring& key, const std::wstring& name, DWORD type,
                                         std::vector<BYTE> data) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  add_registry_key(key);
  registry_[lower_wide(key)].values[lower_wide(name)] = {type, std::move(data)};
}

void FakeWin32System::add_gatt(const std::wstring& path, std::vector<GUID> characteristics) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  gatt_paths_.push_back(path);
  gatt_[WideText::lower_utf8(path)].characteristics = std::move(characteristics);
}

void FakeWin32System::remove_gatt(const std::wstring& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  gatt_paths_.erase(std::remove(gatt_paths_.begin(), gatt_paths_.end(), path), gatt_paths_.end());
}

FakeWin32System::FakeGattService FakeWin32System::gatt_service(const std::string& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return gatt_[path];
}

void FakeWin32System::set_gatt_write_result(const std::string& path, HRESULT result) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  gatt_[path].write_result = result;
}

bool FakeWin32System::gatt_notify(const std::string& path, const std::vector<unsigned char>& value) {
  std::vector<std::pair<gatt::EventCallback, PVOID>> targets;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (const auto& [event, target] : gatt_[path].events) targets.push_back(target);
  }
  if (targets.empty()) return false;
  std::vector<ULONG64> storage((sizeof(gatt::CharacteristicValue) + value.size()) / 8 + 1, 0);
  auto* characteristic_value = reinterpret_cast<gatt::CharacteristicValue*>(storage.data());
  characteristic_value->DataSize = static_cast<ULONG>(value.size());
  std::memcpy(characteristic_value->Data, value.data(), value.size());
  gatt::ValueChangedEvent event{};
  event.ChangedAttributeHandle = 0x21;
  event.CharacteristicValueDataSize = sizeof(ULONG) + value.size();
  event.CharacteristicValue = characteristic_value;
  std::thread stack([&] {
    for (const auto& [callback, context] : targets) callback(gatt::CharacteristicValueChangedEvent, &event, context);
  });
  stack.join();
  return true;
}

namespace {
// The GATT service behind an open handle: its characteristics carry their
// index in the attribute handles.
constexpr USHORT kFirstCharacteristic = 0x20;
}  // namespace

HRESULT FakeWin32System::BluetoothGATTGetServices(HANDLE device, USHORT count, gatt::Service* services, USHORT* actual,
                                                  ULONG) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (gatt_files_.count(device) == 0) return E_HANDLE;
  *actual = 1;
  if (count < 1) return HRESULT_FROM_WIN32(ERROR_MORE_DATA);
  services[0] = gatt::Service{};
  services[0].ServiceUuid.Value.LongUuid = GattBus::kServiceInterface;
  services[0].AttributeHandle = 0x10;
  return S_OK;
}

HRESULT FakeWin32System::BluetoothGATTGetIncludedServices(HANDLE, gatt::Service*, USHORT, gatt::Service*,
                                                          USHORT* actual, ULONG) {
  *actual = 0;
  return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
}

HRESULT FakeWin32System::BluetoothGATTGetCharacteristics(HANDLE device, gatt::Service*, USHORT count,
                                                         gatt::Characteristic* characteristics, USHORT* actual, ULONG) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto file = gatt_files_.find(device);
  if (file == gatt_files_.end()) return E_HANDLE;
  const std::vector<GUID>& ids = gatt_[file->second].characteristics;
  *actual = static_cast<USHORT>(ids.size());
  for (USHORT i = 0; i < ids.size() && i < count; ++i) {
    characteristics[i] = gatt::Characteristic{};
    characteristics[i].CharacteristicUuid.Value.LongUuid = ids[i];
    characteristics[i].AttributeHandle = static_cast<USHORT>(kFirstCharacteristic + i);
    characteristics[i].IsWritable = TRUE;
    characteristics[i].IsNotifiable = TRUE;
  }
  return S_OK;
}

HRESULT FakeWin32System::BluetoothGATTGetDescriptors(HANDLE device, gatt::Characteristic* characteristic, USHORT count,
                                                     gatt::Descriptor* descriptors, USHORT* actual, ULONG) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (gatt_files_.count(device) == 0) return E_HANDLE;
  *actual = 1;
  if (count < 1) return HRESULT_FROM_WIN32(ERROR_MORE_DATA);
  descriptors[0] = gatt::Descriptor{};
  descriptors[0].CharacteristicHandle = characteristic->AttributeHandle;
  descriptors[0].DescriptorType = gatt::ClientCharacteristicConfiguration;
  descriptors[0].AttributeHandle = static_cast<USHORT>(characteristic->AttributeHandle + 0x40);
  return S_OK;
}

HRESULT FakeWin32System::BluetoothGATTGetCharacteristicValue(HANDLE, gatt::Characteristic*, ULONG,
                                                             gatt::CharacteristicValue*, USHORT*, ULONG) {
  return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
}

HRESULT FakeWin32System::BluetoothGATTGetDescriptorValue(HANDLE, gatt::Descriptor*, ULONG, gatt::DescriptorValue*,
                                                         USHORT*, ULONG) {
  return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
}

HRESULT FakeWin32System::BluetoothGATTSetDescriptorValue(HANDLE device, gatt::Descriptor*, gatt::DescriptorValue* value,
                                                         ULONG) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto file = gatt_files_.find(device);
  if (file == gatt_files_.end()) return E_HANDLE;
  gatt_[file->second].configurations.push_back(value->ClientCharacteristicConfiguration.IsSubscribeToNotification);
  return S_OK;
}

HRESULT FakeWin32System::BluetoothGATTRegisterEvent(HANDLE service, gatt::EventType, PVOID,
                                                    gatt::EventCallback callback, PVOID context,
                                                    gatt::EventHandle* handle, ULONG) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto file = gatt_files_.find(service);
  if (file == gatt_files_.end()) return E_HANDLE;
  auto event = reinterpret_cast<gatt::EventHandle>(next_event_++);
  gatt_[file->second].events[event] = {callback, context};
  gatt_events_[event] = file->second;
  *handle = event;
  return S_OK;
}

HRESULT FakeWin32System::BluetoothGATTUnregisterEvent(gatt::EventHandle handle, ULONG) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto found = gatt_events_.find(handle);
  if (found == gatt_events_.end()) return E_HANDLE;
  gatt_[found->second].events.erase(handle);
  gatt_events_.erase(found);
  return S_OK;
}

HRESULT FakeWin32System::BluetoothGATTSetCharacteristicValue(HANDLE device, gatt::Characteristic*,
                                                             gatt::CharacteristicValue* value,
                                                             gatt::ReliableWriteContext, ULONG flags) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto file = gatt_files_.find(device);
  if (file == gatt_files_.end()) return E_HANDLE;
  FakeGattService& service = gatt_[file->second];
  if (FAILED(service.write_result)) return service.write_result;
  service.written.emplace_back(std::vector<unsigned char>(value->Data, value->Data + value->DataSize), flags);
  return S_OK;
}

LSTATUS FakeWin32System::RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD, REGSAM, PHKEY result) {
  ++registry_opens;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::wstring path;
  if (key != HKEY_LOCAL_MACHINE) {
    auto open = open_keys_.find(key);
    if (open == open_keys_.end()) return ERROR_INVALID_HANDLE;
    path = open->second + L"\\";
  }
  path += lower_wide(sub_key);
  if (registry_.count(path) == 0) return ERROR_FILE_NOT_FOUND;
  auto handle = reinterpret_cast<HKEY>(next_key_++);
  open_keys_[handle] = path;
  ++keys_live;
  *result = handle;
  return ERROR_SUCCESS;
}

LSTATUS FakeWin32System::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_length, LPDWORD, LPWSTR,
                                       LPDWORD, PFILETIME) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto open = open_keys_.find(key);
  if (open == open_keys_.end()) return ERROR_INVALID_HANDLE;
  const std::vector<std::wstring>& subkeys = registry_[open->second].subkeys;
  if (index >= subkeys.size()) return ERROR_NO_MORE_ITEMS;
  const std::wstring& sub = subkeys[index];
  if (*name_length <= sub.size()) return ERROR_MORE_DATA;
  std::memcpy(name, sub.c_str(), (sub.size() + 1) * sizeof(wchar_t));
  *name_length = static_cast<DWORD>(sub.size());
  return ERROR_SUCCESS;
}

LSTATUS FakeWin32System::RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD, LPDWORD type, LPBYTE data,
                                          LPDWORD size) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto open = open_keys_.find(key);
  if (open == open_keys_.end()) return ERROR_INVALID_HANDLE;
  const auto& values = registry_[open->second].values;
  auto found = values.find(lower_wide(value_name));
  if (found == values.end()) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = found->second.first;
  const std::vector<BYTE>& bytes = found->second.second;
  if (data == nullptr || *size < bytes.size()) {
    *size = static_cast<DWORD>(bytes.size());
    return data == nullptr ? ERROR_SUCCESS : ERROR_MORE_DATA;
  }
  std::memcpy(data, bytes.data(), bytes.size());
  *size = static_cast<DWORD>(bytes.size());
  return ERROR_SUCCESS;
}

LSTATUS FakeWin32System::RegCloseKey(HKEY key) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (open_keys_.erase(key) == 0) return ERROR_INVALID_HANDLE;
  --keys_live;
  return ERROR_SUCCESS;
}

std::string FakeWin32System::setupdi_parent(const std::string& instance) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (const FakeCollection& c : collections_) {
    if ("instance of " + WideText::lower_utf8(c.path) == instance) return c.parent;
  }
  return {};
}

std::string FakeWin32System::setupdi_instance_from_devnode(DEVINST) { return {}; }

std::string FakeWin32System::setupdi_instance_from_path(const std::string& path) {
  return path.empty() ? std::string() : "instance of " + path;
}

std::string FakeWin32System::setupdi_path_from_instance(const std::string&, const GUID&) { return {}; }

}  // namespace rodiz::test
