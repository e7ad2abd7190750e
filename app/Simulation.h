#pragma once

#include <memory>
#include <string>

namespace rodiz::sim {
class SimBus;
class SimMouse;
}  // namespace rodiz::sim

namespace mirel {

struct AppOptions;

// The simulated mouse the program updates instead of a real one: it expects
// exactly the images this program carries, starts with the version and faults
// the command line gives, and takes the place of the operating system's HID
// bus for as long as this object lives.
class Simulation {
 public:
  Simulation() = default;
  ~Simulation();
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  // False with a message for a bad version or fault list.
  bool Install(const AppOptions& options, std::string* error);
  std::shared_ptr<rodiz::sim::SimMouse> mouse() const { return m_mouse; }

 private:
  std::shared_ptr<rodiz::sim::SimBus> m_bus;
  std::shared_ptr<rodiz::sim::SimMouse> m_mouse;
};

}  // namespace mirel
