#include "Linux/BluezBus.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "Linux/BluezDevice.h"
#include "Linux/BluezGattBus.h"
#include "Linux/BluezGattChannel.h"
#include "Linux/BluezIdentity.h"
#include "device/LastError.h"
#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "BluezBus";
#define ZLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

constexpr const char* kAdapter = "org.bluez.Adapter1";
constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kService = "org.bluez.GattService1";
constexpr const char* kCharacteristic = "org.bluez.GattCharacteristic1";
// The HID over GATT service: a device offering it is a low-energy device.
constexpr const char* kHidOverGatt = "00001812-0000-1000-8000-00805f9b34fb";
// The kernel's bus type of Bluetooth HID devices (BUS_BLUETOOTH).
constexpr std::uint16_t kBusBluetooth = 5;
// Larger than any ATT value (512 bytes), so a packet is never cut.
constexpr std::size_t kPacketBytes = 1024;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

const BluezProperties* find(const std::map<std::string, BluezProperties>& interfaces, const char* name) {
  auto it = interfaces.find(name);
  return it == interfaces.end() ? nullptr : &it->second;
}

std::string text_of(const BluezProperties& props, const char* name) {
  auto it = props.text.find(name);
  return it == props.text.end() ? std::string() : it->second;
}

bool flag_of(const BluezProperties& props, const char* name) {
  auto it = props.flags.find(name);
  return it != props.flags.end() && it->second;
}

bool listed(const BluezProperties& props, const char* list, const char* item) {
  auto it = props.lists.find(list);
  if (it == props.lists.end()) return false;
  for (const std::string& entry : it->second) {
    if (lower(entry) == item) return true;
  }
  return false;
}

void merge(BluezProperties& into, const BluezProperties& from) {
  for (const auto& [name, value] : from.text) into.text[name] = value;
  for (const auto& [name, value] : from.flags) into.flags[name] = value;
  for (const auto& [name, value] : from.lists) into.lists[name] = value;
  for (const auto& [name, value] : from.bytes) into.bytes[name] = value;
}

bool under(const std::string& path, const std::string& parent) {
  return path.size() > parent.size() && path.compare(0, parent.size(), parent) == 0 && path[parent.size()] == '/';
}
}  // namespace

BluezBus::BluezBus(std::shared_ptr<IBluezSystem> system, NodeLookup lookup, bool active)
    : system_(std::move(system)), lookup_(std::move(lookup)), active_(active) {}

BluezBus::~BluezBus() {
  if (thread_.joinable()) {
    eventfd_write(stop_fd_, 1);
    // The last owner may let go inside an event the thread raises.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  for (DescriptorWatch& watch : descriptors_) ::close(watch.fd);
  if (stop_fd_ >= 0) ::close(stop_fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

bool BluezBus::on_subscribe(Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>* /*s*/) {
  // An inactive or absent Bluetooth stack is no reason to refuse a listener:
  // it simply hears nothing.
  if (active_) start();
  return true;
}

bool BluezBus::start() {
  std::lock_guard<std::mutex> guard(start_lock_);
  if (started_) return connected_;
  started_ = true;
  ZLOG(LogInfo, "BluezBus::start enter");
  const int result = system_->connect();
  if (result < 0) {
    ZLOG(LogWarning, "BluezBus::start no system bus (%s): Bluetooth devices are not followed", std::strerror(-result));
    return false;
  }
  stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_fd_ < 0 || wake_fd_ < 0) {
    ZLOG(LogError, "BluezBus::start eventfd failed, err=%d", errno);
    return false;
  }
  Actions actions;
  {
    std::lock_guard<std::mutex> model(model_lock_);
    list_objects(actions);
    gatt_presence(actions);
  }
  connected_ = true;
  thread_ = std::thread([this] { thread_main(); });
  for (auto& action : actions) action();
  ZLOG(LogInfo, "BluezBus::start exit");
  return true;
}

void BluezBus::list_objects(Actions& actions) {
  std::vector<BluezEvent> objects;
  const int result = system_->managed_objects(objects);
  if (result < 0) {
    bluez_present_ = false;
    if (!said_absent_) {
      said_absent_ = true;
      ZLOG(LogWarning, "BluezBus BlueZ is not on the system bus (%s): no Bluetooth devices until it starts",
           std::strerror(-result));
    }
    return;
  }
  bluez_present_ = true;
  said_absent_ = false;
  for (const BluezEvent& object : objects) apply(object, actions);
  ZLOG(LogInfo, "BluezBus listed %d BlueZ objects", static_cast<int>(objects.size()));
}

void BluezBus::wake() {
  if (wake_fd_ >= 0) eventfd_write(wake_fd_, 1);
}

void BluezBus::thread_main() {
  ZLOG(LogInfo, "BluezBus::thread start");
  bool alive = true;
  for (;;) {
    Actions actions;
    // Drained before every poll: a poll never wakes for messages the
    // connection already holds.
    while (alive) {
      std::vector<BluezEvent> events;
      alive = system_->process(events);
      if (events.empty() && alive) break;
      std::lock_guard<std::mutex> model(model_lock_);
      for (const BluezEvent& event : events) apply(event, actions);
      if (!alive) {
        ZLOG(LogWarning, "BluezBus lost the system bus: Bluetooth devices are no longer followed");
        forget_everything(actions);
      }
      gatt_presence(actions);
    }
    for (auto& action : actions) action();
    actions.clear();

    std::vector<pollfd> fds = {{stop_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}, {-1, 0, 0}};
    if (alive) fds[2] = {system_->fd(), system_->events(), 0};
    {
      std::lock_guard<std::mutex> model(model_lock_);
      for (const DescriptorWatch& watch : descriptors_) {
        if (!watch.ended) fds.push_back({watch.fd, POLLIN, 0});
      }
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      ZLOG(LogError, "BluezBus::thread poll failed, err=%d", errno);
      break;
    }
    if ((fds[0].revents & POLLIN) != 0) break;
    if ((fds[1].revents & POLLIN) != 0) {
      eventfd_t count = 0;
      eventfd_read(wake_fd_, &count);
    }
    for (std::size_t i = 3; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      DescriptorWatch watch;
      {
        std::lock_guard<std::mutex> model(model_lock_);
        auto it = std::find_if(descriptors_.begin(), descriptors_.end(),
                               [&](const DescriptorWatch& w) { return w.fd == fds[i].fd; });
        if (it == descriptors_.end() || it->ended) continue;
        watch = *it;
      }
      // Only this thread closes watched descriptors, so the copy stays valid.
      read_descriptor(watch);
      if (watch.ended) {
        std::lock_guard<std::mutex> model(model_lock_);
        for (DescriptorWatch& w : descriptors_) {
          if (w.fd == watch.fd) w.ended = true;
        }
      }
    }
    std::vector<int> closing;
    {
      std::lock_guard<std::mutex> model(model_lock_);
      for (const DescriptorWatch& w : descriptors_) {
        if (w.ended) closing.push_back(w.fd);
      }
      descriptors_.erase(
          std::remove_if(descriptors_.begin(), descriptors_.end(), [](const DescriptorWatch& w) { return w.ended; }),
          descriptors_.end());
    }
    for (int fd : closing) ::close(fd);
  }
  ZLOG(LogInfo, "BluezBus::thread end");
}

void BluezBus::read_descriptor(DescriptorWatch& watch) {
  std::uint8_t packet[kPacketBytes];
  const ssize_t got = ::recv(watch.fd, packet, sizeof packet, MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (got <= 0) {
    // BlueZ closed it: the link went down or the characteristic was released.
    ZLOG(LogInfo, "BluezBus notification descriptor %d closed (%s)", watch.fd,
         got == 0 ? "hang-up" : std::strerror(errno));
    watch.ended = true;
    return;
  }
  if (std::shared_ptr<BluezGattChannel> channel = watch.channel.lock()) {
    channel->notified(packet, static_cast<std::size_t>(got), watch.variable_length);
  }
}

BluezBus::DeviceFacts BluezBus::facts(const std::string& path) const {
  DeviceFacts result;
  auto object = objects_.find(path);
  if (object == objects_.end()) return result;
  const BluezProperties* device = find(object->second, kDevice);
  if (device == nullptr) return result;
  result.present = true;
  result.paired = flag_of(*device, "Paired");
  result.connected = flag_of(*device, "Connected");
  result.adapter = text_of(*device, "Adapter");
  result.addressed = BluezIdentity::parse_address(text_of(*device, "Address"), result.address);
  return result;
}

std::shared_ptr<BluezDevice> BluezBus::device_for(std::uint64_t address) {
  std::shared_ptr<BluezDevice>& device = devices_by_address_[address];
  if (!device) device = std::make_shared<BluezDevice>(weak_from_this(), address);
  return device;
}

void BluezBus::device_changed(const DeviceFacts& before, const DeviceFacts& after, Actions& actions) {
  if (!active_) return;
  const bool addressed = after.addressed || before.addressed;
  if (!addressed) return;
  const std::uint64_t address = after.addressed ? after.address : before.address;
  const bool was_connected = before.present && before.connected;
  const bool now_connected = after.present && after.connected;
  const bool was_paired = before.present && before.paired;
  const bool now_paired = after.present && after.paired;
  auto existing = devices_by_address_.find(address);
  if (!was_connected && now_connected) {
    std::shared_ptr<BluezDevice> device = device_for(address);
    const std::string radio = after.adapter;
    actions.push_back([device, radio] { device->connect_sequence(radio); });
  }
  if (existing == devices_by_address_.end()) return;  // nobody can listen to a device never handed out
  std::shared_ptr<BluezDevice> device = existing->second;
  if (was_connected && !now_connected) actions.push_back([device] { device->disconnect_sequence(); });
  if (was_paired && !now_paired) {
    const std::string radio = before.adapter;
    actions.push_back([device, radio] { device->unpair(radio); });
  }
}

void BluezBus::adapter_removed(const std::string& adapter, Actions& actions) {
  ZLOG(LogInfo, "Bluetooth - radio was removed: %s", adapter.c_str());
  for (auto& [path, interfaces] : objects_) {
    auto device = interfaces.find(kDevice);
    if (device == interfaces.end() || text_of(device->second, "Adapter") != adapter) continue;
    const DeviceFacts before = facts(path);
    if (!before.connected) continue;
    // Its own removal, if BlueZ sends one, then finds it disconnected already.
    device->second.flags["Connected"] = false;
    device_changed(before, facts(path), actions);
  }
  if (active_) {
    actions.push_back([this, adapter] {
      produce([adapter](RadioArrivalRemovalExternal* s) { s->onRadioRemoval(adapter); },
              "BluezBus::RadioArrivalRemovalExternal::onRadioRemoval");
    });
  }
}

void BluezBus::apply(const BluezEvent& event, Actions& actions) {
  switch (event.kind) {
    case BluezEvent::Kind::Added:
    case BluezEvent::Kind::Changed: {
      for (const auto& [name, props] : event.interfaces) {
        Interfaces& interfaces = objects_[event.path];
        const bool known = interfaces.count(name) != 0;
        // BlueZ announces an interface before it changes any of its properties.
        if (event.kind == BluezEvent::Kind::Changed && !known) continue;
        const DeviceFacts before = facts(event.path);
        merge(interfaces[name], props);
        if (name == kDevice) device_changed(before, facts(event.path), actions);
        if (name == kAdapter && !known) {
          ZLOG(LogInfo, "Bluetooth - radio arrived: %s", event.path.c_str());
          if (active_) {
            const std::string radio = event.path;
            actions.push_back([this, radio] {
              produce([radio](RadioArrivalRemovalExternal* s) { s->onRadioArrival(radio); },
                      "BluezBus::RadioArrivalRemovalExternal::onRadioArrival");
            });
          }
        }
        if (name == kCharacteristic && event.kind == BluezEvent::Kind::Changed) {
          value_changed(event.path, props, actions);
        }
      }
      if (objects_[event.path].empty()) objects_.erase(event.path);
      break;
    }
    case BluezEvent::Kind::Removed: {
      auto object = objects_.find(event.path);
      if (object == objects_.end()) break;
      for (const std::string& name : event.removed) {
        if (object->second.count(name) == 0) continue;
        const DeviceFacts before = facts(event.path);
        object->second.erase(name);
        if (name == kDevice) device_changed(before, facts(event.path), actions);
        if (name == kAdapter) adapter_removed(event.path, actions);
      }
      if (object->second.empty()) objects_.erase(object);
      break;
    }
    case BluezEvent::Kind::ServiceGone:
      ZLOG(LogWarning, "BluezBus BlueZ left the system bus");
      forget_everything(actions);
      break;
    case BluezEvent::Kind::ServiceBack:
      ZLOG(LogInfo, "BluezBus BlueZ is on the system bus again");
      list_objects(actions);
      break;
  }
}

void BluezBus::forget_everything(Actions& actions) {
  // Devices first, then their adapters, as BlueZ itself removes them.
  std::vector<std::string> adapters;
  for (auto& [path, interfaces] : objects_) {
    if (interfaces.count(kDevice) != 0) {
      const DeviceFacts before = facts(path);
      interfaces.erase(kDevice);
      device_changed(before, facts(path), actions);
    }
    if (interfaces.count(kAdapter) != 0) adapters.push_back(path);
  }
  for (const std::string& adapter : adapters) {
    objects_[adapter].erase(kAdapter);
    adapter_removed(adapter, actions);
  }
  objects_.clear();
  bluez_present_ = false;
}

void BluezBus::value_changed(const std::string& path, const BluezProperties& changed, Actions& actions) {
  auto value = changed.bytes.find("Value");
  auto watches = values_.find(path);
  if (value == changed.bytes.end() || watches == values_.end()) return;
  for (const ValueWatch& watch : watches->second) {
    std::weak_ptr<BluezGattChannel> channel = watch.channel;
    const bool variable = watch.variable_length;
    std::vector<std::uint8_t> bytes = value->second;
    actions.push_back([channel, variable, bytes] {
      if (std::shared_ptr<BluezGattChannel> target = channel.lock()) {
        target->notified(bytes.data(), bytes.size(), variable);
      }
    });
  }
}

bool BluezBus::gatt_service_locked(const std::string& path, GattService& service) const {
  auto object = objects_.find(path);
  if (object == objects_.end()) return false;
  const BluezProperties* props = find(object->second, kService);
  if (props == nullptr || lower(text_of(*props, "UUID")) != kFrapService) return false;
  const std::string device_path = text_of(*props, "Device");
  auto device_object = objects_.find(device_path);
  if (device_object == objects_.end()) return false;
  const BluezProperties* device = find(device_object->second, kDevice);
  if (device == nullptr || !flag_of(*device, "Connected")) return false;
  service = GattService();
  service.path = path;
  BluezIdentity::modalias_product(text_of(*device, "Modalias"), service.product);
  for (auto it = objects_.upper_bound(path); it != objects_.end() && under(it->first, path); ++it) {
    const BluezProperties* characteristic = find(it->second, kCharacteristic);
    if (characteristic == nullptr || text_of(*characteristic, "Service") != path) continue;
    const std::string uuid = lower(text_of(*characteristic, "UUID"));
    if (uuid != kFixedLengthCharacteristic && uuid != kVariableLengthCharacteristic) continue;
    Characteristic entry;
    entry.path = it->first;
    entry.variable_length = uuid == kVariableLengthCharacteristic;
    entry.can_notify = listed(*characteristic, "Flags", "notify");
    // BlueZ leaves these properties out when it does not offer the call.
    entry.notify_acquire = entry.can_notify && characteristic->flags.count("NotifyAcquired") != 0;
    entry.write_acquire =
        listed(*characteristic, "Flags", "write-without-response") && characteristic->flags.count("WriteAcquired") != 0;
    service.characteristics.push_back(entry);
  }
  return !service.characteristics.empty();
}

void BluezBus::gatt_presence(Actions& actions) {
  std::set<std::string> present;
  for (const auto& [path, interfaces] : objects_) {
    GattService service;
    if (interfaces.count(kService) != 0 && gatt_service_locked(path, service)) present.insert(path);
  }
  std::shared_ptr<BluezGattBus> gatt = gatt_.lock();
  for (const std::string& path : present) {
    if (gatt_present_.count(path) == 0 && gatt) actions.push_back([gatt, path] { gatt->plugged(path); });
  }
  for (const std::string& path : gatt_present_) {
    if (present.count(path) == 0 && gatt) actions.push_back([gatt, path] { gatt->unplugged(path); });
  }
  gatt_present_ = std::move(present);
}

std::shared_ptr<IBluetoothDevice> BluezBus::device_paired_on_path(std::string path) {
  if (!active_) {
    set_last_error(BluetoothNotificationFailed, 0, "Bluetooth is not configured");
    return nullptr;
  }
  if (!start()) return nullptr;
  std::uint64_t address = 0;
  bool addressed = false;
  HidrawNode node;
  const bool gatt_path = path.rfind("/org/bluez/", 0) == 0;
  const bool node_present = !gatt_path && lookup_ && lookup_(path, node);
  std::lock_guard<std::mutex> model(model_lock_);
  if (gatt_path) {
    for (const auto& [object, interfaces] : objects_) {
      if (interfaces.count(kDevice) == 0 || (object != path && !under(path, object))) continue;
      const DeviceFacts device = facts(object);
      addressed = device.addressed;
      address = device.address;
      break;
    }
  } else if (node_present) {
    if (node.bus_type != kBusBluetooth || !BluezIdentity::parse_address(node.uniq, address)) {
      address_by_node_.erase(path);
      return nullptr;
    }
    address_by_node_[path] = address;
    addressed = true;
  } else if (auto known = address_by_node_.find(path); known != address_by_node_.end()) {
    address = known->second;
    addressed = true;
  }
  if (!addressed) return nullptr;
  DeviceView device;
  if (!view_locked(address, device) || !device.paired) return nullptr;
  return device_for(address);
}

bool BluezBus::view(std::uint64_t address, DeviceView& view) {
  std::lock_guard<std::mutex> model(model_lock_);
  if (!bluez_present_) return false;
  view_locked(address, view);
  return true;
}

bool BluezBus::view_locked(std::uint64_t address, DeviceView& view) const {
  view = DeviceView();
  for (const auto& [path, interfaces] : objects_) {
    const BluezProperties* device = find(interfaces, kDevice);
    std::uint64_t candidate = 0;
    if (device == nullptr || !BluezIdentity::parse_address(text_of(*device, "Address"), candidate) ||
        candidate != address) {
      continue;
    }
    view.listed = true;
    view.object_path = path;
    view.paired = flag_of(*device, "Paired");
    view.connected = flag_of(*device, "Connected");
    view.adapter = text_of(*device, "Adapter");
    view.name = text_of(*device, "Name");
    if (view.name.empty()) view.name = text_of(*device, "Alias");
    view.low_energy = text_of(*device, "AddressType") == "random" || listed(*device, "UUIDs", kHidOverGatt) ||
                      listed(*device, "UUIDs", kFrapService);
    for (auto it = objects_.upper_bound(path); !view.low_energy && it != objects_.end() && under(it->first, path);
         ++it) {
      const BluezProperties* service = find(it->second, kService);
      view.low_energy = service != nullptr && lower(text_of(*service, "UUID")) == kFrapService;
    }
    return true;
  }
  return false;
}

bool BluezBus::radio_present(const std::string& radio) {
  std::lock_guard<std::mutex> model(model_lock_);
  auto object = objects_.find(radio);
  return object != objects_.end() && object->second.count(kAdapter) != 0;
}

void BluezBus::attach_gatt(const std::shared_ptr<BluezGattBus>& gatt) {
  std::lock_guard<std::mutex> model(model_lock_);
  gatt_ = gatt;
}

std::vector<BluezBus::GattService> BluezBus::gatt_services() {
  std::vector<GattService> services;
  std::lock_guard<std::mutex> model(model_lock_);
  for (const std::string& path : gatt_present_) {
    GattService service;
    if (gatt_service_locked(path, service)) services.push_back(std::move(service));
  }
  return services;
}

bool BluezBus::gatt_service(const std::string& path, GattService& service) {
  std::lock_guard<std::mutex> model(model_lock_);
  return gatt_service_locked(path, service);
}

void BluezBus::watch_descriptor(int fd, const std::weak_ptr<BluezGattChannel>& channel, bool variable_length) {
  {
    std::lock_guard<std::mutex> model(model_lock_);
    DescriptorWatch watch;
    watch.fd = fd;
    watch.channel = channel;
    watch.owner = channel.lock().get();
    watch.variable_length = variable_length;
    descriptors_.push_back(watch);
  }
  wake();
}

void BluezBus::watch_value(const std::string& characteristic, const std::weak_ptr<BluezGattChannel>& channel,
                           bool variable_length) {
  std::lock_guard<std::mutex> model(model_lock_);
  ValueWatch watch;
  watch.channel = channel;
  watch.owner = channel.lock().get();
  watch.variable_length = variable_length;
  values_[characteristic].push_back(watch);
}

void BluezBus::unwatch(const BluezGattChannel* channel) {
  {
    std::lock_guard<std::mutex> model(model_lock_);
    for (DescriptorWatch& watch : descriptors_) {
      if (watch.owner == channel) watch.ended = true;
    }
    for (auto it = values_.begin(); it != values_.end();) {
      auto& list = it->second;
      list.erase(std::remove_if(list.begin(), list.end(), [&](const ValueWatch& w) { return w.owner == channel; }),
                 list.end());
      it = list.empty() ? values_.erase(it) : std::next(it);
    }
  }
  wake();
}

}  // namespace rodiz
