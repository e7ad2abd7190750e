#pragma once

#include <chrono>

namespace rodiz {

// A bounded busy wait for a condition that another thread is about to make
// true within microseconds. Waking a thread that sleeps on a futex costs more
// than such a wait (most of all on a virtual machine, where the wake-up is an
// interrupt to an idle processor), so hot waits spin a little first and sleep
// only when the condition takes longer.
class SpinWait {
 public:
  // Calls `done` until it returns true or `budget` has passed, with a pause
  // instruction between calls. Returns the last result of `done`. `done` must
  // be cheap and must not block (it reads atomics).
  template <class Predicate>
  static bool Until(Predicate done, std::chrono::nanoseconds budget) {
    if (done()) return true;
    if (budget.count() <= 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + budget;
    for (;;) {
      // A clock read costs more than a pause: look at the clock every few rounds.
      for (int i = 0; i < 16; ++i) {
        Pause();
        if (done()) return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return done();
    }
  }

  // One pause instruction: tells the processor that this is a spin loop (it
  // saves power and gives a sibling hardware thread the core).
  static void Pause();
};

}  // namespace rodiz
