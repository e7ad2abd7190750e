#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/IWin32HostSystem.h"

namespace mirel::test {

// IWin32HostSystem as a list of made-up processes. Setting the shutdown
// event ends the processes that wait on it; terminating ends one. Every
// handle is counted, so a test can see that none is left open.
class FakeWin32HostSystem : public IWin32HostSystem {
 public:
  struct Process {
    std::uint32_t pid = 0;
    std::string exe_name;
    std::string image_path;      // what query_full_image_name gives
    bool quits_on_event = true;  // ends when the shutdown event is set
    bool may_query = true;       // open_process_for_query succeeds
    bool may_terminate = true;   // open_process_for_termination succeeds
    bool terminate_fails = false;
  };

  std::vector<Process> processes;
  bool event_exists = false;
  bool snapshot_fails = false;
  bool first_fails = false;
  std::map<std::string, std::string> dos_devices;  // "C:" -> "\Device\HarddiskVolume3"
  bool execution_state_fails = false;
  std::vector<Handle> windows;

  // What happened.
  std::vector<std::string> calls;  // "sleep 1000", "terminate 12", "wait 12 1000", "shell <path>", ...
  std::vector<std::string> shell_opened;
  bool system_required = false;
  std::map<Handle, std::string> block_reasons;
  int open_handles() const { return static_cast<int>(handles_.size()); }
  bool running(std::uint32_t pid) const;

  Handle snapshot_processes() override;
  bool first_process(Handle snapshot, ProcessEntry* entry) override;
  bool next_process(Handle snapshot, ProcessEntry* entry) override;
  Handle open_process_for_query(std::uint32_t pid) override;
  Handle open_process_for_termination(std::uint32_t pid) override;
  bool query_full_image_name(Handle process, std::string* path) override;
  bool query_dos_device(const std::string& drive, std::string* device) override;
  Handle open_event_for_modify(const std::string& name) override;
  bool set_event(Handle event) override;
  bool terminate_process(Handle process, std::uint32_t exit_code) override;
  std::uint32_t wait_for_object(Handle object, std::uint32_t milliseconds) override;
  void sleep(std::uint32_t milliseconds) override;
  void close_handle(Handle handle) override;
  bool shell_open(const std::string& path) override;
  bool set_execution_state(bool system_required) override;
  std::vector<Handle> thread_windows() override { return windows; }
  bool shutdown_block_reason_create(Handle window, const std::string& reason) override;
  bool shutdown_block_reason_destroy(Handle window) override;

 private:
  struct Object {
    std::string kind;  // "snapshot", "process", "event"
    std::uint32_t pid = 0;
    std::vector<Process> snapshot;
    std::size_t next = 0;
  };
  Handle add(Object object);
  Process* find(std::uint32_t pid);

  Handle last_ = 0x100;
  std::map<Handle, Object> handles_;
};

}  // namespace mirel::test
