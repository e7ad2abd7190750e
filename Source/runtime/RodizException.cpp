#include "runtime/RodizException.h"

#include "device/LastError.h"

namespace rodiz {

RodizException::RodizException(ErrorCode code_, unsigned long system_, const char* message_)
    : std::runtime_error(message_ ? message_ : ""), code(code_), system(system_), message(message_) {}

void RodizException::store_in_last_error() const { set_last_error(code, static_cast<std::uint32_t>(system), message); }

}  // namespace rodiz
