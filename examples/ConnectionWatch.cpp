#include "ConnectionWatch.h"

#include <cstdio>

#include "runtime/CRodiz.h"

ConnectionWatch::~ConnectionWatch() {
  rodiz::Subscriber<rodiz::IDeviceManager::RunLoopEvent>::leave_all();
  rodiz::Subscriber<rodiz::IDeviceManager::ArrivalRemoval>::leave_all();
}

bool ConnectionWatch::start(const std::shared_ptr<rodiz::IDeviceManager>& manager) {
  using Arrivals = rodiz::Subscriber<rodiz::IDeviceManager::ArrivalRemoval>;
  using Wakes = rodiz::Subscriber<rodiz::IDeviceManager::RunLoopEvent>;
  // The waker first, so that no entry is queued unannounced.
  return Wakes::subscribe(manager, rodiz::DeliveryImmediate) && Arrivals::subscribe(manager, rodiz::DeliveryRunLoop);
}

void ConnectionWatch::onRunLoopEvent() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++pending_;
  }
  wake_.notify_one();
}

void ConnectionWatch::onDeviceArrival(std::shared_ptr<rodiz::IDevice> device) {
  print("arrived", device);
  ++seen_;
}

void ConnectionWatch::onDeviceRemoval(std::shared_ptr<rodiz::IDevice> device) {
  print("removed", device);
  ++seen_;
}

bool ConnectionWatch::run(int wanted, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (wanted > 0 && seen_ >= wanted) return true;
    {
      std::unique_lock<std::mutex> hold(lock_);
      if (!wake_.wait_until(hold, deadline, [this] { return pending_ > 0; })) return wanted == 0;
      --pending_;
    }
    // Runs one queued callback (onDeviceArrival, onDeviceRemoval) here.
    rodiz::facade().call_event_from_runloop();
  }
}

void ConnectionWatch::print(const char* what, const std::shared_ptr<rodiz::IDevice>& device) {
  std::printf("%s %04X %s\n", what, static_cast<unsigned>(device->pid()), device->name().c_str());
  std::fflush(stdout);
}
