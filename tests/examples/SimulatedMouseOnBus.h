#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "sim/SimBus.h"
#include "sim/SimMouse.h"

namespace rodiz::test {

// Linked into a copy of an example program, puts a simulated mouse (firmware
// 14.2.6) on a simulated bus in place of the platform's HID bus before main
// runs, so that the unchanged program talks to it. With RODIZ_EXAMPLE_REPLUG=1
// in the environment the mouse is unplugged and plugged in again once, as
// soon as the library has first listed the bus.
//
// Everything is released by a cleanup of the thread-cleanup guard that the
// program puts in main, ahead of the library's own shutdown.
class SimulatedMouseOnBus {
 public:
  SimulatedMouseOnBus();
  ~SimulatedMouseOnBus();
  SimulatedMouseOnBus(const SimulatedMouseOnBus&) = delete;
  SimulatedMouseOnBus& operator=(const SimulatedMouseOnBus&) = delete;

 private:
  void release();

  std::shared_ptr<sim::SimMouse> mouse_;
  std::shared_ptr<sim::SimBus> bus_;
  std::atomic<bool> stopping_{false};
  std::thread replug_;
};

}  // namespace rodiz::test
