#include "examples/SimulatedMouseOnBus.h"

#include <cstdlib>
#include <cstring>

#include "runtime/Vs2003SingletonThreadCleanup.h"
#include "transport/HidBusFactory.h"

namespace rodiz::test {

namespace {
// One per program, made before main.
SimulatedMouseOnBus installed;
}  // namespace

SimulatedMouseOnBus::SimulatedMouseOnBus()
    : mouse_(std::make_shared<sim::SimMouse>(sim::SimMouseConfig{})), bus_(std::make_shared<sim::SimBus>()) {
  bus_->add(mouse_);
  const char* replug = std::getenv("RODIZ_EXAMPLE_REPLUG");
  const bool wants_replug = replug != nullptr && std::strcmp(replug, "1") == 0;
  HidBusFactory::use_bus([this, wants_replug](std::weak_ptr<IDeviceManager>) {
    // The manager lists the bus it is given at once, before any event of
    // this bus can reach it through the run loop: the mouse is known as
    // present, so the program sees its removal and then its arrival.
    if (wants_replug && !replug_.joinable()) {
      replug_ = std::thread([bus = bus_, mouse = mouse_] {
        bus->remove(mouse);
        bus->wait_idle();
        bus->add(mouse);
        bus->wait_idle();
      });
    }
    return bus_;
  });
  Vs2003SingletonThreadCleanup::register_cleanup([this] { release(); });
}

SimulatedMouseOnBus::~SimulatedMouseOnBus() { release(); }

void SimulatedMouseOnBus::release() {
  if (replug_.joinable()) replug_.join();
  HidBusFactory::use_bus(nullptr);
  mouse_.reset();
  bus_.reset();
}

}  // namespace rodiz::test
