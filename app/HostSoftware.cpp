#include "app/HostSoftware.h"

namespace mirel {

// The host software exists on Windows only; until the platform code for it is
// in place, nothing is found and nothing is started on any platform.
std::string HostSoftware::ShutDown(bool* was_running) {
  if (was_running) *was_running = false;
  return std::string();
}

void HostSoftware::Relaunch(const std::string& /*path*/) {}

}  // namespace mirel
