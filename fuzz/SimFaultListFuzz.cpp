// Feeds arbitrary text to the check of the simulated mouse's fault list, as
// a command line could hold it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/SimFaultList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  if (!mirel::SimFaultList::Check(text, &error) && error.empty()) __builtin_trap();
  return 0;
}
