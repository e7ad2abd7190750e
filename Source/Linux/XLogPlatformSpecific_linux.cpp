#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

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
}  // namespace

std::size_t XLogPlatformSpecific::temp_directory(char* buffer, std::size_t size) {
  const char* tmp = std::getenv("TMPDIR");
  std::string directory = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
  if (directory.back() != '/') directory += '/';
  if (directory.size() + 1 > size) return 0;
  std::memcpy(buffer, directory.c_str(), directory.size() + 1);
  return directory.size();
}

char XLogPlatformSpecific::path_separator() { return '/'; }

bool XLogPlatformSpecific::create_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) return true;
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = ::readdir(dir)) {
    struct stat info {};
    if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) continue;
    files->push_back(FileEntry{entry->d_name, ticks_from_unix(info.st_mtim.tv_sec, info.st_mtim.tv_nsec)});
  }
  ::closedir(dir);
  return true;
}

bool XLogPlatformSpecific::delete_file(const std::string& path, unsigned* error) {
  if (::unlink(path.c_str()) == 0) return true;
  *error = static_cast<unsigned>(errno);
  return false;
}

unsigned XLogPlatformSpecific::process_id() { return static_cast<unsigned>(::getpid()); }

unsigned XLogPlatformSpecific::thread_id() {
  // A system call per message is worth saving.
  thread_local const unsigned id = static_cast<unsigned>(::gettid());
  return id;
}

std::FILE* XLogPlatformSpecific::open_log_file(const std::string& path) {
  // "e": close on exec.
  return std::fopen(path.c_str(), "a+e");
}

// Nice 19 for this thread alone: Linux keeps a nice value per thread.
void XLogPlatformSpecific::lower_thread_priority() {
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
}

}  // namespace rodiz
