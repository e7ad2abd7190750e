#include "Windows/GattDevice.h"

#include <cstring>

#include "Windows/BleHidPath.h"
#include "Windows/GattBus.h"
#include "Windows/WideText.h"
#include "Windows/Win32Bus.h"
#include "device/LastError.h"
#include "log/xLog.h"
#include "runtime/ConfigItem.h"
#include "runtime/IDeviceManager.h"
#include "runtime/RodizException.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "GattDevice";
#define GLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

// Room the GATT lists and values are asked with.
constexpr USHORT kListRoom = 30;
constexpr ULONG kValueRoom = 500;

bool is_uuid(const gatt::Uuid& uuid, const GUID& guid) {
  return !uuid.IsShortUuid && ::IsEqualGUID(uuid.Value.LongUuid, guid);
}

// One log line of the bytes of a value, "[R]: " or "[W]: " before them.
void log_bytes(const char* direction, const unsigned char* data, std::size_t size) {
  std::string line;
  char part[8];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(part, sizeof part, "%02x ", data[i]);
    line += part;
  }
  GLOG(LogVerbose, "-bt- 0x%x %s%s", 0u, direction, line.c_str());
}

// A value buffer with room for `room` data bytes after its size field.
template <class T>
std::vector<ULONG64> value_storage(std::size_t room) {
  return std::vector<ULONG64>((sizeof(T) + room) / sizeof(ULONG64) + 1, 0);
}
}  // namespace

GattDevice::GattDevice(std::weak_ptr<GattBus> gatt_bus, std::weak_ptr<Win32Bus> hid_bus,
                       std::shared_ptr<IWin32System> system, std::string path)
    : gatt_bus_(std::move(gatt_bus)),
      hid_bus_(std::move(hid_bus)),
      system_(std::move(system)),
      path_(std::move(path)) {}

GattDevice::~GattDevice() {
  destructed_ = true;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  close_locked();
}

std::weak_ptr<IHardwareBus> GattDevice::owning_bus() {
  std::shared_ptr<IHardwareBus> bus = gatt_bus_.lock();
  return bus;
}

std::vector<Byte> GattDevice::report_from_value(const unsigned char* value, std::size_t size, bool fixed_length,
                                                unsigned& count) {
  std::vector<Byte> report;
  report.reserve(size + 2);
  report.push_back(size > 7 ? 0x11 : 0x10);
  if (!fixed_length) report.push_back(0xFF);
  report.insert(report.end(), value, value + size);
  count = static_cast<unsigned>(report.size());
  report.resize(kReportLength, 0);
  return report;
}

std::vector<Byte> GattDevice::value_from_report(const std::vector<Byte>& report, bool fixed_length) {
  if (fixed_length) {
    std::vector<Byte> padded = report;
    padded.resize(kReportLength, 0);
    return std::vector<Byte>(padded.begin() + 1, padded.end());
  }
  std::vector<Byte> value(report.size() > 2 ? report.begin() + 2 : report.end(), report.end());
  while (value.size() > 1 && value.back() == 0) value.pop_back();
  if (value.empty()) value.push_back(0);
  return value;
}

bool GattDevice::gatt_option() {
  bool set = false;
  if (std::shared_ptr<Win32Bus> hid = hid_bus_.lock()) {
    if (std::shared_ptr<IDeviceManager> manager = hid->manager().lock()) {
      manager->config_get(item_number(ConfigItem::GattOption), &set);
    }
  }
  return set;
}

bool GattDevice::open() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return open_locked();
}

bool GattDevice::open_locked() {
  if (destructed_) return false;
  if (is_open_) return true;
  if (path_.empty()) {
    set_last_error(NoFilePath);
    return false;
  }
  GLOG(LogInfo, "Opening device '%s'", path_.c_str());
  handle_ =
      system_->CreateFileW(WideText::widen(path_).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) {
    set_last_error(CreateFileFailed, ::GetLastError(), "CreateFile failed");
    return false;
  }
  is_open_ = true;
  // A failure below closes the channel again and keeps its own error.
  auto fail = [this] {
    const LastError error = last_error();
    close_locked();
    set_last_error(error.code, error.system, error.text);
    return false;
  };
  if (!gatt_info_read_) {
    if (!open_gatt()) return fail();
    BleHidPath::Ids ids;
    if (BleHidPath::parse(path_, &ids)) {
      GLOG(LogInfo, "vid is %s and pid is %s", ids.vendor_text.c_str(), ids.product_text.c_str());
      pid_ = ids.product;
    }
    gatt_info_read_ = true;
  }
  std::shared_ptr<Win32Bus> hid = hid_bus_.lock();
  if (!hid) {
    set_last_error(ShuttingDown);
    return fail();
  }
  notification_ = hid->registerDeviceNotificationAndTakeOwnershipOfHandle(handle_);
  if (notification_ == nullptr) return fail();
  if (read_wanted_ && !read_register()) return fail();
  GLOG(LogInfo, "GattDevice::open opened dev=%s", path_.c_str());
  return true;
}

bool GattDevice::open_gatt() {
  io_characteristics_.clear();
  ccc_descriptors_.clear();
  gatt::Service services[kListRoom] = {};
  USHORT service_count = 0;
  if (FAILED(system_->BluetoothGATTGetServices(handle_, kListRoom, services, &service_count, gatt::kFlagNone))) {
    service_count = 0;
  }
  for (USHORT s = 0; s < service_count && s < kListRoom; ++s) {
    gatt::Characteristic characteristics[kListRoom] = {};
    USHORT characteristic_count = 0;
    if (FAILED(system_->BluetoothGATTGetCharacteristics(handle_, &services[s], kListRoom, characteristics,
                                                        &characteristic_count, gatt::kFlagNone))) {
      characteristic_count = 0;
    }
    for (USHORT c = 0; c < characteristic_count && c < kListRoom; ++c) {
      gatt::Characteristic& characteristic = characteristics[c];
      bool taken = false;
      if (is_uuid(characteristic.CharacteristicUuid, GattBus::kServiceInterface)) {
        GLOG(LogInfo, "GATT             will use this characteristic is FRP GATT I/O (fixed length)");
        io_characteristics_.push_back(characteristic);
        fixed_length_ = true;
        taken = true;
      } else if (is_uuid(characteristic.CharacteristicUuid, GattBus::kVariableLengthCharacteristic)) {
        GLOG(LogInfo, "GATT             will use this characteristic is FRP GATT I/O (variable length)");
        io_characteristics_.push_back(characteristic);
        fixed_length_ = false;
        taken = true;
      }
      if (characteristic.IsReadable) {
        auto storage = value_storage<gatt::CharacteristicValue>(kValueRoom);
        auto* value = reinterpret_cast<gatt::CharacteristicValue*>(storage.data());
        if (SUCCEEDED(system_->BluetoothGATTGetCharacteristicValue(handle_, &characteristic, kValueRoom, value, nullptr,
                                                                   gatt::kFlagNone)) &&
            value->DataSize <= kValueRoom) {
          log_bytes("[V]: ", value->Data, value->DataSize);
        }
      }
      if (!taken) continue;
      gatt::Descriptor descriptors[kListRoom] = {};
      USHORT descriptor_count = 0;
      if (FAILED(system_->BluetoothGATTGetDescriptors(handle_, &characteristic, kListRoom, descriptors,
                                                      &descriptor_count, gatt::kFlagNone))) {
        descriptor_count = 0;
      }
      for (USHORT d = 0; d < descriptor_count && d < kListRoom; ++d) {
        if (descriptors[d].DescriptorType == gatt::ClientCharacteristicConfiguration) {
          GLOG(LogInfo, "GATT                     will use this descriptor to enable FRP GATT");
          ccc_descriptors_.push_back(descriptors[d]);
        }
      }
    }
    gatt::Service included[kListRoom] = {};
    USHORT included_count = 0;
    if (SUCCEEDED(system_->BluetoothGATTGetIncludedServices(handle_, &services[s], kListRoom, included, &included_count,
                                                            gatt::kFlagNone))) {
      GLOG(LogDebug, "GATT service %u includes %u services", static_cast<unsigned>(services[s].AttributeHandle),
           static_cast<unsigned>(included_count));
    }
  }
  if (io_characteristics_.empty() || ccc_descriptors_.empty()) {
    set_last_error(InternalError, 0, "no FRAP GATT characteristic");
    return false;
  }
  return true;
}

void GattDevice::close() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  close_locked();
}

void GattDevice::close_locked() {
  notifications_enabled_ = false;
  read_unregister();
  if (notification_ != nullptr) {
    // Without the HID bus, the handle went with the bus's own end.
    if (std::shared_ptr<Win32Bus> hid = hid_bus_.lock()) {
      hid->unregisterDeviceNotificationAndCloseTrackedHandle(notification_, handle_);
    }
  } else if (handle_ != INVALID_HANDLE_VALUE) {
    ::CloseHandle(handle_);
  }
  notification_ = nullptr;
  handle_ = INVALID_HANDLE_VALUE;
  is_open_ = false;
}

bool GattDevice::on_subscribe(Subscriber<IHardwareDevice::Read>* /*s*/) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  read_wanted_ = true;
  if (is_open_ && !read_register()) return false;
  return true;
}

bool GattDevice::read_register() {
  if (read_registered_) return true;
  read_unregister();
  read_registered_ = true;
  for (const gatt::Characteristic& characteristic : io_characteristics_) {
    gatt::ValueChangedEventRegistration registration{};
    registration.NumCharacteristics = 1;
    registration.Characteristics[0] = characteristic;
    gatt::EventHandle event = nullptr;
    const HRESULT result =
        system_->BluetoothGATTRegisterEvent(handle_, gatt::CharacteristicValueChangedEvent, &registration,
                                            &GattDevice::gatt_event_static, this, &event, gatt::kFlagNone);
    if (FAILED(result)) {
      GLOG(LogError, "GATT                     error registering event (BluetoothGATTRegisterEvent -> %x)",
           static_cast<unsigned>(result));
      set_last_error(InternalError, static_cast<std::uint32_t>(result), "BluetoothGATTRegisterEvent failed");
      read_registered_ = false;
      break;
    }
    event_registrations_.push_back(event);
  }
  return read_registered_;
}

void GattDevice::read_unregister() {
  for (gatt::EventHandle event : event_registrations_) system_->BluetoothGATTUnregisterEvent(event, gatt::kFlagNone);
  event_registrations_.clear();
  read_registered_ = false;
}

bool GattDevice::read_enable() {
  if (notifications_enabled_) return true;
  const bool off = gatt_option();
  for (gatt::Descriptor& descriptor : ccc_descriptors_) {
    auto storage = value_storage<gatt::DescriptorValue>(0);
    auto* value = reinterpret_cast<gatt::DescriptorValue*>(storage.data());
    value->DescriptorType = gatt::ClientCharacteristicConfiguration;
    value->ClientCharacteristicConfiguration.IsSubscribeToNotification = off ? FALSE : TRUE;
    const HRESULT result = system_->BluetoothGATTSetDescriptorValue(handle_, &descriptor, value, gatt::kFlagNone);
    if (FAILED(result)) {
      set_last_error(InternalError, static_cast<std::uint32_t>(result), "BluetoothGATTSetDescriptorValue failed");
      return false;
    }
  }
  notifications_enabled_ = true;
  return true;
}

void CALLBACK GattDevice::gatt_event_static(gatt::EventType /*type*/, PVOID event_out, PVOID context) {
  auto* device = static_cast<GattDevice*>(context);
  if (device != nullptr && !device->destructed_) device->gatt_event(event_out);
}

void GattDevice::gatt_event(PVOID event_out) {
  const auto* event = static_cast<const gatt::ValueChangedEvent*>(event_out);
  if (event == nullptr || event->CharacteristicValue == nullptr) {
    GLOG(LogWarning, "gatt_event got null EventOutParameter");
    return;
  }
  const gatt::CharacteristicValue* value = event->CharacteristicValue;
  // The size the stack gives twice must agree; the smaller one is trusted.
  std::size_t size = value->DataSize;
  if (event->CharacteristicValueDataSize < size + sizeof(ULONG) &&
      event->CharacteristicValueDataSize >= sizeof(ULONG)) {
    size = event->CharacteristicValueDataSize - sizeof(ULONG);
  }
  GLOG(LogVerbose, "GATT event type=%d attr=%d size=%d size=%d value=%s", 0,
       static_cast<int>(event->ChangedAttributeHandle), static_cast<int>(event->CharacteristicValueDataSize),
       static_cast<int>(value->DataSize), "");
  log_bytes("[R]: ", value->Data, size);
  unsigned count = 0;
  std::vector<Byte> report = report_from_value(value->Data, size, fixed_length_, count);
  Producer<IHardwareDevice::Read>::produce(
      [report, count](IHardwareDevice::Read* s) { s->onRead(report, false, 0, count); }, "GattDevice::Read::onRead");
}

bool GattDevice::fail_write(ErrorCode code, std::uint32_t system, const char* text) {
  set_last_error(code, system, text);
  Producer<IHardwareDevice::Write>::produce(
      [code, system](IHardwareDevice::Write* s) { s->onWrite(std::vector<Byte>(), code, system); },
      "GattDevice::Write::onWrite");
  return false;
}

bool GattDevice::write(std::vector<Byte> report, bool blocking) {
  std::unique_lock<std::recursive_mutex> guard(lock_);
  if (!open_locked()) {
    GLOG(LogWarning, "GattDevice::write exit (false, open failed)");
    const LastError error = last_error();
    guard.unlock();
    return fail_write(error.code, error.system, error.text);
  }
  if (handle_ == INVALID_HANDLE_VALUE) {
    guard.unlock();
    return fail_write(InvalidDeviceHandle, 0, nullptr);
  }
  if (notification_ != nullptr) {
    std::shared_ptr<Win32Bus> hid = hid_bus_.lock();
    if (!hid || !hid->verifyDeviceNotificationHandleOpen(notification_, handle_)) {
      guard.unlock();
      return fail_write(FileHandleClosed, 0, nullptr);
    }
  }
  if (io_characteristics_.empty()) {
    GLOG(LogWarning, "GattDevice::write exit (false, InvalidDeviceHandle - no characteristics)");
    guard.unlock();
    return fail_write(InvalidDeviceHandle, 0, nullptr);
  }
  if (!read_enable()) return false;
  if (gatt_option()) {
    set_last_error(Abandoned);
    return false;
  }
  if (report.size() <= 1) {
    guard.unlock();
    return fail_write(WriteTooShort, 0, nullptr);
  }
  if (report.size() > kReportLength) {
    guard.unlock();
    return fail_write(WriteExceedsCollectionSize, 0, nullptr);
  }
  if (blocking && !read_registered_) {
    GLOG(LogWarning, "GattDevice::write dev=%s", path_.c_str());
    guard.unlock();
    return fail_write(CannotPerformWriteWithoutReadThreadRunning, 0, nullptr);
  }
  const bool fixed = fixed_length_;
  const std::vector<Byte> bytes = value_from_report(report, fixed);
  log_bytes("[W]: ", bytes.data(), bytes.size());
  auto storage = value_storage<gatt::CharacteristicValue>(bytes.size());
  auto* value = reinterpret_cast<gatt::CharacteristicValue*>(storage.data());
  value->DataSize = static_cast<ULONG>(bytes.size());
  std::memcpy(value->Data, bytes.data(), bytes.size());
  gatt::Characteristic characteristic = io_characteristics_.back();
  const HRESULT result = system_->BluetoothGATTSetCharacteristicValue(
      handle_, &characteristic, value, 0, fixed ? gatt::kFlagNone : gatt::kFlagWriteWithoutResponse);
  guard.unlock();
  ErrorCode code = NoError;
  std::uint32_t system = 0;
  if (FAILED(result)) {
    GLOG(LogError, "GATT write failed (BluetoothGATTSetCharacteristicValue -> %x)", static_cast<unsigned>(result));
    code = WriteError;
    system = static_cast<std::uint32_t>(result);
    set_last_error(code, system, "BluetoothGATTSetCharacteristicValue failed");
  }
  Producer<IHardwareDevice::Write>::produce(
      [report, code, system](IHardwareDevice::Write* s) { s->onWrite(report, code, system); },
      "GattDevice::Write::onWrite");
  GLOG(LogDebug, "GattDevice::write exit, ret=%d", code == NoError);
  return code == NoError;
}

bool GattDevice::verify_connection_following_timeout() {
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    notifications_enabled_ = false;
  }
  std::shared_ptr<GattBus> bus = gatt_bus_.lock();
  if (!bus) return true;
  if (bus->verify_device_exists(path_)) return true;
  GLOG(LogWarning, "GattDevice::verify_connection_following_timeout returning false (is a zombie)");
  return false;
}

}  // namespace rodiz
