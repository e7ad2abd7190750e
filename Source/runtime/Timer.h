#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "runtime/ITimer.h"
#include "runtime/Producer.h"

namespace rodiz {

// A one-shot timer: each run is one thread that waits two half periods on a
// condition variable and then raises onTimerEvent(id) with the timer's lock
// held. start, trigger, stop and destruction are for the owner's thread; never
// call them from the timer's own thread (it would join itself).
class Timer : public ITimer, public Producer<ITimer::TimerEvent>, public std::enable_shared_from_this<Timer> {
 public:
  explicit Timer(int id);
  // Cancels a pending run without an event.
  ~Timer() override;

  bool trigger(int ms) override;
  bool start(int ms) override;
  bool stop() override;

 private:
  void run(int ms);

  std::unique_ptr<std::thread> thread_;
  bool stop_requested_ = false;
  std::condition_variable wakeup_;
  std::mutex lock_;
  const int id_;
  std::atomic<bool> halfway_{false};
};

}  // namespace rodiz
