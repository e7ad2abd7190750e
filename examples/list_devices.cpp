// Lists the devices the library finds on the computer's HID stack (and behind
// its receivers) with each one's product id, name and firmware version.
//
// Prints one line per device, "C087 Mirel VELOXA Wireless Gaming Mouse 14.2.6",
// or "no devices"; exit status 0, or 1 when the library could not start.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "device/IDevice.h"
#include "features/IFeature0003FirmwareInfo.h"
#include "runtime/CRodiz.h"
#include "runtime/ConfigItem.h"
#include "runtime/Vs2003SingletonThreadCleanup.h"

int main() {
  // First in main: the library's threads are joined when this scope ends,
  // not during static destruction.
  rodiz::Vs2003SingletonThreadCleanup guard;
  rodiz::CRodiz& library = rodiz::facade();

  // Which devices the manager accepts: corded ones and those behind receivers.
  if (!library.config_set(rodiz::item_number(rodiz::ConfigItem::AcceptDirectDevices), true) ||
      !library.config_set(rodiz::item_number(rodiz::ConfigItem::AcceptReceivers), true)) {
    std::fprintf(stderr, "the library could not start\n");
    return 1;
  }

  // Listing connects to the buses on first use. Synchronous calls like these
  // need no run loop: only events go through it.
  const std::vector<std::shared_ptr<rodiz::IDevice>> devices = library.devices();
  if (devices.empty()) std::printf("no devices\n");
  for (const std::shared_ptr<rodiz::IDevice>& device : devices) {
    std::string version = "(no firmware version)";
    // Asking for a feature discovers the device's features the first time;
    // a receiver has none and gives an empty pointer.
    if (auto info = device->feature<rodiz::IFeature0003FirmwareInfo>()) {
      std::string text;
      if (info->GetFwFormattedVersion(&text)) version = text;
    }
    std::printf("%04X %s %s\n", static_cast<unsigned>(device->pid()), device->name().c_str(), version.c_str());
  }
  std::fflush(stdout);
  return 0;
}
