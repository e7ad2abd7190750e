#include "transport/VireonBus.h"

#include <algorithm>

#include "device/FrapReport.h"
#include "device/LastError.h"
#include "log/xLog.h"
#include "runtime/IDeviceManager.h"
#include "transport/FRP10Command.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "VireonBus";
std::atomic<int> g_instances{0};

constexpr Byte kNotificationRegister = 0x00;
constexpr Byte kWirelessNotifications = 0x01;
constexpr Byte kSoftwarePresent = 0x08;
constexpr Byte kConfiguredSlotsRegister = 0x03;
constexpr Byte kPairingRegister = 0xB2;
constexpr Byte kOpenLock = 0x01;
constexpr Byte kCloseLock = 0x02;
constexpr Byte kUnpair = 0x03;
constexpr Byte kActivityRegister = 0xB3;
constexpr std::size_t kActivityValues = 6;
constexpr std::size_t kActivityAnswerMinimum = 10;

constexpr Byte kDeviceConnection = 0x41;
constexpr Byte kDeviceUnpaired = 0x40;
constexpr Byte kUnpairedKind = 0x02;
constexpr Byte kLockingChange = 0x4A;
constexpr Byte kLinkNotEstablished = 0x40;
constexpr int kEnumerationAttempts = 3;

#define BLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

bool known_register(Byte reg) {
  return reg == kNotificationRegister || reg == 0x02 || reg == kConfiguredSlotsRegister || reg == kPairingRegister ||
         reg == kActivityRegister || reg == 0xB5;
}

}  // namespace

VireonBus::VireonBus(std::weak_ptr<IDeviceManager> manager, std::shared_ptr<IHardwareDevice> hwdev, int protocol,
                     int slot_count)
    : Device(std::move(manager), std::move(hwdev)),
      slot_count_(slot_count < 0 ? 0 : slot_count),
      protocol_(protocol),
      receiver_path_(hardware()->path()),
      slots_(static_cast<std::size_t>(slot_count_)),
      activity_(static_cast<std::size_t>(slot_count_), 0) {
  const int now = ++g_instances;
  BLOG(LogDebug, "VireonBus::VireonBus(this = %p). Number of instances now: %d", static_cast<void*>(this), now);
}

VireonBus::~VireonBus() {
  // The channel's threads must not reach the slot table while it goes.
  Subscriber<IHardwareDevice::Read>::leave_all();
  Subscriber<IHardwareDevice::Write>::leave_all();
  Subscriber<IReceiver::RegisterZeroOverwritten>::leave_all();
  for (const auto& device : slots_) {
    if (device) device->mark_removed();
  }
  const int now = --g_instances;
  BLOG(LogDebug, "VireonBus::~VireonBus(this = %p). Number of instances now: %d", static_cast<void*>(this), now);
}

int VireonBus::instances() { return g_instances; }

std::weak_ptr<VireonBus> VireonBus::weak_self() {
  std::shared_ptr<Device> self = weak_from_this().lock();
  return std::static_pointer_cast<VireonBus>(self);
}

// ---------------------------------------------------------------------------
// Lifecycle

bool VireonBus::shutdown() {
  const bool device_result = Device::shutdown();
  const bool cleared = clear_software_present();
  return device_result && cleared;
}

bool VireonBus::clear_software_present() {
  if (!software_present_set_) return true;
  bool result = false;
  try {
    result = short_register_bit_operation(kNotificationRegister, 0, 0, 0, 0, kSoftwarePresent, 0);
  } catch (...) {
    set_last_error(InternalError);
  }
  software_present_set_ = false;
  return result;
}

void VireonBus::uninitDevice() {
  std::vector<std::shared_ptr<VireonDevice>> gone;
  {
    std::lock_guard<std::mutex> guard(slots_lock_);
    unplugged_ = true;
    for (auto& device : slots_) {
      if (device) gone.push_back(std::move(device));
      device.reset();
    }
  }
  for (const auto& device : gone) device->mark_removed();
  Device::uninitDevice();
}

// ---------------------------------------------------------------------------
// Registers

bool VireonBus::short_register_bit_operation(Byte reg, Byte set0, Byte set1, Byte set2, Byte clear0, Byte clear1,
                                             Byte clear2) {
  BLOG(LogInfo, "VireonBus::short_register_bit_operation(%02x: set %02x %02x %02x clear %02x %02x %02x ) enter", reg,
       set0, set1, set2, clear0, clear1, clear2);
  std::vector<Byte> response;
  if (!sendSynchronousCommand(FRP10Command::read_short_request(reg), response, 0, {})) {
    BLOG(LogInfo, "VireonBus::short_register_bit_operation exit (false, error)");
    return false;
  }
  if (response.size() < frap::kShortReportSize) {
    BLOG(LogInfo, "VireonBus::short_register_bit_operation exit (false, CommandResponseTooShort)");
    set_last_error(CommandResponseTooShort);
    return false;
  }
  const Byte set[3] = {set0, set1, set2};
  const Byte clear[3] = {clear0, clear1, clear2};
  Byte value[3];
  bool changed = false;
  for (int i = 0; i < 3; ++i) {
    const Byte old = response[4 + static_cast<std::size_t>(i)];
    value[i] = static_cast<Byte>(set[i] | (old & static_cast<Byte>(~clear[i])));
    if (value[i] != old) changed = true;
  }
  if (!changed) {
    BLOG(LogInfo, "VireonBus::short_register_bit_operation exit (true, no change)");
    return true;
  }
  response.clear();
  if (!sendSynchronousCommand(FRP10Command::write_short_request(reg, value[0], value[1], value[2]), response, 0, {})) {
    BLOG(LogInfo, "VireonBus::short_register_bit_operation exit (false, error)");
    return false;
  }
  if (response.size() < frap::kShortReportSize) {
    BLOG(LogInfo, "VireonBus::short_register_bit_operation exit (false, CommandResponseTooShort)");
    set_last_error(CommandResponseTooShort);
    return false;
  }
  BLOG(LogInfo, "VireonBus::short_register_bit_operation exit (true, success)");
  return true;
}

bool VireonBus::enable_receiver_notifications() {
  if (notifications_enabled_) return true;
  enable_register_zero_monitoring();
  BLOG(LogInfo, "VireonBus::enable_receiver_notifications enter");
  if (!short_register_bit_operation(kNotificationRegister, 0, kWirelessNotifications, 0, 0, 0, 0)) {
    BLOG(LogInfo, "VireonBus::enable_receiver_notifications exit (false, error)");
    return false;
  }
  notifications_enabled_ = true;
  BLOG(LogInfo, "VireonBus::enable_receiver_notifications exit (true, success)");
  return true;
}

void VireonBus::enable_register_zero_monitoring() {
  if (zero_monitoring_) return;
  std::shared_ptr<VireonBus> self = weak_self().lock();
  if (!self || !Subscriber<IReceiver::RegisterZeroOverwritten>::subscribe(self, DeliveryRunLoop, "")) {
    BLOG(LogInfo, "VireonBus::VireonBus subscribe(IReceiver::RegisterZeroOverwritten) failed");
    return;
  }
  zero_monitoring_ = true;
}

void VireonBus::onRegisterZeroOverwritten() {
  bool ok = false;
  if (software_present_set_) {
    BLOG(LogInfo, "VireonBus::onRegisterZeroOverwritten() restoring software present and wireless notifications bits");
    ok = short_register_bit_operation(kNotificationRegister, 0, kWirelessNotifications | kSoftwarePresent, 0, 0, 0, 0);
  } else {
    BLOG(LogInfo,
         "VireonBus::onRegisterZeroOverwritten() no devices configured, so restoring only wireless notifications bit");
    ok = short_register_bit_operation(kNotificationRegister, 0, kWirelessNotifications, 0, 0, 0, 0);
  }
  if (!ok) BLOG(LogInfo, "VireonBus::onRegisterZeroOverwritten error setting register");
}

bool VireonBus::set_software_present() {
  if (software_present_set_) return true;
  enable_register_zero_monitoring();
  software_present_set_ = true;
  return short_register_bit_operation(kNotificationRegister, 0, kSoftwarePresent, 0, 0, 0, 0);
}

bool VireonBus::set_slot_configured(int slot) {
  if (slot < 0 || slot >= slot_count_) {
    BLOG(LogWarning, "VireonBus::set_slot_configured(%d) no such slot (receiver has %d)", slot, slot_count_);
    set_last_error(IndexOutOfRange);
    return false;
  }
  std::vector<Byte> response;
  if (!sendSynchronousCommand(FRP10Command::read_short_request(kConfiguredSlotsRegister), response, 0, {})) {
    return false;
  }
  if (response.size() < frap::kShortReportSize) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  const Byte bits = static_cast<Byte>(response[4] | (1u << slot));
  const Byte p1 = response[5];
  const Byte p2 = response[6];
  response.clear();
  const bool ok = sendSynchronousCommand(FRP10Command::write_short_request(kConfiguredSlotsRegister, bits, p1, p2),
                                         response, 0, {});
  if (ok && response.size() < frap::kShortReportSize) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  return ok;
}

bool VireonBus::pairing_register(Byte p0, Byte p1) {
  std::vector<Byte> response;
  if (!sendSynchronousCommand(FRP10Command::write_short_request(kPairingRegister, p0, p1, 0x00), response, 0, {})) {
    BLOG(LogInfo, "VireonBus::FRP_DEVICE_CONNECTION_AND_DISCONNECTION exit (false, error)");
    return false;
  }
  if (response.size() < frap::kShortReportSize) {
    BLOG(LogInfo, "VireonBus::FRP_DEVICE_CONNECTION_AND_DISCONNECTION exit (false, CommandResponseTooShort)");
    set_last_error(CommandResponseTooShort);
    return false;
  }
  return true;
}

bool VireonBus::open_lock() { return pairing_register(kOpenLock, 0x00); }

bool VireonBus::close_lock() { return pairing_register(kCloseLock, 0x00); }

bool VireonBus::unpair(int device) { return pairing_register(kUnpair, static_cast<Byte>(device)); }

bool VireonBus::read_activity() {
  std::vector<Byte> response;
  if (!sendSynchronousCommand(FRP10Command::read_long_request(kActivityRegister, 0x00), response, 0, {})) return false;
  std::vector<Byte> values;
  {
    std::lock_guard<std::mutex> guard(activity_lock_);
    if (response.size() >= kActivityAnswerMinimum) {
      const std::size_t n = std::min(kActivityValues, activity_.size());
      for (std::size_t i = 0; i < n; ++i) activity_[i] = response[4 + i];
    }
    values = activity_;
  }
  std::lock_guard<std::mutex> guard(slots_lock_);
  for (std::size_t slot = 0; slot < slots_.size() && slot < values.size(); ++slot) {
    if (slots_[slot]) slots_[slot]->set_activity(values[slot]);
  }
  return true;
}

std::vector<Byte> VireonBus::activity() {
  std::lock_guard<std::mutex> guard(activity_lock_);
  return activity_;
}

bool VireonBus::special_receiver() {
  const int product = pid();
  return product == 0xC52F || product == 0xC534;
}

std::vector<std::shared_ptr<IDevice>> VireonBus::paired_devices() {
  std::shared_ptr<IDeviceManager> m = manager().lock();
  std::shared_ptr<Device> self = weak_from_this().lock();
  if (!m || !self) return {};
  return m->devices_on_bus(self);
}

bool VireonBus::route_writes() {
  return Subscriber<IHardwareDevice::Write>::subscribe(hardware(), DeliveryImmediate, "VireonBus::Write");
}

// ---------------------------------------------------------------------------
// Enumeration

std::vector<std::shared_ptr<IHardwareDevice>> VireonBus::present_devices() {
  std::vector<std::shared_ptr<IHardwareDevice>> result;
  std::lock_guard<std::mutex> guard(slots_lock_);
  for (const auto& device : slots_) {
    if (device) result.push_back(device);
  }
  return result;
}

std::vector<std::shared_ptr<IHardwareDevice>> VireonBus::internal_devices() {
  BLOG(LogInfo, "VireonBus::devices enter");
  if (!session_active()) {
    BLOG(LogDebug,
         "VireonBus::devices() - device is inactive. Not enumerating devices (we will do that when we become active "
         "again).");
    return {};
  }
  if (!enable_receiver_notifications()) {
    BLOG(LogError, "VireonBus::devices exit (failed to enable receiver notifications)");
    return {};
  }
  for (int attempt = 0; attempt < kEnumerationAttempts; ++attempt) {
    int count = 0;
    int second = 0;
    if (!FRP10Command::read_receiver_connection_state(this, &count, &second)) {
      BLOG(LogError, "VireonBus::devices exit (failed to read receiver device count)");
      return {};
    }
    connected_count_ = count;
    {
      std::lock_guard<std::mutex> guard(arrivals_lock_);
      arrivals_.clear();
    }
    BLOG(LogInfo, "VireonBus::devices() - there are %d devices connected to the Vireon receiver.", count);
    BLOG(LogInfo, "===> Starting receiver enumeration...");
    enumerating_ = true;
    const bool requested = FRP10Command::set_receiver_connection_state(this);
    enumerating_ = false;
    if (!requested) {
      BLOG(LogError, "VireonBus::devices exit (failed fake device arrival request)");
      return {};
    }
    BLOG(LogInfo, "===> ...receiver enumeration complete.");
    int seen = 0;
    {
      std::lock_guard<std::mutex> guard(arrivals_lock_);
      seen = static_cast<int>(arrivals_.size());
    }
    if (seen == count) break;
    BLOG(LogWarning,
         "VireonBus::devices() - %d devices reported by receiver but only %d arrival reports received. Retrying.",
         count, seen);
    if (std::shared_ptr<IDeviceManager> m = manager().lock()) {
      set_last_error(DeviceCountMismatch, 0, "Vireon device arrival unique count mismatch");
      m->report_unreported_error("VireonBus");
    }
    if (attempt == 0) {
      notifications_enabled_ = false;
      (void)enable_receiver_notifications();
    }
  }
  std::vector<std::shared_ptr<IHardwareDevice>> result = present_devices();
  if (result.empty()) clear_last_error();
  BLOG(LogInfo, "VireonBus::devices exit (success, returning %d devices)", static_cast<int>(result.size()));
  return result;
}

// ---------------------------------------------------------------------------
// Slot table

std::shared_ptr<VireonDevice> VireonBus::device_in_slot(int slot) {
  std::lock_guard<std::mutex> guard(slots_lock_);
  if (slot < 0 || slot >= slot_count_) return nullptr;
  return slots_[static_cast<std::size_t>(slot)];
}

void VireonBus::raise_plug(const std::shared_ptr<IHardwareDevice>& device) {
  Producer<IHardwareBus::PlugUnplug>::produce([device](IHardwareBus::PlugUnplug* s) { s->onPlug(device); },
                                              "VireonBus::PlugUnplug::onPlug");
}

void VireonBus::raise_unplug(const std::shared_ptr<IHardwareDevice>& device) {
  Producer<IHardwareBus::PlugUnplug>::produce([device](IHardwareBus::PlugUnplug* s) { s->onUnplug(device); },
                                              "VireonBus::PlugUnplug::onUnplug");
}

void VireonBus::perform_arrival(int slot, int qid, bool connected, bool fake_device_arrival) {
  BLOG(LogInfo, "VireonBus::perform_arrival(qid=%0x, connected=%d, fake_device_arrival=%d)", static_cast<unsigned>(qid),
       connected, fake_device_arrival);
  if (slot < 0 || slot >= slot_count_) return;
  std::shared_ptr<VireonDevice> existing = device_in_slot(slot);
  if (existing && existing->pid() != qid) {
    BLOG(LogInfo, "  going to call perform_disconnect()");
    perform_disconnect(slot);
    BLOG(LogInfo, "  going to call perform_removal()");
    perform_removal(slot);
  }
  std::shared_ptr<VireonDevice> created;
  {
    std::lock_guard<std::mutex> guard(slots_lock_);
    // A report read while the receiver was being unplugged makes no device:
    // every device made before the unplug was marked removed by it.
    if (unplugged_) return;
    auto& entry = slots_[static_cast<std::size_t>(slot)];
    if (!entry) {
      entry = std::make_shared<VireonDevice>(weak_self(), receiver_path_, slot, qid, connected);
      created = entry;
    }
  }
  if (connected) {
    BLOG(LogInfo, "  going to call perform_connect()");
    perform_connect(slot);
  } else {
    BLOG(LogInfo, "  going to call perform_disconnect()");
    perform_disconnect(slot);
  }
  if (fake_device_arrival) {
    int seen = 0;
    {
      std::lock_guard<std::mutex> guard(arrivals_lock_);
      ++arrivals_[slot];
      seen = static_cast<int>(arrivals_.size());
    }
    BLOG(LogInfo, "   -- arrival count so far: %d", seen);
  }
  // Devices found by an enumeration are returned by it instead.
  if (created && !fake_device_arrival) raise_plug(created);
}

void VireonBus::perform_connect(int slot) { perform_link_change(slot, true); }

void VireonBus::perform_disconnect(int slot) { perform_link_change(slot, false); }

void VireonBus::perform_link_change(int slot, bool connected) {
  const char* name = connected ? "perform_connect" : "perform_disconnect";
  std::shared_ptr<VireonDevice> device = device_in_slot(slot);
  if (!device) {
    BLOG(LogDebug, "VireonBus::%s(index = %d) : no device at this index!", name, slot);
    return;
  }
  BLOG(LogInfo, "VireonBus::%s(index = %d)", name, slot);
  if (connected) {
    device->process_connect();
  } else {
    device->process_disconnect();
  }
}

void VireonBus::perform_removal(int slot) {
  if (slot < 0 || slot >= slot_count_) return;
  // The manager finds the removed device by its path; a stand-in carries it.
  auto stand_in = std::make_shared<VireonDevice>(weak_self(), receiver_path_, slot, 0, false);
  raise_unplug(stand_in);
  std::shared_ptr<VireonDevice> removed;
  {
    std::lock_guard<std::mutex> guard(slots_lock_);
    removed = std::move(slots_[static_cast<std::size_t>(slot)]);
    slots_[static_cast<std::size_t>(slot)].reset();
  }
  // A command on its way to the unpaired device must not wait for an answer
  // that cannot come.
  if (removed) removed->mark_removed();
}

// ---------------------------------------------------------------------------
// Read and write paths (receiver channel's threads)

void VireonBus::onRead(std::vector<Byte> report, bool routed, unsigned int system_error, unsigned int byte_count) {
  route_report(report, system_error, byte_count);
  Device::onRead(std::move(report), routed, system_error, byte_count);
}

void VireonBus::route_report(const std::vector<Byte>& r, unsigned int system_error, unsigned int byte_count) {
  if (r.size() < frap::kShortReportSize) {
    BLOG(LogWarning, "VireonBus::onRead() report of %d bytes is too short to route", static_cast<int>(r.size()));
    return;
  }
  const int index = r[1];
  const bool in_range = index >= 1 && index <= slot_count_;
  const int slot = index - 1;
  const bool notification = r[2] == kDeviceConnection || r[2] == kDeviceUnpaired;
  if (notification && index != frap::kDeviceIndexSelf && !in_range) {
    BLOG(LogWarning, "VireonBus::onRead() notification %02x for device index %d, outside 1..%d: ignored", r[2], index,
         slot_count_);
  }

  if (r[2] == kDeviceConnection && r[3] == protocol_ && in_range) {
    const int qid = r[5] + 256 * r[6];
    const bool link = (r[4] & kLinkNotEstablished) == 0;
    BLOG(LogInfo, "VireonBus::onRead() connect(index = %d, qid=0x%04x, connected=%d)", slot, static_cast<unsigned>(qid),
         link);
    perform_arrival(slot, qid, link, enumerating_);
  }
  if (r[2] == kDeviceUnpaired && r[3] == kUnpairedKind && in_range) {
    BLOG(LogInfo, "VireonBus::onRead() disconnect(index = %d)", slot);
    perform_removal(slot);
  }
  if (r[2] == kLockingChange) {
    std::shared_ptr<IDevice> self = weak_from_this().lock();
    const auto state = static_cast<IReceiver::State>(r[3]);
    const auto error = static_cast<IReceiver::ErrorType>(r[4]);
    Producer<IReceiver::LockingChange>::produce(
        [self, state, error](IReceiver::LockingChange* s) { s->onLockingChange(self, state, error); },
        "IReceiver::LockingChange::onLockingChange");
  }
  if (r[1] == frap::kDeviceIndexSelf && r[2] == FRP10Command::kWriteShortRegister && r[3] == kNotificationRegister) {
    BLOG(LogInfo,
         "VireonBus::onRead() detected write to receiver register 0, other software might have cleared software "
         "present and wireless notification bits");
    Producer<IReceiver::RegisterZeroOverwritten>::produce(
        [](IReceiver::RegisterZeroOverwritten* s) { s->onRegisterZeroOverwritten(); },
        "IReceiver::RegisterZeroOverwritten::onRegisterZeroOverwritten");
  }
  if (r[1] == frap::kDeviceIndexSelf && r[2] >= FRP10Command::kWriteShortRegister &&
      r[2] <= FRP10Command::kReadLongRegister && !known_register(r[3])) {
    BLOG(LogWarning, "VireonBus::onRead() answer for register %02x, which this library does not use", r[3]);
  }
  if (r[1] != frap::kDeviceIndexSelf && !notification) {
    if (!in_range) {
      if (index != 0) {
        BLOG(LogWarning, "VireonBus::onRead() report for device index %d, outside 1..%d: ignored", index, slot_count_);
      }
      return;
    }
    std::shared_ptr<VireonDevice> device = device_in_slot(slot);
    if (!device) {
      BLOG(LogInfo, "VireonBus::onRead() report for device index %d, whose slot is empty: ignored", index);
      return;
    }
    device->deliver_read(r, system_error, byte_count);
    if (!device->connected()) {
      if (r[2] == frap::kFrap10ErrorSubId) {
        BLOG(LogInfo,
             "Got error response from unconnected device... maybe some other SW tried to talk to it and failed");
      } else {
        BLOG(LogWarning,
             "VireonBus::onRead() device index: %d pid: 0x%x was in disconnected state but is sending reports. Firing "
             "connected event.",
             index, static_cast<unsigned>(device->pid()));
        perform_connect(slot);
      }
    }
  }
}

void VireonBus::onWrite(std::vector<Byte> report, ErrorCode result, unsigned int system_error) {
  if (report.size() >= frap::kShortReportSize && report[1] != frap::kDeviceIndexSelf && report[1] != 0 &&
      report[1] <= slot_count_) {
    if (std::shared_ptr<VireonDevice> device = device_in_slot(report[1] - 1)) {
      device->deliver_write(report, result, system_error);
    }
  }
  Device::onWrite(std::move(report), result, system_error);
}

// ---------------------------------------------------------------------------
// Session and subscriptions (run-loop thread)

void VireonBus::onActiveChanged(bool active) {
  BLOG(LogDebug, "VireonBus::onActiveChanged(active = %d)", active);
  const bool was_active = session_active();
  Device::onActiveChanged(active);
  if (was_active || !session_active()) return;

  BLOG(LogDebug, "  -- session has become active. Enumerating receiver again.");
  std::vector<std::shared_ptr<VireonDevice>> saved;
  {
    std::lock_guard<std::mutex> guard(slots_lock_);
    saved = slots_;
  }
  const std::vector<std::shared_ptr<IHardwareDevice>> before = present_devices();
  {
    std::lock_guard<std::mutex> guard(slots_lock_);
    for (auto& device : slots_) device.reset();
  }
  const std::vector<std::shared_ptr<IHardwareDevice>> after = internal_devices();
  BLOG(LogDebug, "  -- before session active: %d devices paired. After session active: %d devices paired.",
       static_cast<int>(before.size()), static_cast<int>(after.size()));
  bool same = before.size() == after.size();
  for (std::size_t i = 0; same && i < before.size(); ++i) same = before[i]->pid() == after[i]->pid();
  if (same) {
    BLOG(LogDebug, "  -- No devices have changed before session became active.");
    std::lock_guard<std::mutex> guard(slots_lock_);
    slots_ = saved;
    return;
  }
  BLOG(LogDebug, "  -- When session became active, we had no devices enumerated on the receiver,");
  BLOG(LogDebug, "  -- or the number/order of devices has changed (user in other session invoked pairing utility).");
  BLOG(LogDebug, "  -- We have to produce onPlug() events for all devices now.");
  for (const auto& device : before) raise_unplug(device);
  for (const auto& device : after) raise_plug(device);
}

bool VireonBus::on_subscribe(Subscriber<IHardwareBus::PlugUnplug>* /*s*/) {
  BLOG(LogDebug, "VireonBus::on_subscribe(this=%p)", static_cast<void*>(this));
  if (session_active()) return enable_receiver_notifications();
  BLOG(LogDebug, "-- device is inactive, not enabling receiver_notifications yet");
  return true;
}

void VireonBus::on_unsubscribe(Subscriber<IHardwareBus::PlugUnplug>* /*s*/) {
  BLOG(LogDebug, "VireonBus::on_unsubscribe(this=%p)", static_cast<void*>(this));
}

}  // namespace rodiz
