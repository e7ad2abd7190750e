#include "app/Win32HostSoftware.h"

#include "app/AppTrace.h"
#include "app/ProcEntry.h"

namespace mirel {

namespace {

constexpr std::uint32_t kAskWaitMs = 1000;
constexpr std::uint32_t kTerminateWaitMs = 1000;

}  // namespace

Win32HostSoftware::Win32HostSoftware(std::shared_ptr<IWin32HostSystem> system) : m_system(std::move(system)) {}

std::string Win32HostSoftware::ShutDown(bool* was_running) {
  const std::string path = FindPath();
  const IWin32HostSystem::Handle event = m_system->open_event_for_modify(kShutdownEvent);
  if (event != 0) {
    Trace("Setting Shutdown Event...\n");
    m_system->set_event(event);
    m_system->close_handle(event);
    m_system->sleep(kAskWaitMs);
    Kill();
  }
  if (was_running) *was_running = event != 0;
  return path;
}

std::string Win32HostSoftware::FindPath() {
  const IWin32HostSystem::Handle snapshot = m_system->snapshot_processes();
  if (snapshot == 0) {
    Trace("Failed to get a snapshot\n");
    return std::string();
  }
  IWin32HostSystem::ProcessEntry entry;
  if (!m_system->first_process(snapshot, &entry)) {
    Trace("Failed to get first process!\n");
    m_system->close_handle(snapshot);
    return std::string();
  }
  std::string result;
  do {
    if (!ProcEntry::SameNameIgnoringCase(entry.exe_name, kImageName)) continue;
    const IWin32HostSystem::Handle process = m_system->open_process_for_query(entry.pid);
    if (process == 0) {
      Trace("Failed to get process handle!\n");
      continue;
    }
    std::string path;
    const bool found = m_system->query_full_image_name(process, &path);
    m_system->close_handle(process);
    if (found) {
      result = FromDeviceForm(path);
      break;
    }
  } while (m_system->next_process(snapshot, &entry));
  m_system->close_handle(snapshot);
  return result;
}

std::string Win32HostSoftware::FromDeviceForm(const std::string& path) {
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    const std::string drive = std::string(1, letter) + ":";
    std::string device;
    if (!m_system->query_dos_device(drive, &device) || device.empty()) continue;
    // Only a whole leading name: "\Device\HarddiskVolume1" is no part of
    // "\Device\HarddiskVolume10\...", and a name further in is no device form.
    if (path.compare(0, device.size(), device) != 0) continue;
    if (path.size() == device.size() || path[device.size()] == '\\') return drive + path.substr(device.size());
  }
  return path;
}

void Win32HostSoftware::Kill() {
  const IWin32HostSystem::Handle snapshot = m_system->snapshot_processes();
  if (snapshot == 0) {
    Trace("Failed to get a snapshot\n");
    return;
  }
  IWin32HostSystem::ProcessEntry entry;
  if (!m_system->first_process(snapshot, &entry)) {
    Trace("Failed to get first process!\n");
    m_system->close_handle(snapshot);
    return;
  }
  do {
    if (!ProcEntry::SameNameIgnoringCase(entry.exe_name, kImageName)) continue;
    const IWin32HostSystem::Handle process = m_system->open_process_for_termination(entry.pid);
    if (process == 0) {
      Trace("Failed to get process handle!\n");
      continue;
    }
    Trace("Terminating %s...\n", kImageName);
    if (!m_system->terminate_process(process, 0)) Trace("Failed to terminate process %s...\n", kImageName);
    m_system->wait_for_object(process, kTerminateWaitMs);
    m_system->close_handle(process);
  } while (m_system->next_process(snapshot, &entry));
  m_system->close_handle(snapshot);
}

void Win32HostSoftware::Relaunch(const std::string& path) {
  if (path.empty()) return;
  m_system->shell_open(path);
}

}  // namespace mirel
