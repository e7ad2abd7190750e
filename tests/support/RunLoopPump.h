#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "runtime/IDeviceManager.h"
#include "runtime/Subscriber.h"

namespace rodiz::test {

// The test's stand-in for the application's GUI thread: it hears RunLoopEvent
// (immediate delivery, any thread) and runs the queued entries on the thread
// that calls drain() or run_until().
class RunLoopPump : public Subscriber<IDeviceManager::RunLoopEvent> {
 public:
  // Subscribes to `manager` (usually the facade's manager); `call_one` runs one
  // entry (default: the facade's call_event_from_runloop).
  explicit RunLoopPump(std::shared_ptr<IDeviceManager> manager, std::function<void()> call_one = {});
  ~RunLoopPump() override;

  void onRunLoopEvent() override;
  // Runs every entry notified so far; returns how many notifications it answered.
  int drain();
  // Runs entries as they come until `done` holds or `timeout` passes.
  bool run_until(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

 private:
  std::function<void()> call_one_;
  std::mutex lock_;
  std::condition_variable wake_;
  int pending_ = 0;
};

}  // namespace rodiz::test
