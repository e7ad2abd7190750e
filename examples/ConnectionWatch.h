#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "device/IDevice.h"
#include "runtime/IDeviceManager.h"
#include "runtime/Subscriber.h"

// The connection_events example's event loop. The library announces each
// event it queues through RunLoopEvent, on any thread; that only wakes the
// thread in run(), which then runs the entry with call_event_from_runloop, so
// the arrival and removal callbacks all run on that one thread. Made, started
// and run on one thread (the program's main thread).
class ConnectionWatch : public rodiz::Subscriber<rodiz::IDeviceManager::ArrivalRemoval>,
                        public rodiz::Subscriber<rodiz::IDeviceManager::RunLoopEvent> {
 public:
  ConnectionWatch() = default;
  // Leaves the library's producers before the members go, since
  // onRunLoopEvent may be running on another thread.
  ~ConnectionWatch() override;

  // Subscribes to the manager's run-loop notifications (immediate delivery)
  // and then to its arrivals and removals (run-loop delivery). False when
  // either subscription fails.
  bool start(const std::shared_ptr<rodiz::IDeviceManager>& manager);

  // Any thread: counts one queued entry and wakes run().
  void onRunLoopEvent() override;
  // The thread in run(): print "arrived"/"removed", the product id and the name.
  void onDeviceArrival(std::shared_ptr<rodiz::IDevice> device) override;
  void onDeviceRemoval(std::shared_ptr<rodiz::IDevice> device) override;

  // Runs queued entries on this thread until `wanted` arrivals and removals
  // (0: any number) have been printed or `deadline` has passed. True when
  // they were (with `wanted` 0: always, at the deadline).
  bool run(int wanted, std::chrono::steady_clock::time_point deadline);

  // Writes "<what> <product id in hex> <name>" and a line feed to standard output.
  static void print(const char* what, const std::shared_ptr<rodiz::IDevice>& device);

 private:
  std::mutex lock_;
  std::condition_variable wake_;
  int pending_ = 0;
  int seen_ = 0;
};
