#pragma once

#include <memory>
#include <string>

namespace mirel {

// The maker's host gaming software that runs beside the update tool: asked to
// quit at start-up and started again at the end. This base finds nothing and
// starts nothing; ForThisPlatform gives the implementation of the platform.
class HostSoftware {
 public:
  // The host software's image name, compared ignoring case.
  static constexpr const char* kImageName = "Moxel.exe";

  virtual ~HostSoftware() = default;

  // The implementation for the platform the program runs on.
  static std::unique_ptr<HostSoftware> ForThisPlatform();

  // Asks a running host program to quit and ends what remains. Returns its
  // full path (empty when none was found) and sets `was_running` to whether
  // it was asked to quit, which decides whether it is started again.
  virtual std::string ShutDown(bool* was_running);
  // Starts the program found at `path` again (empty: nothing). Failures are
  // not reported to the caller.
  virtual void Relaunch(const std::string& path);
  // Writes to the trace which other processes hold the device nodes behind
  // `device_path` open, by name and process id; nothing where the platform
  // cannot tell.
  virtual void TraceOtherUsers(const std::string& device_path);
};

}  // namespace mirel
