#include "NamedMutex.h"

#include <windows.h>

#include "device/LastError.h"
#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "NamedMutex";
HANDLE handle_of(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
}  // namespace

NamedMutex::NamedMutex(const std::string& name, bool acquire) {
  if (!name.empty()) init(name);
  if (acquire) lock();
}

NamedMutex::~NamedMutex() { close(); }

// Windows names kernel objects; there is no directory.
std::string NamedMutex::lock_directory() { return std::string(); }

void NamedMutex::set_lock_directory_for_testing(const std::string& /*directory*/) {}

bool NamedMutex::valid() const { return handle_ != 0; }

bool NamedMutex::init(const std::string& name) {
  close();
  name_ = name;
  xLogWrite(kTag, LogInfo, "rodiz::NamedMutex::init", "Mutex name: %s", name.c_str());
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name.c_str());
  if (mutex == nullptr) {
    const DWORD error = ::GetLastError();
    set_last_error(SystemCallFailed, error, "cannot create the device's named mutex");
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(mutex);
  return true;
}

bool NamedMutex::lock() {
  if (RODIZ_CHECK_FAILED(handle_ != 0 && "hMutex_ != NULL")) {
    set_last_error(SystemCallFailed, 0, "the device's cross-process lock does not exist");
    return false;
  }
  // An abandoned mutex (its owner died mid-exchange) is ours now all the same.
  const DWORD result = ::WaitForSingleObject(handle_of(handle_), INFINITE);
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
    set_last_error(SystemCallFailed, ::GetLastError(), "cannot take the device's named mutex");
    return false;
  }
  return true;
}

void NamedMutex::unlock() {
  if (RODIZ_CHECK_FAILED(handle_ != 0 && "hMutex_ != NULL")) return;
  ::ReleaseMutex(handle_of(handle_));
}

void NamedMutex::close() {
  if (handle_ == 0) return;
  xLogWrite(kTag, LogInfo, "rodiz::NamedMutex::close", "closed handle 0x%08x (hMutex)", static_cast<unsigned>(handle_));
  ::CloseHandle(handle_of(handle_));
  handle_ = 0;
}

}  // namespace rodiz
