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
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "device/IDevice.h"
#include "runtime/CRodiz.h"
#include "runtime/ConfigItem.h"
#include "runtime/Subscriber.h"
#include "runtime/Vs2003SingletonThreadCleanup.h"

namespace {

// The program's event loop: the library announces each queued event through
// RunLoopEvent on any thread; this wakes main's thread, which runs the entry
// with call_event_from_runloop, so the arrival and removal callbacks below all
// run on main's thread.
class ConnectionWatch : public rodiz::Subscriber<rodiz::IDeviceManager::ArrivalRemoval>,
                        public rodiz::Subscriber<rodiz::IDeviceManager::RunLoopEvent> {
 public:
  ~ConnectionWatch() override {
    // Callbacks of RunLoopEvent come from other threads: leave before the
    // members go.
    rodiz::Subscriber<rodiz::IDeviceManager::RunLoopEvent>::leave_all();
    rodiz::Subscriber<rodiz::IDeviceManager::ArrivalRemoval>::leave_all();
  }

  bool start(const std::shared_ptr<rodiz::IDeviceManager>& manager) {
    using Arrivals = rodiz::Subscriber<rodiz::IDeviceManager::ArrivalRemoval>;
    using Wakes = rodiz::Subscriber<rodiz::IDeviceManager::RunLoopEvent>;
    // The waker first (immediate delivery: it only wakes this thread), so
    // that no entry is queued unannounced.
    return Wakes::subscribe(manager, rodiz::DeliveryImmediate) && Arrivals::subscribe(manager, rodiz::DeliveryRunLoop);
  }

  // Any thread.
  void onRunLoopEvent() override {
    {
      std::lock_guard<std::mutex> hold(lock_);
      ++pending_;
    }
    wake_.notify_one();
  }

  // Main's thread, from call_event_from_runloop.
  void onDeviceArrival(std::shared_ptr<rodiz::IDevice> device) override {
    print("arrived", device);
    ++seen_;
  }
  void onDeviceRemoval(std::shared_ptr<rodiz::IDevice> device) override {
    print("removed", device);
    ++seen_;
  }

  // Runs queued entries on this thread until `wanted` events (0: none) have
  // been printed or `deadline` has passed; true when they were.
  bool run(int wanted, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      if (wanted > 0 && seen_ >= wanted) return true;
      {
        std::unique_lock<std::mutex> hold(lock_);
        if (!wake_.wait_until(hold, deadline, [this] { return pending_ > 0; })) return wanted == 0;
        --pending_;
      }
      rodiz::facade().call_event_from_runloop();
    }
  }

  static void print(const char* what, const std::shared_ptr<rodiz::IDevice>& device) {
    std::printf("%s %04X %s\n", what, static_cast<unsigned>(device->pid()), device->name().c_str());
    std::fflush(stdout);
  }

 private:
  std::mutex lock_;
  std::condition_variable wake_;
  int pending_ = 0;
  int seen_ = 0;
};

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
