#include "examples/SimulatedMouseOnBus.h"

#include <chrono>
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
    // The library subscribes to the bus and then lists it. A removal before
    // that listing would go unseen (the mouse not listed, its removal sent
    // to no one), so the replug waits for the listing; the program then sees
    // the mouse present, its removal and its arrival.
    if (wants_replug && !replug_.joinable()) {
      replug_ = std::thread([this, bus = bus_, mouse = mouse_] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!stopping_ && bus->listings() == 0 && std::chrono::steady_clock::now() < deadline) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (stopping_) return;
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
  stopping_ = true;
  if (replug_.joinable()) replug_.join();
  HidBusFactory::use_bus(nullptr);
  mouse_.reset();
  bus_.reset();
}

}  // namespace rodiz::test
