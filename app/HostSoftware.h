#pragma once

#include <string>

namespace mirel {

// The maker's host gaming software that runs beside the update tool: asked to
// quit at start-up and started again at the end. On platforms where it does
// not run, nothing is found and nothing is started.
class HostSoftware {
 public:
  virtual ~HostSoftware() = default;

  // Asks a running host program to quit and ends what remains. Returns its
  // full path (empty when none was found) and sets `was_running` to whether
  // it answered the request to quit.
  virtual std::string ShutDown(bool* was_running);
  // Starts the program found at `path` again (empty: nothing).
  virtual void Relaunch(const std::string& path);
};

}  // namespace mirel
