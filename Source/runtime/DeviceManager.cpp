#include "runtime/DeviceManager.h"

#include <chrono>
#include <cstdlib>

#include "device/Device.h"
#include "device/LastError.h"
#include "log/xLog.h"
#include "runtime/ConfigItem.h"
#include "runtime/Timer.h"
#include "transport/CombinerBus.h"
#include "transport/HidBusFactory.h"
#include "transport/IHardwareSecondaryBus.h"
#include "transport/PairingBus.h"
#include "transport/TransportKind.h"
#include "transport/VireonBus.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "DeviceManager";

#define MLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

constexpr bool kConfigDefaults[DeviceManager::kConfigItems] = {false, false, true, false, false,
                                                               false, false, true, false};

struct KnownReceiver {
  int pid;
  int slots;
  int protocol;
};

constexpr KnownReceiver kKnownReceivers[] = {
    {0xC52B, 6, 4},  {0xC52F, 2, 4},  {0xC534, 2, 10}, {0xC539, 1, 12},
    {0xC53A, 7, 12}, {0xC53B, 1, 12}, {0xC53D, 1, 13}, {0xC53E, 1, 4},
};

const KnownReceiver* known_receiver(int pid) {
  for (const KnownReceiver& receiver : kKnownReceivers) {
    if (receiver.pid == pid) return &receiver;
  }
  return nullptr;
}

}  // namespace

DeviceManager::DeviceManager() {
  xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, "-api- %p", static_cast<void*>(this));
  // Wall-clock time in microseconds, truncated to int.
  const auto now_us =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  const int seed = static_cast<int>(now_us);
  MLOG(LogInfo, "using seed %d for random", seed);
  std::srand(static_cast<unsigned>(seed));
  for (unsigned item = 0; item < kConfigItems; ++item) config_[item] = kConfigDefaults[item];
  timer_factory_ = [](int id) { return std::make_shared<Timer>(id); };
}

DeviceManager::~DeviceManager() {
  xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, "-api- %p", static_cast<void*>(this));
  if (destructing_) {
    MLOG(LogError, "DeviceManager destructor called recursively");
  } else {
    destructing_ = true;
    for (auto& [path, entry] : deviceList_) {
      if (entry.device) entry.device->shutdown();
    }
    const auto top = top_busses_;
    for (const auto& bus : top) removeBus(bus);
    MLOG(LogDebug, "DeviceManager::~DeviceManager() ... end.");
  }
  // Stop listening before members go: the retry timer joins its thread.
  Subscriber<ITimer::TimerEvent>::leave_all();
  Subscriber<IHardwareBus::PlugUnplug>::leave_all();
  Subscriber<IDeviceManager::ActiveChanged>::leave_all();
  retry_timer_.reset();
}

// ---------------------------------------------------------------------------
// Run-loop queue

void DeviceManager::raise_run_loop_event() {
  Producer<IDeviceManager::RunLoopEvent>::produce([](IDeviceManager::RunLoopEvent* s) { s->onRunLoopEvent(); },
                                                  "DeviceManager::RunLoopEvent::onRunLoopEvent");
}

void DeviceManager::enqueue_event_for_runloop(RunLoopEntry entry) {
  if (destructing_) return;
  {
    std::lock_guard<std::mutex> guard(queue_lock_);
    queue_.push_back(std::move(entry));
    ++triggers_;
  }
  raise_run_loop_event();
}

void DeviceManager::call_event_from_runloop() {
  RunLoopEntry entry;
  bool notify = false;
  {
    std::lock_guard<std::mutex> guard(queue_lock_);
    --triggers_;
    MLOG(LogVerbose, "DeviceManager::call_event_from_runloop now %d triggers are in-flight", triggers_);
    if (queue_.empty()) return;
    entry = std::move(queue_.front());
    queue_.pop_front();
    // Never leave an entry without a notification in flight.
    if (!queue_.empty()) {
      ++triggers_;
      notify = true;
    }
  }
  if (notify) raise_run_loop_event();
  if (entry.call) entry.call();
}

void DeviceManager::remove_runloop_events(const void* subscriber, const void* producer) {
  MLOG(LogInfo, "DeviceManager::remove_runloop_events");
  // Discarded entries are destroyed after queue_lock is released: their
  // captures may hold the last reference to an object whose destructor
  // reaches this queue again.
  std::deque<RunLoopEntry> discarded;
  {
    std::lock_guard<std::mutex> guard(queue_lock_);
    if (subscriber == nullptr && producer == nullptr) {
      MLOG(LogInfo, "DeviceManager::remove_runloop_events discarding all: %d events", static_cast<int>(queue_.size()));
      for (const RunLoopEntry& entry : queue_) {
        MLOG(LogInfo, "DeviceManager::remove_runloop_events discarding all: %s", entry.name.c_str());
      }
      discarded.swap(queue_);
    } else {
      for (auto it = queue_.begin(); it != queue_.end();) {
        if (it->subscriber == subscriber && it->producer == producer) {
          MLOG(LogInfo, "DeviceManager::remove_runloop_events discarding %s", it->name.c_str());
          discarded.push_back(std::move(*it));
          it = queue_.erase(it);
        } else {
          ++it;
        }
      }
    }
  }
}

void DeviceManager::remove_runloop_events_of(const void* subscriber, const void* producer) {
  if ((subscriber == nullptr) == (producer == nullptr)) return;
  std::deque<RunLoopEntry> discarded;
  {
    std::lock_guard<std::mutex> guard(queue_lock_);
    for (auto it = queue_.begin(); it != queue_.end();) {
      if ((subscriber != nullptr && it->subscriber == subscriber) ||
          (producer != nullptr && it->producer == producer)) {
        MLOG(LogInfo, "DeviceManager::remove_runloop_events discarding %s", it->name.c_str());
        discarded.push_back(std::move(*it));
        it = queue_.erase(it);
      } else {
        ++it;
      }
    }
  }
}

int DeviceManager::triggers() {
  std::lock_guard<std::mutex> guard(queue_lock_);
  return triggers_;
}

std::size_t DeviceManager::queued_events() {
  std::lock_guard<std::mutex> guard(queue_lock_);
  return queue_.size();
}

void DeviceManager::on_subscription_added(Subscriber<IDeviceManager::RunLoopEvent>* /*s*/, bool immediate) {
  MLOG(LogInfo, "-api- IDeviceManager::RunLoopEvent, delivery=%d", immediate ? 1 : 0);
  int n = 0;
  {
    std::lock_guard<std::mutex> guard(queue_lock_);
    n = static_cast<int>(queue_.size());
  }
  if (n > 0) {
    MLOG(LogWarning, "Subscribed to run loop after %d events are already in the queue... delivering events now", n);
    for (int i = 0; i < n; ++i) raise_run_loop_event();
    MLOG(LogWarning, "All pre-existing events have been delivered");
  }
}

// ---------------------------------------------------------------------------
// Buses

bool DeviceManager::on_subscribe(Subscriber<IDeviceManager::ArrivalRemoval>* /*s*/) {
  MLOG(LogInfo, "-api- ArrivalRemoval");
  return lazyInitializeHardwareBusses();
}

bool DeviceManager::lazyInitializeHardwareBusses() {
  if (hardware_initialised_) return true;
  retry_timer_ = timer_factory_(addbusRetryTimerId);
  if (!Subscriber<ITimer::TimerEvent>::subscribe(retry_timer_, DeliveryRunLoop, "")) {
    MLOG(LogDebug, "DeviceManager::lazyInit failed at subscribe");
    return false;
  }
  MLOG(LogDebug, "DeviceManager::lazyInit connecting to hardware busses");
  if (!connectToHardwareBusses()) {
    MLOG(LogDebug, "DeviceManager::lazyInit failed at connect");
    return false;
  }
  MLOG(LogDebug, "DeviceManager::lazyInit complete");
  hardware_initialised_ = true;
  return true;
}

bool DeviceManager::connectToHardwareBusses() {
  MLOG(LogInfo, "connectToHardwareBusses enter");
  std::shared_ptr<IHardwareBus> bus = HidBusFactory::create(weak_from_this());
  if (bus && bus->wants_combiner()) {
    MLOG(LogInfo, "inserting combiner filter");
    bus = std::make_shared<CombinerBus>(weak_from_this(), bus);
  }
  if (bus && !bus->bluetooth_busses().empty()) {
    MLOG(LogInfo, "inserting pairing filter");
    bus = std::make_shared<PairingBus>(weak_from_this(), bus);
  }
  if (!bus || !addBus(bus)) {
    MLOG(LogInfo, "connectToHardwareBusses exit, false");
    return false;
  }
  top_busses_.insert(bus);
  for (const std::shared_ptr<IHardwareSecondaryBus>& secondary : bus->secondary_busses()) {
    MLOG(LogInfo, "DeviceManager adding a secondary bus");
    if (!addBus(secondary)) {
      MLOG(LogInfo, "connectToHardwareBusses exit, false");
      return false;
    }
    top_busses_.insert(secondary);
  }
  MLOG(LogInfo, "connectToHardwareBusses exit, true");
  return true;
}

bool DeviceManager::addBus(std::shared_ptr<IHardwareBus> bus) {
  MLOG(LogInfo, "DeviceManager::addBus enter");
  if (!Subscriber<IHardwareBus::PlugUnplug>::subscribe(bus, DeliveryRunLoop, "")) {
    MLOG(LogError, "DeviceManager::addBus exit (false, failed to subscribe to PlugUnplug, err=%d)", last_error_code());
    return false;
  }
  clear_last_error();
  std::vector<std::shared_ptr<IHardwareDevice>> found = bus->devices();
  if (found.empty() && last_error_code() != NoError) {
    MLOG(LogError, "DeviceManager::addBus failed to enumerate devices!");
    MLOG(LogInfo, "addBus exit (false, error enumerating devices)");
    return false;
  }
  MLOG(LogDebug, "DeviceManager::addBus saving bus");
  busses_.insert(bus);
  for (const auto& hwdev : found) {
    MLOG(LogDebug, "DeviceManager::addBus calling onPlug(hwdev)");
    onPlug(hwdev);
  }
  bus->persistent_data_directory(persistent_directory_);
  MLOG(LogDebug, "DeviceManager::addBus exit (true, success)");
  return true;
}

void DeviceManager::removeBus(std::shared_ptr<IHardwareBus> bus) {
  MLOG(LogDebug, "DeviceManager::removeBus enter");
  std::vector<std::shared_ptr<IHardwareDevice>> children;
  for (const auto& [path, entry] : deviceList_) {
    if (entry.hwdev->owning_bus().lock() == bus) children.push_back(entry.hwdev);
  }
  for (const auto& child : children) {
    MLOG(LogDebug, "DeviceManager::removeBus unplugging a child");
    onUnplug(child);
  }
  busses_.erase(bus);
  retry_busses_.erase(bus);
  MLOG(LogDebug, "DeviceManager::removeBus exit");
}

bool DeviceManager::accepted(const std::shared_ptr<IHardwareDevice>& hwdev) {
  auto item = [this](ConfigItem which) { return config_[item_number(which)]; };
  switch (transport_kind(hwdev->bus_type())) {
    case TransportKind::Hid: {
      const int pid = hwdev->pid();
      if (pid >= 0xC500 && pid <= 0xC5FF && item(ConfigItem::AcceptReceivers)) return true;
      return item(ConfigItem::AcceptDirectDevices);
    }
    case TransportKind::Receiver:
      return item(ConfigItem::AcceptReceivers);
    case TransportKind::BluetoothClassic:
      return item(ConfigItem::BluetoothActive);
    case TransportKind::BluetoothLowEnergy:
      return item(ConfigItem::BleActive);
    default:
      return true;
  }
}

void DeviceManager::onPlug(std::shared_ptr<IHardwareDevice> hwdev) {
  if (!hwdev) return;
  const int pid = hwdev->pid();
  MLOG(LogDebug, "DeviceManager::onPlug(pid=0x%x) begin...", static_cast<unsigned>(pid));
  if (!hwdev->open()) {
    MLOG(LogInfo, "DeviceManager::onPlug ignoring device it could not open");
    MLOG(LogDebug, "DeviceManager::onPlug(pid=0x%x) end...", static_cast<unsigned>(pid));
    return;
  }
  if (!accepted(hwdev)) {
    MLOG(LogInfo, "DeviceManager::onPlug ignoring suppressed device");
    return;
  }
  const std::string path = hwdev->path();
  auto existing = deviceList_.find(path);
  if (existing != deviceList_.end()) {
    MLOG(LogDebug, "  -- there is already a device (existing count = %d) for hwdev: %p", 1,
         static_cast<void*>(hwdev.get()));
    dumpDevices();
  } else {
    std::shared_ptr<IDevice> device = makeDevice(hwdev, 0, pid);
    if (device) {
      MLOG(LogDebug, "   -- adding device pid=0x%x to deviceList", static_cast<unsigned>(pid));
      deviceList_[path] = Entry{hwdev, device};
      MLOG(LogDebug, "   -- deviceList[%p] = %p", static_cast<void*>(hwdev.get()), static_cast<void*>(device.get()));
      dumpDevices();
      xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, "-api- pid=0x%x producing onDeviceArrival",
                static_cast<unsigned>(pid));
      raise_arrival(device);
      if (std::shared_ptr<VireonBus> receiver = std::dynamic_pointer_cast<VireonBus>(device)) {
        MLOG(LogInfo, "DeviceManager::onPlug devices is a receiver, so adding receiver bus");
        if (!addBus(receiver)) retry_bus_later(receiver);
      }
    }
  }
  MLOG(LogDebug, "DeviceManager::onPlug(pid=0x%x) ...end", static_cast<unsigned>(pid));
}

void DeviceManager::onUnplug(std::shared_ptr<IHardwareDevice> hwdev) {
  if (!hwdev) return;
  const int pid = hwdev->pid();
  MLOG(LogDebug, "DeviceManager::onUnplug(pid=0x%x) begin...", static_cast<unsigned>(pid));
  auto it = deviceList_.find(hwdev->path());
  if (it != deviceList_.end()) {
    std::shared_ptr<IDevice> device = it->second.device;
    if (device) {
      if (std::shared_ptr<VireonBus> receiver = std::dynamic_pointer_cast<VireonBus>(device)) {
        MLOG(LogDebug, "DeviceManager::onUnplug receiver removing bus");
        removeBus(receiver);
        // removeBus may have changed the list.
        it = deviceList_.find(hwdev->path());
      }
      device->uninitDevice();
      if (!destructing_) {
        xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, "-api- pid=0x%x producing onDeviceRemoval",
                  static_cast<unsigned>(pid));
        raise_removal(device);
      }
    }
    MLOG(LogDebug, "   -- removing device pid=0x%x from deviceList", static_cast<unsigned>(pid));
    if (it != deviceList_.end()) deviceList_.erase(it);
    dumpDevices();
  }
  MLOG(LogDebug, "DeviceManager::onUnplug(pid=0x%x) ...end", static_cast<unsigned>(pid));
}

void DeviceManager::onPowerChange(bool standBy) {
  MLOG(LogInfo, "DeviceManager::onPowerChange(standBy=%d)", standBy);
  if (standBy) return;
  // Receiver buses re-announce what they find; devices check their settings.
  const auto busses = busses_;
  for (const auto& bus : busses) {
    if (std::dynamic_pointer_cast<VireonBus>(bus)) (void)bus->devices();
  }
  for (auto& [path, entry] : deviceList_) {
    if (entry.device) entry.device->confirm_configuration();
  }
}

void DeviceManager::retry_bus_later(std::shared_ptr<IHardwareBus> bus) {
  MLOG(LogInfo, "DeviceManager::onPlug addBus of receiver failed, will retry");
  retry_busses_.insert(std::move(bus));
  const int before = retry_count_;
  retry_count_ = 1;
  if (before == 0 && retry_timer_) retry_timer_->start(2000);
}

void DeviceManager::onTimerEvent(int id) {
  if (id != addbusRetryTimerId) return;
  MLOG(LogInfo, "DeviceManager::onTimerEvent(addbusRetryTimerId)");
  if (retry_busses_.empty()) {
    retry_count_ = 0;
    return;
  }
  int failures = 0;
  const auto pending = retry_busses_;
  for (const auto& bus : pending) {
    MLOG(LogInfo, "DeviceManager::onTimerEvent(addbusRetryTimerId) attempting addbus");
    if (addBus(bus)) {
      MLOG(LogInfo, "DeviceManager::onTimerEvent(addbusRetryTimerId) addbus successful");
      retry_busses_.erase(bus);
    } else {
      MLOG(LogInfo, "DeviceManager::onTimerEvent(addbusRetryTimerId) addBus returned error %d", last_error_code());
      ++failures;
    }
  }
  if (failures == 0) {
    retry_count_ = 0;
    return;
  }
  MLOG(LogInfo, "DeviceManager::onTimerEvent(addbusRetryTimerId) retry %d failed", retry_count_);
  ++retry_count_;
  if (retry_count_ > 9) {
    static const char kExhausted[] = "Vireon device enumeration failed after max retry attempts";
    set_last_error(EnumerationRetriesExhausted, 0, kExhausted);
    report_unreported_error("VireonBus");
    retry_count_ = 0;
    retry_busses_.clear();
    set_last_error(EnumerationRetriesExhausted, 0, kExhausted);
    report_unreported_error("DeviceManager::addBus retry failed all attempts");
    return;
  }
  MLOG(LogInfo, "DeviceManager::onTimerEvent(addbusRetryTimerId) starting retry timer");
  retry_timer_->start(2000 << retry_count_);
}

std::shared_ptr<IDevice> DeviceManager::makeDevice(std::shared_ptr<IHardwareDevice> hwdev, int force_plain, int pid) {
  MLOG(LogInfo, "DeviceManager::makeDevice enter");
  const KnownReceiver* receiver = known_receiver(pid);
  if (config_[item_number(ConfigItem::AcceptReceivers)] && force_plain == 0 && receiver != nullptr) {
    MLOG(LogInfo, "DeviceManager::makeDevice making a vireon bus");
    auto bus = std::make_shared<VireonBus>(weak_from_this(), hwdev, receiver->protocol, receiver->slots);
    if (device_timeout_ms_ > 0) bus->set_timeout_ms(device_timeout_ms_);
    MLOG(LogInfo, "DeviceManager::makeDevice initializing vireon bus");
    bus->initDevice(shared_from_this());
    MLOG(LogInfo, "DeviceManager::makeDevice exit, made bus");
    return bus;
  }
  MLOG(LogInfo, "DeviceManager::makeDevice making a device");
  auto device = std::make_shared<Device>(weak_from_this(), hwdev);
  if (device_timeout_ms_ > 0) device->set_timeout_ms(device_timeout_ms_);
  MLOG(LogInfo, "DeviceManager::makeDevice initializing a device");
  device->initDevice(shared_from_this());
  device->persistent_data_directory(persistent_directory_);
  MLOG(LogInfo, "DeviceManager::makeDevice exit, made device");
  return device;
}

// ---------------------------------------------------------------------------
// Session, configuration and queries

void DeviceManager::swid(int value) { swid_ = value & 0x0F; }

int DeviceManager::swid() {
  if (swid_ == 0) swid_ = std::rand() % 5 + 10;
  return swid_;
}

void DeviceManager::set_active(bool active) {
  xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, "-api- %d", active);
  if (!active_subscribed_) {
    active_subscribed_ = true;
    if (!Subscriber<IDeviceManager::ActiveChanged>::subscribe(shared_from_this(), DeliveryRunLoop, "")) {
      report_unreported_error("DeviceManager::set_active subscribe(IDeviceManager::ActiveChanged)");
    }
  }
  const bool old = active_;
  active_ = active;
  if (old != active || active) raise_active_changed(active);
}

void DeviceManager::onActiveChanged(bool active) {
  MLOG(LogDebug, "DeviceManager::onActiveChanged(active = %d)", active);
  if (!active) return;
  const auto busses = busses_;
  for (const auto& bus : busses) bus->devices();
}

void DeviceManager::report_unreported_error(const char* context) {
  const LastError error = last_error();
  if (error.code == NoError || destructing_) return;
  xLogWrite(kTag, LogWarning, __PRETTY_FUNCTION__, "-api- Reporting unreported error: %s, err=%d, str=%d, sys=0x%x",
            context, error.code, static_cast<int>(reinterpret_cast<std::intptr_t>(error.text)), error.system);
  const std::string context_text = context ? context : "";
  const ErrorCode code = error.code;
  const char* message = error.text;
  const unsigned long system = error.system;
  Producer<IDeviceManager::UnreportedError>::produce(
      [context_text, code, message, system](IDeviceManager::UnreportedError* s) {
        s->onUnreportedError(context_text.c_str(), code, message, system);
      },
      "DeviceManager::UnreportedError::onUnreportedError");
}

std::vector<std::shared_ptr<IDevice>> DeviceManager::devices() {
  xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, "-api- enter");
  if (!lazyInitializeHardwareBusses()) {
    MLOG(LogInfo, "DeviceManager::devices() exit (false, lazyInit failed)");
    return {};
  }
  for (const auto& bus : top_busses_) bus->refresh();
  std::vector<std::shared_ptr<IDevice>> result;
  for (const auto& [path, entry] : deviceList_) result.push_back(entry.device);
  if (result.empty()) clear_last_error();
  xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, "-api- exit, returned %d devices", static_cast<int>(result.size()));
  return result;
}

std::vector<std::shared_ptr<IDevice>> DeviceManager::devices_on_bus(std::shared_ptr<IDevice> receiver) {
  std::shared_ptr<IHardwareBus> bus = std::dynamic_pointer_cast<IHardwareBus>(receiver);
  if (!bus) return {};
  std::vector<std::shared_ptr<IDevice>> result;
  for (const auto& [path, entry] : deviceList_) {
    if (entry.hwdev->owning_bus().lock() == bus) result.push_back(entry.device);
  }
  return result;
}

bool DeviceManager::config_default(unsigned item, bool* value) {
  MLOG(LogInfo, "DeviceManager::config_default %d", item);
  if (item >= kConfigItems) {
    MLOG(LogInfo, "DeviceManager::config_default exit, invalid config item %d", item);
    set_last_error(InvalidConfigItem);
    return false;
  }
  if (value) *value = kConfigDefaults[item];
  return true;
}

bool DeviceManager::config_get(unsigned item, bool* value) {
  MLOG(LogInfo, "DeviceManager::config_get %d", item);
  if (item >= kConfigItems) {
    MLOG(LogInfo, "DeviceManager::config_get exit, invalid config item %d", item);
    set_last_error(InvalidConfigItem);
    return false;
  }
  if (value) *value = config_[item];
  return true;
}

bool DeviceManager::config_set(unsigned item, bool value) {
  xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, "-api- %d = %d", item, value);
  if (item >= kConfigItems) {
    MLOG(LogInfo, "DeviceManager::config_set exit, invalid config item %d = %d", item, value);
    set_last_error(InvalidConfigItem);
    return false;
  }
  if (config_[item] != value) {
    config_[item] = value;
    if (hardware_initialised_) {
      MLOG(LogInfo, "DeviceManager::config_set removing busses");
      const auto top = top_busses_;
      for (const auto& bus : top) removeBus(bus);
      top_busses_.clear();
      MLOG(LogInfo, "DeviceManager::config_set creating busses");
      connectToHardwareBusses();
    }
  }
  MLOG(LogInfo, "DeviceManager::config_set exit, %d = %d", item, value);
  return true;
}

void DeviceManager::persistent_data_directory(std::string directory) {
  if (!directory.empty() && directory.back() != '\\' && directory.back() != '/') directory += "/";
  xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, "-api- persistent_data_directory %s", directory.c_str());
  persistent_directory_ = directory;
  for (auto& [path, entry] : deviceList_) {
    if (auto device = std::dynamic_pointer_cast<Device>(entry.device)) {
      xLogWrite("Device", LogInfo, __PRETTY_FUNCTION__, "Device::persistent_data_directory(%s)", directory.c_str());
      if (!directory.empty()) device->persistent_data_directory(directory);
    }
  }
  for (const auto& bus : busses_) bus->persistent_data_directory(directory);
}

void DeviceManager::dumpDevices() {
  MLOG(LogDebug, "---- DeviceManager::dumpDevices() begin... ----");
  for (const auto& [path, entry] : deviceList_) {
    if (entry.device) MLOG(LogDebug, "  -- device with pid: 0x%x", static_cast<unsigned>(entry.device->pid()));
  }
  MLOG(LogDebug, "---- DeviceManager::dumpDevices() ...end ----");
}

void DeviceManager::raise_arrival(const std::shared_ptr<IDevice>& device) {
  Producer<IDeviceManager::ArrivalRemoval>::produce(
      [device](IDeviceManager::ArrivalRemoval* s) { s->onDeviceArrival(device); },
      "DeviceManager::ArrivalRemoval::onDeviceArrival");
}

void DeviceManager::raise_removal(const std::shared_ptr<IDevice>& device) {
  Producer<IDeviceManager::ArrivalRemoval>::produce(
      [device](IDeviceManager::ArrivalRemoval* s) { s->onDeviceRemoval(device); },
      "DeviceManager::ArrivalRemoval::onDeviceRemoval");
}

void DeviceManager::raise_active_changed(bool active) {
  Producer<IDeviceManager::ActiveChanged>::produce(
      [active](IDeviceManager::ActiveChanged* s) { s->onActiveChanged(active); },
      "DeviceManager::ActiveChanged::onActiveChanged");
}

}  // namespace rodiz
