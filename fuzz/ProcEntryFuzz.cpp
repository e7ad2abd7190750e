// Feeds arbitrary bytes to the readers of /proc texts, which other users'
// programs shape (their names, command lines).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/ProcEntry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const char state = mirel::ProcEntry::StateOf(text);
  if (state != 0 && (state < 'A' || state > 'Z')) __builtin_trap();
  std::size_t total = 0;
  for (const auto& argument : mirel::ProcEntry::Arguments(text)) total += argument.size() + 1;
  if (total > size + 1) __builtin_trap();
  const std::string base = mirel::ProcEntry::BaseName(text);
  if (base.size() > size) __builtin_trap();
  if (!mirel::ProcEntry::SameNameIgnoringCase(text, text)) __builtin_trap();
  unsigned long real = 0;
  unsigned long effective = 0;
  mirel::ProcEntry::UidsOf(text, &real, &effective);
  return 0;
}
