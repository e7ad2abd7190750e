#pragma once

#include <functional>
#include <string>

namespace rodiz {

// Seams of the process-wide log for tests and benchmarks. Each call is for a
// moment when no other thread logs.
class XLogTesting {
 public:
  // Console lines go to `sink` instead of standard output (output 1) and the
  // debugger output (output 2); an empty sink restores the real outputs.
  using ConsoleSink = std::function<void(unsigned output, const std::string& line)>;
  static void set_console_sink(ConsoleSink sink);
  // Closes the file and forgets what the first call decided: the next
  // xLogWrite starts again, reading its settings from `settings_key` (empty:
  // the executable's own key) and leaving the synchronous mode.
  static void reset(const std::string& settings_key = std::string());
  // The open log file, empty when there is none.
  static std::string log_file_path();
  // Puts `path`, opened as the log opens its file, in place of the open file
  // (for example a device that fails every write).
  static bool replace_log_file(const std::string& path);
};

}  // namespace rodiz
