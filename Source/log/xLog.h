#pragma once

#if defined(__MINGW32__)
#define RODIZ_PRINTF_FORMAT(format_index, first_arg) __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define RODIZ_PRINTF_FORMAT(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#endif

namespace rodiz {

// Levels of xLogWrite.
enum LogLevel : unsigned {
  LogError = 0,
  LogWarning = 1,
  LogInfo = 2,
  LogDebug = 3,
  LogVerbose = 4,
};

// The library's log call. `tag` names the calling class ("Untagged" without
// one); a format beginning "-word- " carries an inline tag instead. `function`
// is the qualified name of the caller; a full signature is accepted.
// Returns false only when the message was lost because the log buffer was
// full; filtered and disabled messages return true. A message that no output
// wants is not formatted.
bool xLogWrite(const char* tag, unsigned level, const char* function, const char* format, ...)
    RODIZ_PRINTF_FORMAT(4, 5);

// Logs `message` as it is once the log has started: at once when it has,
// otherwise when the first xLogWrite starts it (after the header), so that
// announcements made during static initialisation do not start the log (and
// make its file) by themselves. Dropped when the log never starts or is off.
void xLogWriteWhenStarted(const char* tag, unsigned level, const char* function, const char* message);

// Turns the log off for the rest of the process if it has not started yet:
// nothing is written and no file or folder is made, as with "logging" set to
// 0. For a program that learns early that this run needs no log (it only
// prints its help). Returns whether the log is off; a log that has started
// already stays on.
bool xLogTurnOffUnlessStarted();

// Logs an assertion failure at level 0 and returns true when `condition` is
// false; returns false silently otherwise. Execution goes on either way.
bool xAssert(bool condition, const char* expression, const char* file, int line);

}  // namespace rodiz

// Logs under the caller's own signature as function name.
#define RODIZ_LOG(tag, level, ...) ::rodiz::xLogWrite(tag, level, __PRETTY_FUNCTION__, __VA_ARGS__)
// True when `condition` does not hold, after logging the failure; so that
// `if (RODIZ_CHECK_FAILED(ptr != nullptr)) return;` reads as it behaves.
#define RODIZ_CHECK_FAILED(condition) ::rodiz::xAssert(static_cast<bool>(condition), #condition, __FILE__, __LINE__)
