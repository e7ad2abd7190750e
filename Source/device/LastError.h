#pragma once

#include <cstdint>

#include "device/ErrorCode.h"

namespace rodiz {

// The reason for the last failure of a library call on this thread. Every
// failing operation returns false (or an empty result) and leaves its reason
// here; successful operations do not necessarily clear it.
struct LastError {
  ErrorCode code = NoError;
  // A system error number, or the raw error byte of a device error response.
  std::uint32_t system = 0;
  // A static explanatory text, or null.
  const char* text = nullptr;
};

// This thread's record.
LastError& last_error();
ErrorCode last_error_code();
void set_last_error(ErrorCode code, std::uint32_t system = 0, const char* text = nullptr);
void clear_last_error();

}  // namespace rodiz
