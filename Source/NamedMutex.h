#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace rodiz {

// A lock shared by every process of the machine under one name, held around
// each exchange with a device so that programs using the same device do not
// interleave their requests. Windows: a named kernel mutex. Linux: an flock on
// a lock file per name (in /run/lock when writable, else the temporary
// directory), with an in-process mutex in front because flock does not
// exclude threads that share one open file.
class NamedMutex {
 public:
  NamedMutex() = default;
  // With a non-empty name, init(name); with `acquire`, also lock().
  explicit NamedMutex(const std::string& name, bool acquire = false);
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;
  ~NamedMutex();

  // Creates or opens the named lock, not owned. False with LastError
  // (SystemCallFailed) when the system refuses.
  bool init(const std::string& name);
  // Waits without limit. False with LastError when the lock was never
  // created: callers must not go on unlocked.
  bool lock();
  void unlock();
  bool valid() const;
  const std::string& name() const { return name_; }

  // The directory that holds the Linux lock files (tests point it elsewhere).
  static std::string lock_directory();
  static void set_lock_directory_for_testing(const std::string& directory);

 private:
  void close();

  std::string name_;
  std::intptr_t handle_ = 0;  // HANDLE on Windows, file descriptor + 1 on Linux
  std::mutex in_process_;
};

}  // namespace rodiz
