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

// Logs an assertion failure at level 0 and returns true when `condition` is
// false; returns false silently otherwise. Execution goes on either way.
bool xAssert(bool condition, const char* expression, const char* file, int line);

}  // namespace rodiz

// Logs under the caller's own signature as function name.
#define RODIZ_LOG(tag, level, ...) ::rodiz::xLogWrite(tag, level, __PRETTY_FUNCTION__, __VA_ARGS__)
// True when `condition` does not hold, after logging the failure; so that
// `if (RODIZ_CHECK_FAILED(ptr != nullptr)) return;` reads as it behaves.
#define RODIZ_CHECK_FAILED(condition) ::rodiz::xAssert(static_cast<bool>(condition), #condition, __FILE__, __LINE__)
