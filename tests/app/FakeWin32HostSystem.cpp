#include "app/FakeWin32HostSystem.h"

#include <algorithm>

namespace mirel::test {

IWin32HostSystem::Handle FakeWin32HostSystem::add(Object object) {
  last_ += 4;
  handles_[last_] = std::move(object);
  return last_;
}

FakeWin32HostSystem::Process* FakeWin32HostSystem::find(std::uint32_t pid) {
  for (Process& process : processes) {
    if (process.pid == pid) return &process;
  }
  return nullptr;
}

bool FakeWin32HostSystem::running(std::uint32_t pid) const {
  return std::any_of(processes.begin(), processes.end(), [pid](const Process& p) { return p.pid == pid; });
}

IWin32HostSystem::Handle FakeWin32HostSystem::snapshot_processes() {
  if (snapshot_fails) return 0;
  Object snapshot;
  snapshot.kind = "snapshot";
  snapshot.snapshot = processes;
  return add(std::move(snapshot));
}

bool FakeWin32HostSystem::first_process(Handle snapshot, ProcessEntry* entry) {
  if (first_fails) return false;
  handles_.at(snapshot).next = 0;
  return next_process(snapshot, entry);
}

bool FakeWin32HostSystem::next_process(Handle snapshot, ProcessEntry* entry) {
  Object& object = handles_.at(snapshot);
  if (object.next >= object.snapshot.size()) return false;
  const Process& process = object.snapshot[object.next++];
  entry->pid = process.pid;
  entry->exe_name = process.exe_name;
  return true;
}

IWin32HostSystem::Handle FakeWin32HostSystem::open_process_for_query(std::uint32_t pid) {
  const Process* process = find(pid);
  if (process == nullptr || !process->may_query) return 0;
  Object object;
  object.kind = "process";
  object.pid = pid;
  return add(std::move(object));
}

IWin32HostSystem::Handle FakeWin32HostSystem::open_process_for_termination(std::uint32_t pid) {
  const Process* process = find(pid);
  if (process == nullptr || !process->may_terminate) return 0;
  Object object;
  object.kind = "process";
  object.pid = pid;
  return add(std::move(object));
}

bool FakeWin32HostSystem::query_full_image_name(Handle process, std::string* path) {
  const Process* found = find(handles_.at(process).pid);
  if (found == nullptr || found->image_path.empty()) return false;
  *path = found->image_path;
  return true;
}

bool FakeWin32HostSystem::query_dos_device(const std::string& drive, std::string* device) {
  const auto it = dos_devices.find(drive);
  if (it == dos_devices.end()) return false;
  *device = it->second;
  return true;
}

IWin32HostSystem::Handle FakeWin32HostSystem::open_event_for_modify(const std::string& name) {
  calls.push_back("open event " + name);
  if (!event_exists) return 0;
  Object object;
  object.kind = "event";
  return add(std::move(object));
}

bool FakeWin32HostSystem::set_event(Handle event) {
  if (handles_.at(event).kind != "event") return false;
  calls.push_back("set event");
  processes.erase(std::remove_if(processes.begin(), processes.end(), [](const Process& p) { return p.quits_on_event; }),
                  processes.end());
  return true;
}

bool FakeWin32HostSystem::terminate_process(Handle process, std::uint32_t exit_code) {
  const std::uint32_t pid = handles_.at(process).pid;
  calls.push_back("terminate " + std::to_string(pid) + " " + std::to_string(exit_code));
  const Process* found = find(pid);
  if (found == nullptr || found->terminate_fails) return false;
  processes.erase(std::remove_if(processes.begin(), processes.end(), [pid](const Process& p) { return p.pid == pid; }),
                  processes.end());
  return true;
}

std::uint32_t FakeWin32HostSystem::wait_for_object(Handle object, std::uint32_t milliseconds) {
  const std::uint32_t pid = handles_.at(object).pid;
  calls.push_back("wait " + std::to_string(pid) + " " + std::to_string(milliseconds));
  return running(pid) ? 0x102 : kWaitObject0;
}

void FakeWin32HostSystem::sleep(std::uint32_t milliseconds) {
  calls.push_back("sleep " + std::to_string(milliseconds));
}

void FakeWin32HostSystem::close_handle(Handle handle) {
  if (handles_.erase(handle) == 0) calls.push_back("close of an unknown handle");
}

bool FakeWin32HostSystem::shell_open(const std::string& path) {
  shell_opened.push_back(path);
  return true;
}

bool FakeWin32HostSystem::set_execution_state(bool required) {
  if (execution_state_fails) return false;
  system_required = required;
  return true;
}

bool FakeWin32HostSystem::shutdown_block_reason_create(Handle window, const std::string& reason) {
  block_reasons[window] = reason;
  return true;
}

bool FakeWin32HostSystem::shutdown_block_reason_destroy(Handle window) { return block_reasons.erase(window) == 1; }

}  // namespace mirel::test
