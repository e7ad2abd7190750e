// Feeds arbitrary bytes to the pairing cache reader, as a "paired.xml" damaged
// on disk or written by someone else, and checks that what it accepts is
// complete and survives being written and read again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "transport/PairingCacheFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using rodiz::PairingCacheFile;
  if (size > PairingCacheFile::kMaxFileSize) return 0;
  std::vector<PairingCacheFile::Entry> entries;
  std::size_t skipped = 0;
  std::string error;
  if (!PairingCacheFile::parse(std::string(reinterpret_cast<const char*>(data), size), entries, skipped, error)) {
    if (error.empty() || !entries.empty()) std::abort();
    return 0;
  }
  bool zero_inside = false;
  for (const auto& entry : entries) {
    if (entry.path.empty() || entry.pid < 0 || entry.pid > 0xFFFF) std::abort();
    for (const std::string* text : {&entry.path, &entry.name, &entry.radio, &entry.interface}) {
      zero_inside = zero_inside || text->find('\0') != std::string::npos;
    }
  }
  const std::string text = PairingCacheFile::format(entries);
  std::vector<PairingCacheFile::Entry> again;
  if (!PairingCacheFile::parse(text, again, skipped, error)) {
    if (!zero_inside) std::abort();
    return 0;
  }
  if (zero_inside) return 0;
  if (again.size() != entries.size() || skipped != 0) std::abort();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (again[i].path != entries[i].path || again[i].pid != entries[i].pid || again[i].name != entries[i].name ||
        again[i].radio != entries[i].radio || again[i].interface != entries[i].interface) {
      std::abort();
    }
  }
  return 0;
}
