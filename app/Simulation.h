#pragma once

#include <memory>
#include <string>

namespace rodiz::sim {
class SimBus;
class SimMouse;
class SimReceiver;
}  // namespace rodiz::sim

namespace mirel {

struct AppOptions;

// The simulated mouse the program updates instead of a real one: it expects
// exactly the images this program carries, starts with the version and faults
// the command line gives, and takes the place of the operating system's HID
// bus for as long as this object lives. It is reached by its cable, through
// a simulated receiver it is paired to, or both ways, as the command line says.
class Simulation {
 public:
  Simulation() = default;
  ~Simulation();
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  // False with a message for a bad version or fault list.
  bool Install(const AppOptions& options, std::string* error);
  std::shared_ptr<rodiz::sim::SimMouse> mouse() const { return m_mouse; }
  // Whether the library must accept receivers and the devices behind them.
  bool usesReceiver() const { return m_receiver != nullptr; }

 private:
  std::shared_ptr<rodiz::sim::SimBus> m_bus;
  std::shared_ptr<rodiz::sim::SimMouse> m_mouse;
  std::shared_ptr<rodiz::sim::SimReceiver> m_receiver;
};

}  // namespace mirel
