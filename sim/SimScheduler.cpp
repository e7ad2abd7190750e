#include "sim/SimScheduler.h"

#include "runtime/SpinWait.h"

namespace rodiz::sim {

namespace {
// How long an idle scheduler looks for a new task before it sleeps. A host
// sends its next request a few microseconds after an answer; a device is
// awake for it, and a sleeping thread would charge the host a wake-up.
constexpr std::chrono::microseconds kIdleSpin{50};
}  // namespace

SimScheduler::SimScheduler() : state_(std::make_shared<State>()), thread_(&SimScheduler::run, state_) {}

SimScheduler::~SimScheduler() {
  std::multimap<Clock::time_point, std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->stop = true;
    ++state_->posts;
    dropped.swap(state_->tasks);
  }
  state_->wake.notify_all();
  if (on_scheduler_thread()) {
    thread_.detach();
  } else {
    thread_.join();
  }
  // `dropped` dies here, outside the lock: its tasks may own other objects.
}

void SimScheduler::post(std::function<void()> task, std::chrono::microseconds delay) {
  post_at(std::move(task), Clock::now() + delay);
}

void SimScheduler::post_at(std::function<void()> task, Clock::time_point due) {
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->stop) return;
    state_->tasks.emplace(due, std::move(task));
    ++state_->posts;
  }
  // Only the scheduler's thread waits on `wake`.
  state_->wake.notify_one();
}

void SimScheduler::wait_idle(std::chrono::milliseconds horizon) {
  std::unique_lock<std::mutex> guard(state_->lock);
  state_->idle.wait(guard, [&] {
    return state_->stop ||
           (!state_->running_task && (state_->tasks.empty() || state_->tasks.begin()->first > Clock::now() + horizon));
  });
}

void SimScheduler::run(std::shared_ptr<State> state) {
  std::unique_lock<std::mutex> guard(state->lock);
  while (!state->stop) {
    if (state->tasks.empty()) {
      state->idle.notify_all();
      const std::uint64_t seen = state->posts.load();
      guard.unlock();
      (void)SpinWait::Until([&] { return state->posts.load() != seen; }, kIdleSpin);
      guard.lock();
      state->wake.wait(guard, [&] { return state->stop || !state->tasks.empty(); });
      continue;
    }
    const auto due = state->tasks.begin()->first;
    if (due > Clock::now()) {
      state->idle.notify_all();
      state->wake.wait_until(guard, due);
      continue;
    }
    std::function<void()> task = std::move(state->tasks.begin()->second);
    state->tasks.erase(state->tasks.begin());
    state->running_task = true;
    guard.unlock();
    task();
    // The task (and what it owns) goes before the lock is taken again.
    task = nullptr;
    guard.lock();
    state->running_task = false;
  }
  state->idle.notify_all();
}

}  // namespace rodiz::sim
