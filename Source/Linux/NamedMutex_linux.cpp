#include "NamedMutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "device/LastError.h"
#include "log/xLog.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "NamedMutex";

std::mutex g_directory_lock;
std::string& directory_override() {
  static std::string directory;
  return directory;
}

}  // namespace

// Every process of the machine must reach the same file: /run/lock is made for
// that; without it the temporary directory is the next best shared place.
std::string NamedMutex::lock_directory() {
  {
    std::lock_guard<std::mutex> guard(g_directory_lock);
    if (!directory_override().empty()) return directory_override();
  }
  if (::access("/run/lock", W_OK) == 0) return "/run/lock";
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

namespace {

// Names become file names: anything but letters, digits, '_' and '-' is replaced.
std::string file_name_for(const std::string& name) {
  std::string file = "rodiz-";
  for (char c : name) {
    const bool plain =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    file += plain ? c : '_';
  }
  return file + ".lock";
}

int fd_of(std::intptr_t handle) { return static_cast<int>(handle - 1); }

}  // namespace

NamedMutex::NamedMutex(const std::string& name, bool acquire) {
  if (!name.empty()) init(name);
  if (acquire) lock();
}

NamedMutex::~NamedMutex() { close(); }

void NamedMutex::set_lock_directory_for_testing(const std::string& directory) {
  std::lock_guard<std::mutex> guard(g_directory_lock);
  directory_override() = directory;
}

bool NamedMutex::valid() const { return handle_ != 0; }

bool NamedMutex::init(const std::string& name) {
  close();
  name_ = name;
  xLogWrite(kTag, LogInfo, "rodiz::NamedMutex::init", "Mutex name: %s", name.c_str());
  const std::string path = lock_directory() + "/" + file_name_for(name);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int error = errno;
    xLogWrite(kTag, LogError, "rodiz::NamedMutex::init", "cannot create lock file %s, errno=%d", path.c_str(), error);
    set_last_error(SystemCallFailed, static_cast<std::uint32_t>(error), "cannot create the device's lock file");
    return false;
  }
  // Other users' programs must be able to open the same lock (umask aside).
  ::fchmod(fd, 0666);
  handle_ = static_cast<std::intptr_t>(fd) + 1;
  return true;
}

bool NamedMutex::lock() {
  if (RODIZ_CHECK_FAILED(handle_ != 0 && "hMutex_ != NULL")) {
    set_last_error(SystemCallFailed, 0, "the device's cross-process lock does not exist");
    return false;
  }
  in_process_.lock();
  int result = 0;
  do {
    result = ::flock(fd_of(handle_), LOCK_EX);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const int error = errno;
    in_process_.unlock();
    set_last_error(SystemCallFailed, static_cast<std::uint32_t>(error), "cannot take the device's cross-process lock");
    return false;
  }
  return true;
}

void NamedMutex::unlock() {
  if (RODIZ_CHECK_FAILED(handle_ != 0 && "hMutex_ != NULL")) return;
  ::flock(fd_of(handle_), LOCK_UN);
  in_process_.unlock();
}

void NamedMutex::close() {
  if (handle_ == 0) return;
  xLogWrite(kTag, LogInfo, "rodiz::NamedMutex::close", "closed handle 0x%08x (hMutex)", static_cast<unsigned>(handle_));
  ::close(fd_of(handle_));
  handle_ = 0;
}

}  // namespace rodiz
