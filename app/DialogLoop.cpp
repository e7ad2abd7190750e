#include "app/DialogLoop.h"

namespace mirel {

void DialogLoop::post(unsigned message, std::uintptr_t wparam) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    queue_.push_back(Item{message, wparam, nullptr});
  }
  wake_.notify_all();
}

void DialogLoop::post_task(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    queue_.push_back(Item{0, 0, std::move(task)});
  }
  wake_.notify_all();
}

void DialogLoop::quit(int code) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!quit_) code_ = code;
    quit_ = true;
  }
  wake_.notify_all();
}

void DialogLoop::set_timer(unsigned id, unsigned period_ms) {
  std::lock_guard<std::mutex> guard(lock_);
  const Clock::duration period = std::chrono::milliseconds(period_ms);
  timers_[id] = TimerState{Clock::now() + period, period};
}

void DialogLoop::kill_timer(unsigned id) {
  std::lock_guard<std::mutex> guard(lock_);
  timers_.erase(id);
}

int DialogLoop::run(const std::function<void(unsigned, std::uintptr_t)>& on_message,
                    const std::function<void(unsigned)>& on_timer) {
  std::unique_lock<std::mutex> guard(lock_);
  while (!quit_) {
    if (!queue_.empty()) {
      Item item = std::move(queue_.front());
      queue_.pop_front();
      guard.unlock();
      if (item.task) {
        item.task();
      } else {
        on_message(item.message, item.wparam);
      }
      guard.lock();
      continue;
    }
    auto next = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (next == timers_.end() || it->second.due < next->second.due) next = it;
    }
    const Clock::time_point now = Clock::now();
    if (next != timers_.end() && next->second.due <= now) {
      const unsigned id = next->first;
      next->second.due = now + next->second.period;
      guard.unlock();
      on_timer(id);
      guard.lock();
      continue;
    }
    if (next == timers_.end()) {
      wake_.wait(guard);
    } else {
      wake_.wait_until(guard, next->second.due);
    }
  }
  return code_;
}

}  // namespace mirel
