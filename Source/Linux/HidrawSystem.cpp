#include "Linux/HidrawSystem.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "HidrawSystem";
#define SLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)
// Room for a burst of uevents while the notification thread is busy opening a node.
constexpr int kMonitorBufferBytes = 4 * 1024 * 1024;

std::uint16_t hex16(const char* text) {
  if (text == nullptr) return 0;
  return static_cast<std::uint16_t>(std::strtoul(text, nullptr, 16) & 0xFFFFu);
}
}  // namespace

HidrawSystem::HidrawSystem() : udev_(udev_new()) {
  if (udev_ == nullptr) SLOG(LogError, "HidrawSystem udev_new failed, err=%d", errno);
}

HidrawSystem::~HidrawSystem() {
  stop_monitor();
  if (udev_ != nullptr) udev_unref(udev_);
}

int HidrawSystem::open_node(const std::string& path, int flags) { return ::open(path.c_str(), flags); }

int HidrawSystem::close_node(int fd) { return ::close(fd); }

ssize_t HidrawSystem::read_node(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }

ssize_t HidrawSystem::write_node(int fd, const void* data, std::size_t size) { return ::write(fd, data, size); }

int HidrawSystem::poll_fds(pollfd* fds, nfds_t count, int timeout_ms) { return ::poll(fds, count, timeout_ms); }

int HidrawSystem::raw_info(int fd, std::uint32_t& bus_type, std::uint16_t& vendor, std::uint16_t& product) {
  hidraw_devinfo info{};
  if (::ioctl(fd, HIDIOCGRAWINFO, &info) < 0) return -1;
  bus_type = info.bustype;
  // The kernel's struct declares the ids as signed 16-bit values.
  vendor = static_cast<std::uint16_t>(info.vendor);
  product = static_cast<std::uint16_t>(info.product);
  return 0;
}

int HidrawSystem::report_descriptor(int fd, std::vector<std::uint8_t>& descriptor) {
  int size = 0;
  if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) return -1;
  if (size < 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
    errno = EINVAL;
    return -1;
  }
  hidraw_report_descriptor raw{};
  raw.size = static_cast<__u32>(size);
  if (::ioctl(fd, HIDIOCGRDESC, &raw) < 0) return -1;
  descriptor.assign(raw.value, raw.value + size);
  return 0;
}

int HidrawSystem::raw_name(int fd, std::string& name) {
  char buffer[256] = {};
  const int length = ::ioctl(fd, HIDIOCGRAWNAME(sizeof buffer - 1), buffer);
  if (length < 0) return -1;
  name.assign(buffer, strnlen(buffer, sizeof buffer));
  return 0;
}

HidrawNode HidrawSystem::describe(udev_device* device) {
  HidrawNode node;
  if (const char* devnode = udev_device_get_devnode(device)) node.devnode = devnode;
  udev_device* hid = udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr);
  if (hid != nullptr) {
    // HID_ID is "bus:vendor:product", each in hexadecimal.
    if (const char* id = udev_device_get_property_value(hid, "HID_ID")) {
      unsigned bus = 0;
      unsigned vendor = 0;
      unsigned product = 0;
      if (std::sscanf(id, "%x:%x:%x", &bus, &vendor, &product) == 3) {
        node.bus_type = static_cast<std::uint16_t>(bus);
        node.vendor = static_cast<std::uint16_t>(vendor);
        node.product = static_cast<std::uint16_t>(product);
      }
    }
    if (const char* uniq = udev_device_get_property_value(hid, "HID_UNIQ")) node.uniq = uniq;
    if (const char* syspath = udev_device_get_syspath(hid)) node.interface_path = syspath;
  }
  if (udev_device* interface = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_interface")) {
    if (const char* syspath = udev_device_get_syspath(interface)) node.interface_path = syspath;
  }
  if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device")) {
    node.version = hex16(udev_device_get_sysattr_value(usb, "bcdDevice"));
  }
  return node;
}

bool HidrawSystem::enumerate(std::vector<HidrawNode>& nodes) {
  std::lock_guard<std::mutex> guard(lock_);
  nodes.clear();
  if (udev_ == nullptr) return false;
  udev_enumerate* enumeration = udev_enumerate_new(udev_);
  if (enumeration == nullptr) return false;
  bool ok =
      udev_enumerate_add_match_subsystem(enumeration, "hidraw") >= 0 && udev_enumerate_scan_devices(enumeration) >= 0;
  if (ok) {
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration)) {
      udev_device* device = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
      if (device == nullptr) continue;  // gone since the scan
      HidrawNode node = describe(device);
      udev_device_unref(device);
      if (!node.devnode.empty()) nodes.push_back(std::move(node));
    }
  }
  udev_enumerate_unref(enumeration);
  return ok;
}

int HidrawSystem::start_monitor() {
  std::lock_guard<std::mutex> guard(lock_);
  if (udev_ == nullptr) return -1;
  if (monitor_ == nullptr) {
    // The "udev" source: events after the rules ran (permissions included).
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ == nullptr) {
      SLOG(LogError, "HidrawSystem udev_monitor_new_from_netlink failed, err=%d", errno);
      return -1;
    }
    udev_monitor_set_receive_buffer_size(monitor_, kMonitorBufferBytes);
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
      SLOG(LogError, "HidrawSystem udev monitor could not start, err=%d", errno);
      udev_monitor_unref(monitor_);
      monitor_ = nullptr;
      return -1;
    }
  }
  return udev_monitor_get_fd(monitor_);
}

HidrawEvent HidrawSystem::receive_event() {
  std::lock_guard<std::mutex> guard(lock_);
  HidrawEvent event;
  while (monitor_ != nullptr) {
    errno = 0;
    udev_device* device = udev_monitor_receive_device(monitor_);
    if (device == nullptr) {
      if (errno == ENOBUFS) event.kind = HidrawEvent::Kind::Overflow;
      return event;
    }
    const char* action = udev_device_get_action(device);
    if (action != nullptr &&
        (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0 || std::strcmp(action, "change") == 0)) {
      event.kind = action[0] == 'a'   ? HidrawEvent::Kind::Add
                   : action[0] == 'r' ? HidrawEvent::Kind::Remove
                                      : HidrawEvent::Kind::Change;
      event.node = describe(device);
      udev_device_unref(device);
      return event;
    }
    // Other actions ("bind", "unbind") change nothing the bus tracks.
    SLOG(LogDebug, "HidrawSystem ignoring udev action %s", action != nullptr ? action : "(none)");
    udev_device_unref(device);
  }
  return event;
}

void HidrawSystem::stop_monitor() {
  std::lock_guard<std::mutex> guard(lock_);
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  monitor_ = nullptr;
}

int HidrawSystem::start_sleep_monitor() { return resume_.start() ? resume_.fd() : -1; }

short HidrawSystem::sleep_events() { return resume_.events(); }

bool HidrawSystem::take_resume() { return resume_.process(); }

}  // namespace rodiz
