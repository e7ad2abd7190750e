// Prints the devices present, then each device that arrives or leaves, until
// the given number of events has been seen or the given time has passed.
//
//   connection_events [EVENTS [SECONDS]]   (default: 0 events, i.e. until the
//                                           time is up; 10 seconds)
//
// Lines: "present C087 <name>", "arrived C087 <name>", "removed C087 <name>";
// exit status 0 when the events came, 1 when the time ran out first (with
// EVENTS 0: always 0), 2 for a bad command line.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "ConnectionWatch.h"
#include "device/IDevice.h"
#include "runtime/CRodiz.h"
#include "runtime/ConfigItem.h"
#include "runtime/Vs2003SingletonThreadCleanup.h"

namespace {

bool parse_count(const char* text, int limit, int* value) {
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < 0 || parsed > limit) return false;
  *value = static_cast<int>(parsed);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  rodiz::Vs2003SingletonThreadCleanup guard;
  int events = 0;
  int seconds = 10;
  if (argc > 3 || (argc > 1 && !parse_count(argv[1], 1000, &events)) ||
      (argc > 2 && !parse_count(argv[2], 86400, &seconds))) {
    std::fprintf(stderr, "usage: connection_events [EVENTS [SECONDS]]\n");
    return 2;
  }

  rodiz::CRodiz& library = rodiz::facade();
  std::shared_ptr<rodiz::IDeviceManager> manager = library;
  if (!manager || !library.config_set(rodiz::item_number(rodiz::ConfigItem::AcceptDirectDevices), true) ||
      !library.config_set(rodiz::item_number(rodiz::ConfigItem::AcceptReceivers), true)) {
    std::fprintf(stderr, "the library could not start\n");
    return 1;
  }
  ConnectionWatch watch;
  // Subscribing before listing: a device that arrives in between is then
  // announced, not lost.
  if (!watch.start(manager)) {
    std::fprintf(stderr, "could not subscribe to device arrivals\n");
    return 1;
  }
  for (const std::shared_ptr<rodiz::IDevice>& device : library.devices()) ConnectionWatch::print("present", device);
  const bool done = watch.run(events, std::chrono::steady_clock::now() + std::chrono::seconds(seconds));
  return done ? 0 : 1;
}
