#pragma once

#include <cstdint>
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
  // Joins the log thread after it wrote what it holds, closes the file and
  // forgets what the first call decided: the next xLogWrite starts again, reading its settings from `settings_key`
  // (empty: the executable's own key) and leaving the synchronous mode.
  static void reset(const std::string& settings_key = std::string());
  // Waits until every message stored so far is in the log file, and flushes it.
  static void flush();
  // The size of the log's first buffer, and whether its log thread is held
  // from draining (so that a test can fill a buffer). Takes effect at the
  // next start of the log and stays until changed.
  static void configure_buffer(std::uint32_t entry_count, std::uint32_t text_size, bool reader_held);
  // The open log file, empty when there is none.
  static std::string log_file_path();
  // Puts `path`, opened as the log opens its file, in place of the open file
  // (for example a device that fails every write).
  static bool replace_log_file(const std::string& path);
};

}  // namespace rodiz
