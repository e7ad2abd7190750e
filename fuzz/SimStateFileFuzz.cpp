// Feeds arbitrary bytes to the reader of the simulated mouse's state file,
// as a damaged or foreign file could hold them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/SimStateFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  rodiz::sim::SimStateFile::State state;
  std::string error;
  if (rodiz::sim::SimStateFile::Parse(text, &state, &error)) {
    // What was accepted is written back the same way.
    rodiz::sim::SimStateFile::State again;
    if (!rodiz::sim::SimStateFile::Parse(rodiz::sim::SimStateFile::Format(state), &again, &error)) __builtin_trap();
  } else if (error.empty()) {
    __builtin_trap();
  }
  return 0;
}
