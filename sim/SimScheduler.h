#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace rodiz::sim {

// One thread that runs tasks at their due time, in due-time order (tasks due
// at the same time run in the order they were posted). The simulated devices
// and bus use it to answer and to announce things "later", like hardware.
//
// The scheduler may be destroyed from one of its own tasks (a task that drops
// the last owner of the object holding it): the thread then finishes on its
// own, without the object.
class SimScheduler {
 public:
  using Clock = std::chrono::steady_clock;

  SimScheduler();
  // Drops the tasks not yet run and ends the thread (joined unless called
  // from the thread itself).
  ~SimScheduler();
  SimScheduler(const SimScheduler&) = delete;
  SimScheduler& operator=(const SimScheduler&) = delete;

  void post(std::function<void()> task, std::chrono::microseconds delay = std::chrono::microseconds(0));
  // Runs `task` at `due` (at once when that has passed).
  void post_at(std::function<void()> task, Clock::time_point due);
  // Waits until no task is due within `horizon` and none is running. Must
  // not be called from a task.
  void wait_idle(std::chrono::milliseconds horizon = std::chrono::milliseconds(0));
  bool on_scheduler_thread() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  struct State {
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable idle;
    std::multimap<Clock::time_point, std::function<void()>> tasks;
    // Counts posts (written under `lock`), so that the idle thread can look
    // for new work without the lock before it sleeps.
    std::atomic<std::uint64_t> posts{0};
    bool running_task = false;
    bool stop = false;
  };
  static void run(std::shared_ptr<State> state);

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace rodiz::sim
