#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

namespace mirel {

// The controller's message loop where the platform has no window messages:
// posted messages and tasks are delivered first in, first out, and timers
// behave like window timers (each fires every period until killed), all on the
// thread that runs the loop.
class DialogLoop {
 public:
  using Clock = std::chrono::steady_clock;

  // Any thread.
  void post(unsigned message, std::uintptr_t wparam);
  void post_task(std::function<void()> task);
  void quit(int code);

  // The loop's thread.
  void set_timer(unsigned id, unsigned period_ms);
  void kill_timer(unsigned id);

  // Runs until quit(); returns its code.
  int run(const std::function<void(unsigned message, std::uintptr_t wparam)>& on_message,
          const std::function<void(unsigned id)>& on_timer);

 private:
  struct Item {
    unsigned message = 0;
    std::uintptr_t wparam = 0;
    std::function<void()> task;
  };
  struct TimerState {
    Clock::time_point due;
    Clock::duration period;
  };

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<Item> queue_;
  std::map<unsigned, TimerState> timers_;
  bool quit_ = false;
  int code_ = 0;
};

}  // namespace mirel
