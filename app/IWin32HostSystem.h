#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirel {

// The Windows calls the update application makes around the host software
// and the machine's power: process snapshots, process handles, the host
// software's named event, the shell, the thread's execution state and the
// shutdown-block reason of a window. Win32HostSystem makes the real calls;
// tests put a fake in its place. Texts are UTF-8 (wide in the real calls);
// a handle is 0 when a call failed.
class IWin32HostSystem {
 public:
  using Handle = std::intptr_t;
  struct ProcessEntry {
    std::uint32_t pid = 0;
    std::string exe_name;  // the image name of the snapshot entry
  };
  // What wait_for_object returns when the object was signalled.
  static constexpr std::uint32_t kWaitObject0 = 0;

  virtual ~IWin32HostSystem() = default;

  // A snapshot of the running processes (0: it failed) and its walk.
  virtual Handle snapshot_processes() = 0;
  virtual bool first_process(Handle snapshot, ProcessEntry* entry) = 0;
  virtual bool next_process(Handle snapshot, ProcessEntry* entry) = 0;
  // A process opened for limited information queries, not inheritable.
  virtual Handle open_process_for_query(std::uint32_t pid) = 0;
  // A process opened for termination and for waiting on its end.
  virtual Handle open_process_for_termination(std::uint32_t pid) = 0;
  // The full image path of `process` in Win32 form, at most 260 characters.
  virtual bool query_full_image_name(Handle process, std::string* path) = 0;
  // The device name `drive` ("C:") maps to.
  virtual bool query_dos_device(const std::string& drive, std::string* device) = 0;
  // A named event opened for modifying its state, not inheritable.
  virtual Handle open_event_for_modify(const std::string& name) = 0;
  virtual bool set_event(Handle event) = 0;
  virtual bool terminate_process(Handle process, std::uint32_t exit_code) = 0;
  // Waits up to `milliseconds` for `object`; kWaitObject0 when it was signalled.
  virtual std::uint32_t wait_for_object(Handle object, std::uint32_t milliseconds) = 0;
  virtual void sleep(std::uint32_t milliseconds) = 0;
  virtual void close_handle(Handle handle) = 0;
  // Opens `path` with the shell's default verb, no parameters, no working
  // directory, shown normally.
  virtual bool shell_open(const std::string& path) = 0;

  // The calling thread's execution state: with `system_required` the system
  // stays awake until it is called again without.
  virtual bool set_execution_state(bool system_required) = 0;
  // The top-level windows of the calling thread.
  virtual std::vector<Handle> thread_windows() = 0;
  virtual bool shutdown_block_reason_create(Handle window, const std::string& reason) = 0;
  virtual bool shutdown_block_reason_destroy(Handle window) = 0;
};

}  // namespace mirel
