#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#if defined(__MINGW32__)
#define MIREL_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(__MINGW_PRINTF_FORMAT, format_index, first_arg)))
#elif defined(__GNUC__)
#define MIREL_PRINTF_FORMAT(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#else
#define MIREL_PRINTF_FORMAT(format_index, first_arg)
#endif

namespace mirel {

// The application's trace: one printf-style line at a time, prefixed with the
// seconds since program start, written to the debugger output (standard error
// on Linux, only when asked for) and, once opened, to the log file in the
// user's Documents folder. Any thread may trace; each line is written whole.
//
// The log file is UTF-16 little-endian with a byte order mark and CR LF on
// Windows; on Linux it is UTF-8 without a byte order mark and with plain line
// feeds, except that a file that already begins with the UTF-16 byte order
// mark is continued in UTF-16 with CR LF.
//
// Formats are UTF-8 narrow strings rather than wide ones: the wide printf
// formats of the Windows and GNU C libraries disagree (%s, %S, %ls), while the
// narrow ones mean the same everywhere.
class AppTrace {
 public:
  static constexpr const char* kLogFileName = "MirelFirmwareUpdate.log";
  // Longest message after the time prefix, in UTF-16 units (a character
  // beyond U+FFFF counts two), in either encoding of the file, so that a
  // line keeps the same characters everywhere; the cut never splits a
  // character.
  static constexpr std::size_t kMaxMessageLength = 1012;

  // Sets the program start to now. Without it the start is when this code
  // first runs (static initialisation, or the first trace).
  static void StartClock();

  static void Trace(const char* format, ...) MIREL_PRINTF_FORMAT(1, 2);
  static void TraceV(const char* format, va_list args) MIREL_PRINTF_FORMAT(1, 0);

  // Whether lines go to the debugger output (standard error on Linux, where
  // it is off unless the program is asked for it); the log file gets them
  // either way.
  static void SetDebugOutputEnabled(bool enabled);

  // Opens MirelFirmwareUpdate.log in the Documents folder and appends a time
  // stamp header (after the UTF-16 byte order mark when the file is new and
  // UTF-16). False, and no log file, when it cannot be opened.
  static bool OpenLogFile();
  // The same with a chosen file.
  static bool OpenLogFile(const std::filesystem::path& path);
  static void CloseLogFile();
  static bool IsLogFileOpen();
  // Where OpenLogFile() writes; empty when there is no Documents folder or
  // the path would be too long for the platform.
  static std::filesystem::path DefaultLogFilePath();

  // Test seams. An empty function restores the real one. Both are called with
  // the trace lock held, so they must not trace themselves.
  using DebugOutput = std::function<void(const std::string& utf8Line)>;
  using Clock = std::function<double()>;  // seconds since program start
  static void SetDebugOutputForTesting(DebugOutput output);
  // Called with every message (without its time prefix) once it has been
  // written, on the tracing thread and without the trace lock; it may trace.
  using LineWatcher = std::function<void(const std::string& utf8Message)>;
  static void SetLineWatcher(LineWatcher watcher);
  static void SetClockForTesting(Clock clock);
};

// Shorthand for AppTrace::Trace, the form the controller uses.
void Trace(const char* format, ...) MIREL_PRINTF_FORMAT(1, 2);

}  // namespace mirel
