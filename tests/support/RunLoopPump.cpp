#include "support/RunLoopPump.h"

#include "runtime/CRodiz.h"

namespace rodiz::test {

RunLoopPump::RunLoopPump(std::shared_ptr<IDeviceManager> manager, std::function<void()> call_one)
    : call_one_(call_one ? std::move(call_one) : [] { facade().call_event_from_runloop(); }) {
  if (manager) subscribe(manager, DeliveryImmediate, "RunLoopPump::RunLoopEvent");
}

RunLoopPump::~RunLoopPump() { leave_all(); }

void RunLoopPump::onRunLoopEvent() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++pending_;
  }
  wake_.notify_all();
}

int RunLoopPump::drain() {
  int answered = 0;
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (pending_ == 0) return answered;
      --pending_;
    }
    call_one_();
    ++answered;
  }
}

bool RunLoopPump::run_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    drain();
    if (done()) return true;
    std::unique_lock<std::mutex> guard(lock_);
    if (!wake_.wait_until(guard, deadline, [this] { return pending_ > 0; })) {
      guard.unlock();
      drain();
      return done();
    }
  }
}

}  // namespace rodiz::test
