// Feeds arbitrary bytes to the reader of the settings store's export format,
// as a file damaged on disk or edited by hand, and checks that what it keeps
// is written out in a form that reads back without a problem and unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Linux/RegExportFile.h"

namespace {
const std::string kKey = "HKEY_CURRENT_USER\\Software\\Orvantis\\Mirel Firmware Update v7";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > rodiz::RegExportFile::kMaxFileSize) return 0;
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  const rodiz::RegExportFile first = rodiz::RegExportFile::parse(content, kKey);
  if (first.problems().size() > rodiz::RegExportFile::kMaxProblemTexts) std::abort();
  if (first.problems().size() > first.problem_count()) std::abort();

  const std::string written = first.serialise();
  const rodiz::RegExportFile second = rodiz::RegExportFile::parse(written, kKey);
  if (second.problem_count() != 0) std::abort();
  if (second.serialise() != written) std::abort();
  return 0;
}
