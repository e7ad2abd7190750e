#pragma once

#include "app/IWin32HostSystem.h"

namespace mirel {

// IWin32HostSystem over the real Windows calls (kernel32, user32, shell32).
class Win32HostSystem : public IWin32HostSystem {
 public:
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
  std::vector<Handle> thread_windows() override;
  bool shutdown_block_reason_create(Handle window, const std::string& reason) override;
  bool shutdown_block_reason_destroy(Handle window) override;
};

}  // namespace mirel
