#pragma once

#include <string>
#include <vector>

#include "app/CommandLine.h"

namespace mirel {

// The application object: reads the command line, runs the update window with
// its controller, and shuts the device library down at the end.
class CMirelDFUApp {
 public:
  // Exit statuses (also in --help).
  static constexpr int kExitSuccess = 0;
  static constexpr int kExitUpdateFailed = 1;
  static constexpr int kExitBadCommandLine = 2;
  static constexpr int kExitClosedEarly = 3;

  // Runs the program; `args` without the program name. The caller's main()
  // holds the thread-cleanup guard.
  int Run(const std::string& program, const std::vector<std::string>& args);

  const AppOptions& options() const { return m_options; }

 private:
  AppOptions m_options;
};

}  // namespace mirel
