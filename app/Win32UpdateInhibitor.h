#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/IWin32HostSystem.h"
#include "app/UpdateInhibitor.h"

namespace mirel {

// The lock on Windows: the calling thread's execution state with the
// system-required flag, so that the machine does not sleep, and a
// shutdown-block reason on each top-level window of that thread (the update
// dialog, when there is one), which Windows shows to a user who shuts down.
// Acquire and Release must run on the same thread: the execution state
// belongs to the thread.
class Win32UpdateInhibitor : public UpdateInhibitor {
 public:
  explicit Win32UpdateInhibitor(std::shared_ptr<IWin32HostSystem> system);
  ~Win32UpdateInhibitor() override;
  Win32UpdateInhibitor(const Win32UpdateInhibitor&) = delete;
  Win32UpdateInhibitor& operator=(const Win32UpdateInhibitor&) = delete;

  bool Acquire(const std::string& reason) override;
  void Release() override;
  bool held() const override { return m_held; }

 private:
  std::shared_ptr<IWin32HostSystem> m_system;
  bool m_held = false;
  std::vector<IWin32HostSystem::Handle> m_windows;
};

}  // namespace mirel
