#include "log/xLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace rodiz {

// Minimal writer: every message at level 2 or below to standard error.
bool xLogWrite(const char* tag, unsigned level, const char* function, const char* format, ...) {
  static const bool verbose = std::getenv("RODIZ_VERBOSE") != nullptr;
  if (level > 1 && !verbose) return true;
  char message[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  std::fprintf(stderr, "%u %s %s %s\n", level, tag, function, message);
  return true;
}

bool xAssert(bool condition, const char* expression, const char* file, int line) {
  if (condition) return false;
  xLogWrite("xlog", LogError, "rodiz::xAssert", "%s(%d): ASSERT FAILURE! Expression: %s\n", file, line, expression);
  return true;
}

}  // namespace rodiz
