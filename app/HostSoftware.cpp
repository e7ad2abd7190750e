#include "app/HostSoftware.h"

#if defined(_WIN32)
#include "app/Win32HostSoftware.h"
#include "app/Win32HostSystem.h"
#else
#include "app/LinuxHostSoftware.h"
#endif

namespace mirel {

std::unique_ptr<HostSoftware> HostSoftware::ForThisPlatform() {
#if defined(_WIN32)
  return std::make_unique<Win32HostSoftware>(std::make_shared<Win32HostSystem>());
#else
  return std::make_unique<LinuxHostSoftware>();
#endif
}

std::string HostSoftware::ShutDown(bool* was_running) {
  if (was_running) *was_running = false;
  return std::string();
}

void HostSoftware::Relaunch(const std::string& /*path*/) {}

void HostSoftware::TraceOtherUsers(const std::string& /*device_path*/) {}

}  // namespace mirel
