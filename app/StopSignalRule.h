#pragma once

#include <chrono>
#include <optional>

namespace mirel {

// What a stop signal (Ctrl-C, Ctrl-\, SIGTERM) asks of a view, the same in
// every view. Outside the flash it asks to close, like the Close button.
// While the mouse is being flashed (states 3 to 8) the first one only warns,
// since stopping then can leave the mouse without working firmware, and a
// second one within kInsistWindow of that warning stops the program anyway.
class StopSignalRule {
 public:
  enum class Action {
    AskToClose,  // through the controller's close rule
    Warn,        // say what stopping now would do; the update goes on
    Abandon,     // the user insists: stop whatever the state
  };

  // How long a warning waits for the second signal.
  static constexpr std::chrono::seconds kInsistWindow{5};

  // The action for one signal seen at `now` in controller state `state`.
  Action OnInterrupt(int state, std::chrono::steady_clock::time_point now);

 private:
  // When the last signal during a flash was answered with a warning.
  std::optional<std::chrono::steady_clock::time_point> m_warnedAt;
};

}  // namespace mirel
