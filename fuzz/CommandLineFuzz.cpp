// Feeds arbitrary argument lists (NUL-separated) to the command-line reader:
// whatever a shell or a shortcut passes, it answers or refuses with a message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\0') {
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  mirel::AppOptions options;
  std::string error;
  if (!mirel::CommandLine::Parse(args, &options, &error) && error.empty()) std::abort();
  // The historic options alone never fail and never stop the program.
  for (const std::string& arg : args) {
    mirel::AppOptions historic;
    mirel::CommandLine::ParseToolArgument(arg, &historic);
  }
  return 0;
}
