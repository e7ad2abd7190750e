#include "transport/HidBusFactory.h"

#include <mutex>

#include "transport/EmptyBus.h"

#if defined(_WIN32)
#include "Windows/Win32Bus.h"
#elif defined(__linux__)
#include "Linux/HidrawBus.h"
#include "Linux/HidrawSystem.h"
#endif

namespace rodiz {

namespace {

struct Installed {
  std::mutex lock;
  HidBusFactory::Maker maker;
};

Installed& installed() {
  static Installed instance;
  return instance;
}

// The platform's own HID bus. This is the one place that chooses by platform.
std::shared_ptr<IHardwareBus> platform_bus([[maybe_unused]] std::weak_ptr<IDeviceManager> manager) {
#if defined(_WIN32)
  auto bus = std::make_shared<Win32Bus>(std::move(manager));
  bus->init();
  return bus;
#elif defined(__linux__)
  return std::make_shared<HidrawBus>(std::move(manager), std::make_shared<HidrawSystem>());
#else
  return std::make_shared<EmptyBus>();
#endif
}

}  // namespace

std::shared_ptr<IHardwareBus> HidBusFactory::create(std::weak_ptr<IDeviceManager> manager) {
  Maker maker;
  {
    std::lock_guard<std::mutex> guard(installed().lock);
    maker = installed().maker;
  }
  if (maker) return maker(std::move(manager));
  return platform_bus(std::move(manager));
}

void HidBusFactory::use_bus(Maker maker) {
  std::lock_guard<std::mutex> guard(installed().lock);
  installed().maker = std::move(maker);
}

}  // namespace rodiz
