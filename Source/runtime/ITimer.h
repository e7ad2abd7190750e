#pragma once

namespace rodiz {

// A one-shot delay that announces its expiry as TimerEvent on a thread of its
// own. Owners normally subscribe with run-loop delivery.
class ITimer {
 public:
  class TimerEvent {
   public:
    virtual void onTimerEvent(int /*id*/) {}
    virtual ~TimerEvent() = default;
  };

  virtual ~ITimer() = default;
  // Starts the timer unless a run started less than half a period ago is
  // still pending; false when it left that run alone.
  virtual bool trigger(int ms) = 0;
  // (Re)starts the timer for `ms` milliseconds; always true.
  virtual bool start(int ms) = 0;
  // Cancels a pending run without an event and joins its thread; always true.
  virtual bool stop() = 0;
};

}  // namespace rodiz
