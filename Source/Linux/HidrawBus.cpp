#include "Linux/HidrawBus.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "Linux/BluezBus.h"
#include "Linux/BluezGattBus.h"
#include "Linux/BluezSystem.h"
#include "Linux/HidrawChannel.h"
#include "device/LastError.h"
#include "log/xLog.h"
#include "runtime/IDeviceManager.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "HidrawBus";
#define BLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)
}  // namespace

namespace {
// A configuration item of the manager; false when the manager is gone.
bool config_item(const std::weak_ptr<IDeviceManager>& manager, unsigned item) {
  bool value = false;
  std::shared_ptr<IDeviceManager> owner = manager.lock();
  return owner && owner->config_get(item, &value) && value;
}
}  // namespace

HidrawBus::HidrawBus(std::weak_ptr<IDeviceManager> manager, std::shared_ptr<IHidrawSystem> system,
                     std::shared_ptr<IBluezSystem> bluez)
    : manager_(std::move(manager)), system_(std::move(system)) {
  const bool bluetooth_active = config_item(manager_, 0);
  const bool ble_active = config_item(manager_, 1);
  const bool ble_monitor = config_item(manager_, 2);
  if (!bluez) bluez = std::make_shared<BluezSystem>();
  // The node's description comes from udev, as for a listing.
  std::shared_ptr<IHidrawSystem> nodes = system_;
  auto lookup = [nodes](const std::string& devnode, HidrawNode& node) {
    std::vector<HidrawNode> present;
    if (!nodes->enumerate(present)) return false;
    for (HidrawNode& candidate : present) {
      if (candidate.devnode != devnode) continue;
      node = std::move(candidate);
      return true;
    }
    return false;
  };
  bluetooth_ = std::make_shared<BluezBus>(std::move(bluez), lookup, bluetooth_active || ble_active);
  if (ble_active || ble_monitor) {
    gatt_ = std::make_shared<BluezGattBus>(bluetooth_, manager_);
    gatt_->attach();
  }
}

std::vector<std::shared_ptr<IBluetoothBus>> HidrawBus::bluetooth_busses() { return {bluetooth_}; }

std::vector<std::shared_ptr<IHardwareSecondaryBus>> HidrawBus::secondary_busses() {
  if (!gatt_) return {};
  return {gatt_};
}

HidrawBus::~HidrawBus() {
  BLOG(LogInfo, "HidrawBus::~HidrawBus enter");
  if (notifier_.joinable()) {
    eventfd_write(stop_fd_, 1);
    BLOG(LogInfo, "HidrawBus::~HidrawBus joining thread");
    notifier_.join();
  }
  if (monitor_fd_ >= 0) system_->stop_monitor();
  if (stop_fd_ >= 0) ::close(stop_fd_);
  BLOG(LogInfo, "HidrawBus::~HidrawBus exit");
}

bool HidrawBus::ours(const HidrawNode& node) const {
  // udev names the vendor of USB and Bluetooth HID devices; a node it says
  // nothing about is opened and checked.
  return node.vendor == 0 || node.vendor == HidrawChannel::kVendorId;
}

std::shared_ptr<HidrawChannel> HidrawBus::make_channel(const HidrawNode& node) {
  return std::make_shared<HidrawChannel>(weak_from_this(), system_, node);
}

void HidrawBus::lazy_start() {
  std::lock_guard<std::mutex> guard(start_lock_);
  BLOG(LogInfo, "HidrawBus::lazyStart enter");
  if (started_) {
    BLOG(LogDebug, "HidrawBus::lazyStart already started");
    return;
  }
  BLOG(LogInfo, "HidrawBus::lazyStart performing startup");
  started_ = true;
  stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  monitor_fd_ = system_->start_monitor();
  if (monitor_fd_ < 0) {
    // Devices present now are still found; arrivals and removals are not.
    BLOG(LogError, "HidrawBus::lazyStart no udev monitor, hot-plug is off");
  }
  // Without a system bus the monitor has logged why; the bus carries on.
  sleep_fd_ = system_->start_sleep_monitor();
  if (stop_fd_ < 0) {
    BLOG(LogError, "HidrawBus::lazyStart eventfd failed, err=%d", errno);
    return;
  }
  notifier_ = std::thread([this] { notification_thread(); });
  BLOG(LogInfo, "HidrawBus::lazyStart exit");
}

bool HidrawBus::on_subscribe(Subscriber<IHardwareBus::PlugUnplug>* /*s*/) {
  BLOG(LogInfo, "HidrawBus::on_subscribe enter");
  lazy_start();
  BLOG(LogInfo, "HidrawBus::on_subscribe exit");
  return true;
}

std::vector<std::shared_ptr<IHardwareDevice>> HidrawBus::devices() {
  BLOG(LogInfo, "HidrawBus::devices enter");
  lazy_start();
  std::vector<HidrawNode> nodes;
  std::vector<std::shared_ptr<IHardwareDevice>> result;
  if (!system_->enumerate(nodes)) {
    set_last_error(SystemCallFailed, 0, "udev enumeration failed");
    BLOG(LogWarning, "HidrawBus::devices exception (udev enumeration failed)");
    return result;
  }
  LastError failure;
  for (const HidrawNode& node : nodes) {
    if (!ours(node)) continue;
    std::shared_ptr<HidrawChannel> channel = make_channel(node);
    if (channel->open()) {
      channel->close();
      result.push_back(channel);
      BLOG(LogInfo, "HidrawBus::EnumerateInterfaces adding device to list");
    } else {
      if (channel->open_errno() == EACCES) {
        failure = last_error();
        report_permission_problem(node.devnode);
      }
      BLOG(LogInfo, "HidrawBus::EnumerateInterfaces ignoring device it could not open (%s)", node.devnode.c_str());
    }
  }
  if (result.empty()) {
    // A node we may not open is the one failure worth passing up.
    if (failure.code != NoError) {
      last_error() = failure;
    } else {
      clear_last_error();
    }
  }
  BLOG(LogInfo, "HidrawBus::devices exit, returning %d devices", static_cast<int>(result.size()));
  return result;
}

void HidrawBus::report_permission_problem(const std::string& path) {
  {
    std::lock_guard<std::mutex> guard(reported_lock_);
    if (!permission_reported_.insert(path).second) return;
  }
  const LastError kept = last_error();
  if (std::shared_ptr<IDeviceManager> manager = manager_.lock()) manager->report_unreported_error("HidrawBus");
  last_error() = kept;
}

void HidrawBus::notification_thread() {
  BLOG(LogInfo, "HidrawBus::notification_thread start");
  for (;;) {
    pollfd fds[3] = {{stop_fd_, POLLIN, 0}, {monitor_fd_, POLLIN, 0}, {sleep_fd_, 0, 0}};
    if (sleep_fd_ >= 0) fds[2].events = system_->sleep_events();
    const int ready = system_->poll_fds(fds, 3, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      BLOG(LogError, "HidrawBus::notification_thread poll failed, err=%d", errno);
      break;
    }
    if ((fds[0].revents & POLLIN) != 0) break;
    if (fds[2].revents != 0) {
      if (system_->take_resume()) {
        BLOG(LogInfo, "HidrawBus resume from sleep");
        resumed();
      }
      if (system_->sleep_events() == 0) sleep_fd_ = -1;  // the system bus went away
    }
    if (fds[1].revents == 0) continue;
    if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (fds[1].revents & POLLIN) == 0) {
      BLOG(LogError, "HidrawBus::notification_thread monitor failed, hot-plug is off");
      monitor_fd_ = -1;
      continue;
    }
    // Drained at once: udev's socket buffer is what overflows when events wait.
    for (;;) {
      HidrawEvent event = system_->receive_event();
      if (event.kind == HidrawEvent::Kind::None) break;
      if (event.kind == HidrawEvent::Kind::Add) arrival(event.node);
      if (event.kind == HidrawEvent::Kind::Remove) removal(event.node.devnode);
      if (event.kind == HidrawEvent::Kind::Change) changed(event.node);
      if (event.kind == HidrawEvent::Kind::Overflow) {
        BLOG(LogWarning, "HidrawBus::notification_thread udev monitor lost events, listing nodes again");
        resync();
      }
    }
  }
  BLOG(LogInfo, "HidrawBus::notification_thread end");
}

void HidrawBus::arrival(const HidrawNode& node) {
  BLOG(LogInfo, "-hid- arrive hidraw node, path=%s", node.devnode.c_str());
  if (!ours(node) || announced_.count(node.devnode) != 0) return;
  std::shared_ptr<HidrawChannel> channel = make_channel(node);
  // udev may still be granting access right after an arrival.
  channel->set_permission_retry_ms(HidrawChannel::kPermissionRetryMs);
  if (!channel->open()) {
    if (channel->open_errno() == EACCES) report_permission_problem(node.devnode);
    BLOG(LogInfo, "HidrawBus::processDeviceChange ignoring node it could not open (%s)", node.devnode.c_str());
    return;
  }
  channel->close();
  announced_.insert(node.devnode);
  BLOG(LogInfo, "HidrawBus::processDeviceChange arrive producing onPlug event");
  std::shared_ptr<IHardwareDevice> device = channel;
  produce([device](IHardwareBus::PlugUnplug* s) { s->onPlug(device); }, "HidrawBus::PlugUnplug::onPlug");
}

void HidrawBus::changed(const HidrawNode& node) {
  // "udevadm trigger" after the rule was installed: the node that was closed
  // to us may be open now, without the user plugging the mouse again.
  {
    std::lock_guard<std::mutex> guard(reported_lock_);
    if (permission_reported_.erase(node.devnode) == 0) return;
  }
  BLOG(LogInfo, "-hid- change of a hidraw node it could not open, trying again, path=%s", node.devnode.c_str());
  arrival(node);
}

void HidrawBus::removal(const std::string& path) {
  BLOG(LogInfo, "-hid- remove hidraw node, path=%s", path.c_str());
  {
    std::lock_guard<std::mutex> guard(reported_lock_);
    permission_reported_.erase(path);
  }
  // Raised for every node, also those listed by devices() rather than
  // announced here; consumers that never saw the path ignore it.
  announced_.erase(path);
  HidrawNode node;
  node.devnode = path;
  std::shared_ptr<IHardwareDevice> device = make_channel(node);
  BLOG(LogInfo, "HidrawBus::processDeviceChange remove producing onUnplug event");
  produce([device](IHardwareBus::PlugUnplug* s) { s->onUnplug(device); }, "HidrawBus::PlugUnplug::onUnplug");
}

void HidrawBus::resync() {
  std::vector<HidrawNode> nodes;
  if (!system_->enumerate(nodes)) {
    BLOG(LogError, "HidrawBus::resync udev enumeration failed");
    return;
  }
  std::set<std::string> present;
  for (const HidrawNode& node : nodes) present.insert(node.devnode);
  const std::set<std::string> announced = announced_;
  for (const std::string& path : announced) {
    if (present.count(path) == 0) removal(path);
  }
  for (const HidrawNode& node : nodes) arrival(node);
}

void HidrawBus::read_failed_with_disconnect_error(const std::string& path) {
  std::shared_ptr<HidrawBus> self = weak_from_this().lock();
  if (!self) return;
  HidrawNode node;
  node.devnode = path;
  std::shared_ptr<IHardwareDevice> device = make_channel(node);
  BLOG(LogInfo, "HidrawBus::read_failed_with_disconnect_error producing onUnPlug event");
  produce([device](IHardwareBus::PlugUnplug* s) { s->onUnplug(device); }, "HidrawBus::PlugUnplug::onUnplug");
}

bool HidrawBus::node_present(const std::string& path) {
  std::vector<HidrawNode> nodes;
  if (!system_->enumerate(nodes)) return true;  // cannot tell: not a reason to drop the device
  for (const HidrawNode& node : nodes) {
    if (node.devnode == path) {
      BLOG(LogInfo, "HidrawBus::verify_device_exists - device is present: %s", path.c_str());
      return true;
    }
  }
  BLOG(LogWarning, "HidrawBus::verify_device_exists - device was lost: %s", path.c_str());
  read_failed_with_disconnect_error(path);
  return false;
}

void HidrawBus::resumed() {
  produce([](IHardwareBus::PlugUnplug* s) { s->onPowerChange(false); }, "HidrawBus::PlugUnplug::onPowerChange");
}

}  // namespace rodiz
