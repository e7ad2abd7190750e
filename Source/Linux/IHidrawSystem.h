#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rodiz {

// One hidraw node as udev describes it.
struct HidrawNode {
  // The device node udev gives ("/dev/hidraw3"); the channel's path.
  std::string devnode;
  // The sysfs path of the parent USB interface (of the HID device when the
  // node is not on USB): shared by every collection of one interface.
  std::string interface_path;
  // Vendor and product of the HID device udev saw, 0 when it did not say;
  // they let the bus pass over other makers' nodes without opening them.
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  // bcdDevice of the USB device, 0 when unknown.
  std::uint16_t version = 0;
  // The kernel's bus type from HID_ID (3 USB, 5 Bluetooth), 0 when unknown.
  std::uint16_t bus_type = 0;
  // HID_UNIQ: a Bluetooth device's address ("aa:bb:cc:dd:ee:ff"), else
  // whatever the device reports as its serial, often empty.
  std::string uniq;
};

// A hot-plug event of the "hidraw" subsystem. Change is udev applying its
// rules again to a node that stays (udevadm trigger).
struct HidrawEvent {
  enum class Kind { None, Add, Remove, Change, Overflow };
  Kind kind = Kind::None;
  HidrawNode node;
};

// What the hidraw transports need of the system: the device nodes through
// libc's read, write, ioctl and close (so that an LD_PRELOAD emulation sees
// all device I/O), poll, udev's enumeration and monitor, and the system's
// resume from sleep. Node operations
// keep libc's conventions: -1 with errno set on failure. Every operation may
// be called from any thread.
class IHidrawSystem {
 public:
  virtual ~IHidrawSystem() = default;

  virtual int open_node(const std::string& path, int flags) = 0;
  virtual int close_node(int fd) = 0;
  virtual ssize_t read_node(int fd, void* buffer, std::size_t size) = 0;
  virtual ssize_t write_node(int fd, const void* data, std::size_t size) = 0;
  virtual int poll_fds(pollfd* fds, nfds_t count, int timeout_ms) = 0;
  // HIDIOCGRAWINFO: the bus type and the vendor and product ids.
  virtual int raw_info(int fd, std::uint32_t& bus_type, std::uint16_t& vendor, std::uint16_t& product) = 0;
  // HIDIOCGRDESCSIZE and HIDIOCGRDESC.
  virtual int report_descriptor(int fd, std::vector<std::uint8_t>& descriptor) = 0;
  // HIDIOCGRAWNAME.
  virtual int raw_name(int fd, std::string& name) = 0;

  // The hidraw nodes present now; false when udev could not be asked.
  virtual bool enumerate(std::vector<HidrawNode>& nodes) = 0;
  // Starts the monitor on udev's netlink source (events after the rules
  // ran) and returns a descriptor that polls readable when events wait, or
  // -1 when there is no monitor.
  virtual int start_monitor() = 0;
  // The next waiting event, Kind::None when none waits, Kind::Overflow when
  // events were lost.
  virtual HidrawEvent receive_event() = 0;
  virtual void stop_monitor() = 0;

  // Starts following the system's resume from sleep and returns a descriptor
  // to poll for sleep_events(), or -1 when there is nothing to follow.
  virtual int start_sleep_monitor() = 0;
  virtual short sleep_events() = 0;
  // Handles what the sleep monitor received; true when the system woke up.
  virtual bool take_resume() = 0;
};

}  // namespace rodiz
