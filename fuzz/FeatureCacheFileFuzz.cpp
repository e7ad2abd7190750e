// Feeds arbitrary bytes to the feature cache file reader, as a file damaged on
// disk or written by someone else, and checks that what it accepts is
// consistent and survives being written and read again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "device/FeatureCacheFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > rodiz::FeatureCacheFile::kMaxFileSize) return 0;
  using rodiz::FeatureCacheFile;
  FeatureCacheFile::Contents contents;
  std::string error;
  const bool ok = FeatureCacheFile::parse(std::string(reinterpret_cast<const char*>(data), size), contents, error);
  if (!ok) {
    if (error.empty() || !contents.entries.empty() || contents.has_cache) std::abort();
    return 0;
  }
  FeatureCacheFile::Entries entries;
  for (const auto& [key, response] : contents.entries) {
    if (!FeatureCacheFile::usable_entry(key, response)) std::abort();
    if ((key[3] & 0x0F) != 0x0A || (response[3] & 0x0F) != 0x0A) std::abort();
    entries.emplace(key, response);
  }
  // Whatever identity and path were read, the written form reads back the same.
  const std::string text = FeatureCacheFile::format(contents.fw, contents.path, entries);
  FeatureCacheFile::Contents again;
  const bool zero_inside = contents.fw.find('\0') != std::string::npos || contents.path.find('\0') != std::string::npos;
  if (!FeatureCacheFile::parse(text, again, error)) {
    if (!zero_inside) std::abort();
    return 0;
  }
  if (again.fw != contents.fw || again.path != contents.path || again.entries.size() != entries.size()) std::abort();
  return 0;
}
