#include "runtime/Timer.h"

#include <chrono>

namespace rodiz {

Timer::Timer(int id) : id_(id) {}

Timer::~Timer() { stop(); }

bool Timer::trigger(int ms) {
  // A burst of triggers in the first half of a period keeps its deadline.
  if (thread_ && !halfway_.load()) return false;
  return start(ms);
}

bool Timer::start(int ms) {
  stop();
  halfway_ = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_requested_ = false;
  }
  thread_ = std::make_unique<std::thread>(&Timer::run, this, ms);
  return true;
}

bool Timer::stop() {
  if (!thread_) return true;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_requested_ = true;
  }
  wakeup_.notify_all();
  thread_->join();
  thread_.reset();
  return true;
}

void Timer::run(int ms) {
  // Two waits of half the period each: trigger() looks at the halfway mark.
  // Integer halving makes odd periods expire a millisecond early and
  // periods of 1 or less expire at once.
  const auto half = std::chrono::milliseconds(ms / 2);
  std::unique_lock<std::mutex> guard(lock_);
  wakeup_.wait_until(guard, std::chrono::steady_clock::now() + half, [this] { return stop_requested_; });
  halfway_ = true;
  if (!stop_requested_) {
    wakeup_.wait_until(guard, std::chrono::steady_clock::now() + half, [this] { return stop_requested_; });
  }
  if (!stop_requested_) {
    const int id = id_;
    produce([id](ITimer::TimerEvent* subscriber) { subscriber->onTimerEvent(id); }, "Timer::TimerEvent::onTimerEvent");
  }
}

}  // namespace rodiz
