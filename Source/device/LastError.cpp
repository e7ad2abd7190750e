#include "device/LastError.h"

namespace rodiz {

LastError& last_error() {
  static thread_local LastError record;
  return record;
}

ErrorCode last_error_code() { return last_error().code; }

void set_last_error(ErrorCode code, std::uint32_t system, const char* text) {
  LastError& record = last_error();
  record.code = code;
  record.system = system;
  record.text = text;
}

void clear_last_error() { set_last_error(NoError); }

}  // namespace rodiz
