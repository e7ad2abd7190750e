#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Linux/EmulatedHidrawNode.h"
#include "Linux/HidrawTestbed.h"
#include "sim/SimMouse.h"

namespace rodiz::sim {
class SimChannel;
}

namespace rodiz::test {

// The simulated mouse plugged into a HidrawTestbed: each time it appears (in
// application or bootloader mode) it becomes a new USB device whose vendor
// interface is one hidraw node carrying both its collections, answered by
// the simulated mouse with its real report descriptor, announced with "add"
// uevents; in application mode a boot-mouse interface with its own node
// stands beside it, as on the real mouse. When the mouse leaves (a reboot
// into its bootloader or back, an unplug) the nodes fail their I/O as the
// kernel's do and go with "remove" uevents. New nodes take new minors.
class EmulatedMouse {
 public:
  EmulatedMouse(HidrawTestbed& testbed, sim::SimMouseConfig config, bool boot_mouse_interface = true);
  // Unplugs the mouse; must be destroyed before the testbed.
  ~EmulatedMouse();
  EmulatedMouse(const EmulatedMouse&) = delete;
  EmulatedMouse& operator=(const EmulatedMouse&) = delete;

  // Plugs the mouse in.
  void plug();
  // Access mode of the device files made from now on (0600 by default).
  void set_node_mode(unsigned mode);
  // As udev does when its rules are triggered: gives the present nodes and
  // those made from now on `mode`, and sends a "change" uevent for each.
  void trigger_rules(unsigned mode);
  sim::SimMouse& mouse() { return *mouse_; }

  // What the host saw, in order: "+/dev/hidraw0 c087", "-/dev/hidraw0", ...
  // (vendor nodes only).
  std::vector<std::string> history();
  // Reports written to any boot-mouse node.
  int boot_mouse_writes();
  // Identity ioctls the boot-mouse nodes answered.
  int boot_mouse_queries();

 private:
  class Reader;
  // One appearance of the mouse on the bus.
  struct Appearance {
    std::uint32_t generation = 0;
    std::string usb;
    std::vector<std::string> hidraw;
    std::vector<int> minors;
    std::vector<std::shared_ptr<EmulatedHidrawNode>> nodes;
    std::string vendor_devnode;
    std::map<int, std::shared_ptr<sim::SimChannel>> channels;  // by report id
    std::shared_ptr<Reader> reader;
  };

  // Brings the testbed in line with the mouse (the mouse's thread or plug()).
  void follow();
  void leave_locked();
  void appear_locked(const std::vector<sim::SimCollection>& collections);

  HidrawTestbed& testbed_;
  std::shared_ptr<sim::SimMouse> mouse_;
  const bool boot_mouse_interface_;
  std::mutex lock_;
  bool closed_ = false;
  unsigned mode_ = 0600;
  int next_minor_ = 0;
  int next_usb_ = 1;
  std::unique_ptr<Appearance> current_;
  std::vector<std::string> history_;
  std::vector<std::shared_ptr<EmulatedHidrawNode>> boot_nodes_;
};

}  // namespace rodiz::test
