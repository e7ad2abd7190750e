#include "app/Win32UpdateInhibitor.h"

#include "app/AppTrace.h"

namespace mirel {

Win32UpdateInhibitor::Win32UpdateInhibitor(std::shared_ptr<IWin32HostSystem> system) : m_system(std::move(system)) {}

Win32UpdateInhibitor::~Win32UpdateInhibitor() { Release(); }

bool Win32UpdateInhibitor::Acquire(const std::string& reason) {
  if (m_held) return true;
  if (!m_system->set_execution_state(true)) {
    Trace("The machine cannot be kept awake during the update; the update goes on\n");
    return false;
  }
  m_held = true;
  for (const IWin32HostSystem::Handle window : m_system->thread_windows()) {
    if (m_system->shutdown_block_reason_create(window, reason)) {
      m_windows.push_back(window);
    } else {
      Trace("The window cannot ask Windows to wait with a shutdown during the update\n");
    }
  }
  Trace("The machine is kept awake until the update has finished\n");
  return true;
}

void Win32UpdateInhibitor::Release() {
  if (!m_held) return;
  for (const IWin32HostSystem::Handle window : m_windows) m_system->shutdown_block_reason_destroy(window);
  m_windows.clear();
  m_system->set_execution_state(false);
  m_held = false;
  Trace("The machine may sleep again\n");
}

}  // namespace mirel
