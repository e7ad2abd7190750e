#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "log/XLogPlatformSpecific.h"

namespace rodiz {

namespace {
// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t kEpochDifference = 11644473600ull;

std::uint64_t ticks_from_unix(std::int64_t seconds, long nanoseconds) {
  return (static_cast<std::uint64_t>(seconds) + kEpochDifference) * 10000000ull +
         static_cast<std::uint64_t>(nanoseconds / 100);
}

std::string home_directory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return std::string();
}

// Opens a folder of the log only when it is a real folder (not a link to
// one) that no other user can change: owned by this user (or the superuser,
// who can do anything anyway) and writable by nobody else. -1 otherwise.
// Every file operation of the log goes through such a descriptor, so that
// nobody can swap the folder between the check and the use.
int open_private_folder(const std::string& path) {
  std::string folder = path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || (info.st_uid != ::geteuid() && info.st_uid != 0) ||
      (info.st_mode & 022) != 0) {
    ::close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

// "folder/name" split at its last separator.
bool split_file_path(const std::string& path, std::string* folder, std::string* name) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) return false;
  *folder = slash == 0 ? "/" : path.substr(0, slash);
  *name = path.substr(slash + 1);
  return true;
}
}  // namespace

std::size_t XLogPlatformSpecific::temp_directory(char* buffer, std::size_t size) {
  // The user's state directory, not the shared temporary one: there another
  // user could put a link or a folder of their own in the log's place.
  std::string directory;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') {
    directory = state;
  } else {
    const std::string home = home_directory();
    if (home.empty()) return 0;
    directory = home + "/.local/state";
  }
  if (directory.back() != '/') directory += '/';
  if (directory.size() + 1 > size) return 0;
  std::memcpy(buffer, directory.c_str(), directory.size() + 1);
  return directory.size();
}

char XLogPlatformSpecific::path_separator() { return '/'; }

bool XLogPlatformSpecific::create_directory(const std::string& path) {
  // The folders above are the user's own; made private when missing, as the
  // base directory rules ask.
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0700);
  }
  ::mkdir(path.c_str(), 0700);
  // The log's own folder: a real folder of this user's, readable by nobody
  // else (the log tells which devices were used, and when).
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  const bool mine =
      ::fstat(fd, &info) == 0 && info.st_uid == ::geteuid() && ((info.st_mode & 077) == 0 || ::fchmod(fd, 0700) == 0);
  ::close(fd);
  return mine;
}

void XLogPlatformSpecific::debugger_output(const char* line, std::size_t length) {
  // One write call, so that lines of other threads do not split it.
  while (length > 0) {
    const ssize_t written = ::write(STDERR_FILENO, line, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    line += written;
    length -= static_cast<std::size_t>(written);
  }
}

std::string XLogPlatformSpecific::module_path() {
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return std::string();
  return std::string(path, static_cast<std::size_t>(length));
}

std::optional<std::uint64_t> XLogPlatformSpecific::process_creation_time() {
  // Field 22 of /proc/self/stat is the start in clock ticks after boot; the
  // boot time is "btime" of /proc/stat. The command name (field 2) may hold
  // spaces and parentheses, so fields are counted after its last ')'.
  std::ifstream stat_file("/proc/self/stat");
  std::string stat_line;
  if (!std::getline(stat_file, stat_line)) return std::nullopt;
  const std::size_t close = stat_line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat_line.substr(close + 1));
  std::string field;
  unsigned long long start_ticks = 0;
  for (int index = 3; index <= 22 && (fields >> field); ++index) {
    if (index == 22) start_ticks = std::strtoull(field.c_str(), nullptr, 10);
  }
  std::ifstream system_stat("/proc/stat");
  std::string line;
  unsigned long long boot = 0;
  while (std::getline(system_stat, line)) {
    if (line.compare(0, 6, "btime ") == 0) boot = std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
  if (boot == 0 || start_ticks == 0 || ticks_per_second <= 0) return std::nullopt;
  const auto tps = static_cast<unsigned long long>(ticks_per_second);
  return ticks_from_unix(static_cast<std::int64_t>(boot + start_ticks / tps),
                         static_cast<long>((start_ticks % tps) * 1000000000ull / tps));
}

bool XLogPlatformSpecific::format_local_time(std::time_t seconds, const char* format, char* out, std::size_t size) {
  std::tm local{};
  if (::localtime_r(&seconds, &local) == nullptr) return false;
    // The formats are the log's own constants.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  return std::strftime(out, size, format, &local) != 0;
#pragma GCC diagnostic pop
}

bool XLogPlatformSpecific::list_directory(const std::string& directory, std::vector<FileEntry>* files) {
  const int fd = open_private_folder(directory);
  if (fd < 0) return false;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return false;
  }
  while (const dirent* entry = ::readdir(dir)) {
    struct stat info {};
    if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) continue;
    files->push_back(FileEntry{entry->d_name, ticks_from_unix(info.st_mtim.tv_sec, info.st_mtim.tv_nsec),
                               static_cast<std::uint64_t>(info.st_size)});
  }
  ::closedir(dir);
  return true;
}

bool XLogPlatformSpecific::delete_file(const std::string& path, unsigned* error) {
  std::string folder;
  std::string name;
  if (!split_file_path(path, &folder, &name)) {
    *error = EINVAL;
    return false;
  }
  const int fd = open_private_folder(folder);
  if (fd < 0) {
    *error = static_cast<unsigned>(errno != 0 ? errno : EPERM);
    return false;
  }
  // Relative to the folder that was checked, whatever its name means now,
  // and never through a link. A running log holds a shared lock on its file:
  // deleting it would leave its writer writing into a file nobody can find.
  const int file = ::openat(fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (file < 0) {
    *error = static_cast<unsigned>(errno);
    ::close(fd);
    return false;
  }
  bool deleted = false;
  struct stat info {};
  if (::fstat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = EPERM;
  } else if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? EBUSY : static_cast<unsigned>(errno);
  } else {
    deleted = ::unlinkat(fd, name.c_str(), 0) == 0;
    if (!deleted) *error = static_cast<unsigned>(errno);
  }
  ::close(file);
  ::close(fd);
  return deleted;
}

bool XLogPlatformSpecific::file_vanished(unsigned error) { return error == ENOENT; }

bool XLogPlatformSpecific::caps_log_folder() { return true; }

unsigned XLogPlatformSpecific::process_id() { return static_cast<unsigned>(::getpid()); }

unsigned XLogPlatformSpecific::thread_id() {
  // A system call per message is worth saving.
  thread_local const unsigned id = static_cast<unsigned>(::gettid());
  return id;
}

std::FILE* XLogPlatformSpecific::open_log_file(const std::string& path) {
  std::string folder;
  std::string name;
  if (!split_file_path(path, &folder, &name)) return nullptr;
  const int directory = open_private_folder(folder);
  if (directory < 0) return nullptr;
  // Never through a link planted in the folder; close on exec.
  const int fd = ::openat(directory, name.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  ::close(directory);
  if (fd < 0) return nullptr;
  // Held until the stream is closed or the process ends: delete_file of
  // another process's purge leaves a file with this lock alone.
  (void)::flock(fd, LOCK_SH | LOCK_NB);
  std::FILE* file = ::fdopen(fd, "a+");
  if (file == nullptr) ::close(fd);
  return file;
}

void* XLogPlatformSpecific::allocate_ring(std::size_t bytes) {
  void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  // A hint: where huge pages are off, the ring simply has small ones.
  (void)::madvise(memory, bytes, MADV_HUGEPAGE);
  return memory;
}

void XLogPlatformSpecific::free_ring(void* memory, std::size_t bytes) {
  if (memory != nullptr) (void)::munmap(memory, bytes);
}

// The Windows log thread runs at THREAD_PRIORITY_LOWEST, two steps below
// normal and still well above idle. Its counterpart here is a nice value 5
// above the creating thread's (at most 19), for this thread alone: Linux
// keeps a nice value per thread. Nice 19 would be near idle: under load the
// reader would barely run, its ring would fill, and messages would be
// dropped that a modest priority keeps.
void XLogPlatformSpecific::lower_thread_priority() {
  constexpr int kStepsBelowNormal = 5;
  constexpr int kLowestNice = 19;
  errno = 0;
  const int own = ::getpriority(PRIO_PROCESS, 0);  // this thread's, inherited from its creator
  if (own == -1 && errno != 0) return;
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), std::min(own + kStepsBelowNormal, kLowestNice));
}

}  // namespace rodiz
