#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/Producer.h"
#include "sim/SimMouse.h"
#include "sim/SimScheduler.h"
#include "transport/IHardwareBus.h"

namespace rodiz::sim {

class SimChannel;

// A simulated HID bus: it shows each simulated device as its separate HID
// collections (so the collection combiner joins them, as for real buses) and
// raises plug and unplug events from a thread of its own when a mouse comes,
// goes or reboots into its bootloader and back.
class SimBus : public IHardwareBus,
               public Producer<IHardwareBus::PlugUnplug>,
               public std::enable_shared_from_this<SimBus> {
 public:
  SimBus();
  ~SimBus() override;

  // Puts a mouse on the bus; it is started if it has not been.
  void add(std::shared_ptr<SimMouse> mouse);
  // Unplugs a mouse.
  void remove(const std::shared_ptr<SimMouse>& mouse);
  // Plugs in any other simulated device (a receiver), or unplugs it.
  void add_device(std::shared_ptr<SimHidDevice> device);
  void remove_device(const std::shared_ptr<SimHidDevice>& device);
  // The system went to sleep and woke up again.
  void resume_from_sleep();
  // Waits until the bus has announced everything that happened so far.
  void wait_idle();

  std::vector<std::shared_ptr<IHardwareDevice>> devices() override;
  bool wants_combiner() override { return true; }
  // How many times the bus was listed (devices()); a test that changes the
  // bus only after the library's first listing knows the library saw the
  // bus as it was.
  int listings() const;

 private:
  // Brings the channel set in line with the mice and posts the differences.
  void refresh_channels();

  mutable std::mutex lock_;
  std::vector<std::shared_ptr<SimHidDevice>> devices_;
  std::map<std::string, std::shared_ptr<SimChannel>> channels_;
  int listings_ = 0;
  // Last: its thread ends before the members it uses go.
  SimScheduler events_;
};

}  // namespace rodiz::sim
