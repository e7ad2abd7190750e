#pragma once

#include <memory>
#include <string>

#include "app/HostSoftware.h"
#include "app/IWin32HostSystem.h"

namespace mirel {

// The host software on Windows, through IWin32HostSystem.
//
// ShutDown finds the path of the first running "Moxel.exe" (the snapshot
// walk, each match opened for limited queries, its Win32 image path with a
// device-form path turned into a drive-letter path), then opens the host
// software's shutdown event. When the event exists it is set, the program
// waits 1000 ms and terminates every "Moxel.exe" still in a new snapshot,
// waiting up to 1000 ms for each; the host software is then started again
// at the end. Relaunch opens the path with the shell's default verb. Every
// failure is written to the trace and the walk goes on.
class Win32HostSoftware : public HostSoftware {
 public:
  static constexpr const char* kShutdownEvent = "Global\\Moxel_1.00_GlobalShutdown";

  explicit Win32HostSoftware(std::shared_ptr<IWin32HostSystem> system);

  std::string ShutDown(bool* was_running) override;
  void Relaunch(const std::string& path) override;

  // The path of the first running host software, or empty.
  std::string FindPath();
  // Terminates every running host software.
  void Kill();
  // `path` with a leading device name (as the drive letters A to Z map to,
  // the first match in that order) replaced by its drive letter; unchanged
  // when no drive's device name is a whole leading part of it.
  std::string FromDeviceForm(const std::string& path);

 private:
  std::shared_ptr<IWin32HostSystem> m_system;
};

}  // namespace mirel
