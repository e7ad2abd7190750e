#pragma once

#include <umockdev.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Linux/EmulatedHidrawNode.h"

namespace rodiz::test {

// A umockdev testbed holding USB devices with hidraw nodes, as the kernel and
// udev show them: the USB device (idVendor, idProduct, bcdDevice), its
// interfaces, a HID device per interface (HID_ID) and its hidraw node with a
// device file whose I/O an EmulatedHidrawNode answers. Programs see it under
// umockdev's preload library with UMOCKDEV_DIR, which the testbed sets in
// this process's environment (child processes inherit it).
//
// Creating the testbed does not need the preload library in this process;
// every operation is thread-safe. The destructor removes the testbed's
// folder; the nodes live as long as the testbed.
class HidrawTestbed {
 public:
  HidrawTestbed();
  ~HidrawTestbed();
  HidrawTestbed(const HidrawTestbed&) = delete;
  HidrawTestbed& operator=(const HidrawTestbed&) = delete;

  // A USB device of the maker named `name` ("1-3"); returns its sysfs path.
  std::string add_usb_device(const std::string& name, std::uint16_t product, std::uint16_t version);
  // Interface `interface` of the USB device at `usb` with a hidraw node
  // /dev/hidraw<minor> answered by `node`, its device file of access mode
  // `mode`; returns the node's sysfs path. The node is whole (handler, device
  // file, mode) before udev lists it. Nothing is announced: see uevent().
  std::string add_hidraw(const std::string& usb, int interface, int minor, std::shared_ptr<EmulatedHidrawNode> node,
                         unsigned mode = 0600);
  // Sends a uevent ("add", "remove", "change") for the device at `syspath`.
  void uevent(const std::string& syspath, const char* action);
  // Takes the device at `syspath` and everything below it out of sysfs, with
  // its device files and their handlers, in the reverse order of adding.
  void remove(const std::string& syspath);
  // Sets the access mode of the device file of /dev/hidraw<minor>.
  bool set_node_mode(int minor, unsigned mode);
  std::string root() const { return root_; }

 private:
  struct Entry {
    std::string syspath;
    std::string devnode;  // empty for devices without a node
    std::shared_ptr<EmulatedHidrawNode> node;
  };

  std::mutex lock_;
  UMockdevTestbed* testbed_;
  std::string root_;
  // In order of creation: children after their parents.
  std::vector<Entry> entries_;
  // Nodes outlive their removal: the testbed's thread may still be in them.
  std::vector<std::shared_ptr<EmulatedHidrawNode>> retired_;
};

}  // namespace rodiz::test
