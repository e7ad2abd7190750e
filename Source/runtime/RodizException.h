#pragma once

#include <stdexcept>

#include "device/ErrorCode.h"

namespace rodiz {

// Thrown only by the platform wrappers when a system library or call fails,
// and caught at bus and channel entry points, where it becomes LastError. It
// never crosses the facade.
class RodizException : public std::runtime_error {
 public:
  // `message` must be a static string; it is also what() returns.
  RodizException(ErrorCode code, unsigned long system, const char* message);

  // Copies the three values into this thread's LastError.
  void store_in_last_error() const;

  ErrorCode code;
  unsigned long system;
  const char* message;
};

}  // namespace rodiz
