#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>

namespace mirel {

// What the console view needs from the operating system: writing text so
// that it reads right on the terminal, reading the keys that answer the
// window's buttons, and turning the signals that ask a program to stop into
// flags the view looks at between messages.
class ConsoleIo {
 public:
  enum class Key {
    Enter,   // the default button: Start when shown, otherwise Close
    Escape,  // Close
  };
  // Why the process was asked to stop.
  enum class StopRequest {
    None,
    Interrupt,  // Ctrl-C, Ctrl-\, SIGTERM, a console close event
    HangUp,     // the terminal went away: no more output, no more input
  };

  // Called once at start: a write to a closed pipe must fail with an error
  // rather than end the process.
  static void PrepareProcess();
  // Gives standard streams that lead nowhere a console, before the program
  // writes to them. On Windows the program is a window program, which gets
  // no console of its own: the streams are connected to the console of the
  // process that started it, when it has one; otherwise, with `create`, to a
  // new console of the program's own. Streams redirected to a file or a pipe
  // stay as they are. Elsewhere the streams are the terminal's already, and
  // nothing happens.
  static void ConnectConsole(bool create);

  // Whether `out` is an interactive terminal (redrawn progress bar).
  static bool IsTerminal(std::FILE* out);
  // Writes UTF-8 `text` and flushes. On a Windows console it goes through the
  // console's wide-character API, so that every language reads right under
  // any code page; in a file or pipe it is written as UTF-8 bytes. False when
  // the output is gone (a closed pipe, a full disk): the caller stops writing
  // there and goes on with its work.
  static bool Write(std::FILE* out, const std::string& text);

  // Routes the stop signals to TakeStopRequest until RestoreStopSignals.
  static void InstallStopSignals();
  static void RestoreStopSignals();
  // The strongest request since the last call (a hang-up wins over an
  // interrupt), then None until the next signal. Async-signal safe to raise.
  static StopRequest TakeStopRequest();
  // The number of interrupts since the last call, then 0: several can come
  // between two looks at TakeStopRequest. Async-signal safe to raise.
  static unsigned TakeInterruptCount();
  // Raises a request as a signal would (tests, and the platform's own
  // console events).
  static void RaiseStopRequest(StopRequest request);

  // Reads standard input until `stop` is set or the input ends, calling
  // `on_key` for every Enter and Escape. Returns true when the input ended
  // (end of file, a closed terminal, an error), false when `stop` ended it.
  // Runs on a thread of its own; it looks at `stop` at least every 100 ms.
  static bool ReadKeys(const std::atomic<bool>& stop, const std::function<void(Key)>& on_key);
};

}  // namespace mirel
