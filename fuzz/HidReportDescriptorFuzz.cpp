// Feeds arbitrary bytes to the report-descriptor parser, as the descriptor of
// a hostile or broken device, and checks what it accepts for consistency.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "transport/HidReportDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  rodiz::HidReportDescriptor descriptor;
  std::string error;
  const bool ok = descriptor.parse(data, size, error);
  if (!ok && error.empty()) std::abort();
  if (!ok && !descriptor.collections().empty()) std::abort();
  for (const rodiz::HidCollection& collection : descriptor.collections()) {
    // A report never exceeds the largest buffer a HID stack allows.
    if (collection.input_length > 16384 + 1 || collection.output_length > 16384 + 1) std::abort();
  }
  return 0;
}
