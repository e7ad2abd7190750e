#pragma once

#include <functional>
#include <memory>

namespace rodiz {

class IDeviceManager;
class IHardwareBus;

// Makes the first link of the bus chain, "the HID bus of the operating
// system": the platform's HID bus chosen by the build, or the bus that the
// program installed with use_bus (the simulated bus).
class HidBusFactory {
 public:
  using Maker = std::function<std::shared_ptr<IHardwareBus>(std::weak_ptr<IDeviceManager> manager)>;

  static std::shared_ptr<IHardwareBus> create(std::weak_ptr<IDeviceManager> manager);
  // Replaces the platform bus from now on; an empty maker restores it.
  static void use_bus(Maker maker);
};

}  // namespace rodiz
