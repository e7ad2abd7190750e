#pragma once

#include <cstdint>

namespace rodiz {

// One octet of a report. Reports are std::vector<Byte>; multi-byte parameters
// travel most significant byte first.
using Byte = std::uint8_t;

}  // namespace rodiz
