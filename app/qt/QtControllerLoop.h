#pragma once

#include <QObject>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>

namespace mirel {

// The controller's posted messages and timers on Qt's event loop: the one
// adapter between the two. Messages become posted events and timers Qt timers
// of this object, so both reach the controller on the GUI thread, in order,
// through the same loop that runs the window.
//
// Timers behave like window timers: set_timer starts (or restarts) a timer
// that fires every period until kill_timer. With `time_scale` above 1 every
// period is divided by it (at least 1 ms), so that tests and demonstrations
// pass through long waits quickly.
//
// hold() stops deliveries while the window shows something modal (its own
// nested loop would otherwise run the controller inside one of its own
// steps); release() delivers what came meanwhile, in order, from the loop.
class QtControllerLoop : public QObject {
 public:
  using MessageHandler = std::function<void(unsigned message, std::uintptr_t wparam)>;
  using TimerHandler = std::function<void(unsigned id)>;

  QtControllerLoop(MessageHandler onMessage, TimerHandler onTimer, unsigned timeScale = 1);
  ~QtControllerLoop() override;

  // Any thread.
  void post(unsigned message, std::uintptr_t wparam);

  // The GUI thread.
  void set_timer(unsigned id, unsigned periodMs);
  void kill_timer(unsigned id);
  bool timer_running(unsigned id) const { return m_timers.count(id) != 0; }
  // Nested: deliveries resume when every hold has been released.
  void hold();
  void release();

 protected:
  bool event(QEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  struct Delivery {
    bool timer = false;
    unsigned id = 0;  // the message, or the timer's id
    std::uintptr_t wparam = 0;
  };
  void deliver(const Delivery& delivery);

  MessageHandler m_onMessage;
  TimerHandler m_onTimer;
  unsigned m_timeScale;
  std::map<unsigned, int> m_timers;    // controller's id -> Qt's id
  std::map<int, unsigned> m_timerIds;  // Qt's id -> controller's id
  int m_holds = 0;
  std::deque<Delivery> m_held;
};

}  // namespace mirel
