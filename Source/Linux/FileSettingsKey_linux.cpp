#include "Linux/FileSettingsKey.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <thread>

#include "device/LastError.h"
#include "log/xLog.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "SettingsKey";
constexpr std::size_t kMaxReportedProblems = 10;

std::mutex& hook_lock() {
  static std::mutex lock;
  return lock;
}
std::function<void()>& before_rename_hook() {
  static std::function<void()> hook;
  return hook;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_nocase(const std::string& a, const char* b) {
  const std::size_t size = std::strlen(b);
  if (a.size() != size) return false;
  for (std::size_t i = 0; i < size; ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The entry of `directory` named `wanted` apart from case: the exact name if
// present, else the first that matches, else `wanted` itself.
std::string resolve(const std::string& directory, const std::string& wanted) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return wanted;
  std::string found;
  while (const dirent* entry = ::readdir(dir)) {
    if (wanted == entry->d_name) {
      found = wanted;
      break;
    }
    if (found.empty() && equal_nocase(wanted, entry->d_name)) found = entry->d_name;
  }
  ::closedir(dir);
  return found.empty() ? wanted : found;
}

std::string parent_of(const std::string& file) { return file.substr(0, file.rfind('/')); }
std::string base_of(const std::string& file) { return file.substr(file.rfind('/') + 1); }

bool make_directories(const std::string& directory) {
  std::string partial;
  std::size_t position = 1;
  for (;;) {
    const std::size_t slash = directory.find('/', position);
    partial = directory.substr(0, slash);
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
    position = slash + 1;
  }
  struct stat info {};
  return ::stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

void sync_directory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Holds the exclusive cross-process lock of one key file. A writer holds it
// for milliseconds; a lock held longer belongs to a stuck or hostile process,
// and the caller (often a window's thread) must not wait on it: after a short
// wait the lock is given up with EWOULDBLOCK, which callers read as "busy".
class FileLock {
 public:
  explicit FileLock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    const auto deadline = std::chrono::steady_clock::now() + FileSettingsKey::kLockWait;
    auto pause = std::chrono::milliseconds(1);
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
        error_ = errno == EWOULDBLOCK ? EWOULDBLOCK : errno;
        ::close(fd_);
        fd_ = -1;
        return;
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return fd_ >= 0; }
  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

enum class LoadStatus { Missing, Read, Unreadable };

struct Loaded {
  LoadStatus status = LoadStatus::Missing;
  int error = 0;
  mode_t mode = 0600;
  // Whether the user may write the file: a write bit, and the system's
  // permission check (which the superuser passes regardless of the bits).
  bool writable = true;
};

// Reads at most one byte more than the parser accepts, so that a huge file
// costs no more than that.
Loaded read_file(const std::string& file, std::string* raw) {
  Loaded result;
  raw->clear();
  // O_NONBLOCK: a FIFO put in the file's place must not hang the reader.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    result.error = errno;
    result.status = errno == ENOENT ? LoadStatus::Missing : LoadStatus::Unreadable;
    return result;
  }
  struct stat info {};
  const bool stated = ::fstat(fd, &info) == 0;
  if (!stated || !S_ISREG(info.st_mode)) {
    result.error = !stated ? errno : S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    result.status = LoadStatus::Unreadable;
    ::close(fd);
    return result;
  }
  result.mode = info.st_mode & 07777;
  result.writable = (info.st_mode & 0222) != 0 && ::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) == 0;
  char buffer[65536];
  for (;;) {
    const std::size_t room = RegExportFile::kMaxFileSize + 1 - raw->size();
    if (room == 0) break;
    const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, room));
    if (got < 0) {
      if (errno == EINTR) continue;
      result.error = errno;
      result.status = LoadStatus::Unreadable;
      ::close(fd);
      return result;
    }
    if (got == 0) break;
    raw->append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  result.status = LoadStatus::Read;
  return result;
}

std::string local_stamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

// Keeps the original of a damaged file beside it before it is rewritten. A
// hard link is instant and exact; a copy serves where links are refused.
bool keep_original(const std::string& file, std::string* backup) {
  const std::string stem = file + ".damaged-" + local_stamp();
  for (int attempt = 0; attempt < 100; ++attempt) {
    *backup = attempt == 0 ? stem : stem + "-" + std::to_string(attempt);
    if (::link(file.c_str(), backup->c_str()) == 0) return true;
    if (errno == EEXIST) continue;
    std::error_code error;
    if (std::filesystem::copy_file(file, *backup, std::filesystem::copy_options::none, error)) {
      const int fd = ::open(backup->c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
      }
      return true;
    }
    if (error != std::errc::file_exists) return false;
  }
  return false;
}

// The file a change is written to: `file` itself, or the file its symbolic
// links lead to (also when that file does not exist yet).
std::string write_target(const std::string& file) {
  struct stat info {};
  if (::lstat(file.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return file;
  std::error_code error;
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(file, error);
  return error || resolved.empty() ? file : resolved.string();
}

}  // namespace

std::string FileSettingsKey::root_directory() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  // Relative values are to be ignored, as the base directory rules say.
  if (config != nullptr && config[0] == '/') return config;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.config";
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return std::string(found->pw_dir) + "/.config";
  }
  return std::string();
}

std::string FileSettingsKey::file_for(const std::string& path) {
  std::vector<std::string> names;
  if (!split_path(path, &names)) return std::string();
  std::string directory = root_directory();
  if (directory.empty()) return std::string();
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  for (std::size_t i = 0; i + 1 < names.size(); ++i) directory += "/" + resolve(directory, names[i]);
  return directory + "/" + resolve(directory, names.back() + ".reg");
}

void FileSettingsKey::set_before_rename_hook_for_testing(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(hook_lock());
  before_rename_hook() = std::move(hook);
}

std::unique_ptr<SettingsKey> SettingsKey::open(const std::string& path, bool writable) {
  const std::string file = FileSettingsKey::file_for(path);
  if (file.empty()) {
    xLogWrite(kTag, LogWarning, "rodiz::SettingsKey::open", "invalid settings key path \"%s\"", path.c_str());
    set_last_error(SystemCallFailed, EINVAL, "invalid settings key path");
    return nullptr;
  }
  // A key with keys below it exists even without values of its own.
  struct stat info {};
  const std::string folder = file.substr(0, file.size() - 4);
  if (::stat(file.c_str(), &info) != 0 && ::stat(folder.c_str(), &info) != 0) return nullptr;
  return std::make_unique<FileSettingsKey>(path, file, writable);
}

std::unique_ptr<SettingsKey> SettingsKey::create(const std::string& path) {
  const std::string file = FileSettingsKey::file_for(path);
  if (file.empty()) {
    xLogWrite(kTag, LogWarning, "rodiz::SettingsKey::create", "invalid settings key path \"%s\"", path.c_str());
    set_last_error(SystemCallFailed, EINVAL, "invalid settings key path");
    return nullptr;
  }
  auto key = std::make_unique<FileSettingsKey>(path, file, true);
  if (!key->ensure_exists()) return nullptr;
  return key;
}

bool SettingsKey::remove(const std::string& path) {
  const std::string file = FileSettingsKey::file_for(path);
  if (file.empty()) {
    xLogWrite(kTag, LogWarning, "rodiz::SettingsKey::remove", "invalid settings key path \"%s\"", path.c_str());
    set_last_error(SystemCallFailed, EINVAL, "invalid settings key path");
    return false;
  }
  std::error_code error;
  std::filesystem::remove_all(file.substr(0, file.size() - 4), error);
  const bool folder_gone = !error;
  const bool file_gone = ::unlink(file.c_str()) == 0 || errno == ENOENT;
  const int unlink_error = errno;
  ::unlink((parent_of(file) + "/." + base_of(file) + ".lock").c_str());
  if (!folder_gone || !file_gone) {
    const int code = folder_gone ? unlink_error : error.value();
    xLogWrite(kTag, LogWarning, "rodiz::SettingsKey::remove", "cannot delete settings key %s, errno=%d", file.c_str(),
              code);
    set_last_error(SystemCallFailed, static_cast<std::uint32_t>(code), "cannot delete the settings key");
    return false;
  }
  return true;
}

FileSettingsKey::FileSettingsKey(std::string path, std::string file, bool writable)
    : SettingsKey(std::move(path)), file_(std::move(file)), writable_(writable) {}

RegExportFile FileSettingsKey::load(bool* found, std::string* raw) {
  const Loaded loaded = read_file(file_, raw);
  *found = loaded.status != LoadStatus::Missing;
  if (loaded.status == LoadStatus::Unreadable) {
    if (!damage_reported_.exchange(true)) {
      xLogWrite(kTag, LogWarning, "rodiz::FileSettingsKey::load", "cannot read settings file %s, errno=%d",
                file_.c_str(), loaded.error);
    }
    return RegExportFile(path());
  }
  RegExportFile parsed = RegExportFile::parse(*raw, path());
  if (parsed.problem_count() != 0 && !damage_reported_.exchange(true)) {
    const auto& problems = parsed.problems();
    for (std::size_t i = 0; i < problems.size() && i < kMaxReportedProblems; ++i) {
      xLogWrite(kTag, LogWarning, "rodiz::FileSettingsKey::load", "settings file %s: %s", file_.c_str(),
                problems[i].c_str());
    }
    if (parsed.problem_count() > kMaxReportedProblems) {
      xLogWrite(kTag, LogWarning, "rodiz::FileSettingsKey::load", "settings file %s: %zu more problems", file_.c_str(),
                parsed.problem_count() - kMaxReportedProblems);
    }
  }
  return parsed;
}

std::optional<RegExportFile::Value> FileSettingsKey::get(const std::string& name, RegExportFile::Type type) {
  bool found = false;
  std::string raw;
  const RegExportFile parsed = load(&found, &raw);
  const RegExportFile::Value* value = parsed.find(name);
  if (value == nullptr || value->type != type) return std::nullopt;
  return *value;
}

std::optional<std::uint32_t> FileSettingsKey::get_dword(const std::string& name) {
  auto value = get(name, RegExportFile::Type::Dword);
  if (!value) return std::nullopt;
  return value->dword;
}

std::optional<std::string> FileSettingsKey::get_string(const std::string& name) {
  auto value = get(name, RegExportFile::Type::String);
  if (!value) return std::nullopt;
  return std::move(value->text);
}

std::optional<std::vector<Byte>> FileSettingsKey::get_binary(const std::string& name) {
  auto value = get(name, RegExportFile::Type::Binary);
  if (!value) return std::nullopt;
  return std::move(value->bytes);
}

bool FileSettingsKey::writable_check(const char* what, const std::string& name) {
  if (!writable_) {
    xLogWrite(kTag, LogWarning, "rodiz::FileSettingsKey::modify", "%s of \"%s\" refused: key %s is open for reading",
              what, name.c_str(), path().c_str());
    set_last_error(SystemCallFailed, EACCES, "the settings key is open for reading only");
    return false;
  }
  if (!RegExportFile::is_valid_value_name(name) || !is_valid_utf8(name)) {
    xLogWrite(kTag, LogWarning, "rodiz::FileSettingsKey::modify", "%s refused: invalid value name in key %s", what,
              path().c_str());
    set_last_error(SystemCallFailed, EINVAL, "invalid settings value name");
    return false;
  }
  return true;
}

bool FileSettingsKey::set_dword(const std::string& name, std::uint32_t value) {
  if (!writable_check("write", name)) return false;
  return modify("write", name, [&](RegExportFile& file) {
    RegExportFile::Value entry;
    entry.name = name;
    entry.type = RegExportFile::Type::Dword;
    entry.dword = value;
    file.set(std::move(entry));
  });
}

bool FileSettingsKey::set_string(const std::string& name, const std::string& value) {
  if (!writable_check("write", name)) return false;
  if (!is_storable_string(value)) {
    xLogWrite(kTag, LogWarning, "rodiz::FileSettingsKey::set_string",
              "write of \"%s\" refused: the text is not valid UTF-8 or holds a NUL character", name.c_str());
    set_last_error(SystemCallFailed, EINVAL, "the text is not storable");
    return false;
  }
  return modify("write", name, [&](RegExportFile& file) {
    RegExportFile::Value entry;
    entry.name = name;
    entry.type = RegExportFile::Type::String;
    entry.text = value;
    file.set(std::move(entry));
  });
}

bool FileSettingsKey::set_binary(const std::string& name, const std::vector<Byte>& value) {
  if (!writable_check("write", name)) return false;
  return modify("write", name, [&](RegExportFile& file) {
    RegExportFile::Value entry;
    entry.name = name;
    entry.type = RegExportFile::Type::Binary;
    entry.bytes = value;
    file.set(std::move(entry));
  });
}

bool FileSettingsKey::remove_value(const std::string& name) {
  if (!writable_check("delete", name)) return false;
  bool found = false;
  std::string raw;
  if (load(&found, &raw).find(name) == nullptr) return true;
  return modify("delete", name, [&](RegExportFile& file) { file.erase(name); });
}

bool FileSettingsKey::ensure_exists() {
  struct stat info {};
  if (::stat(file_.c_str(), &info) == 0) return true;
  return modify("create", "", [](RegExportFile&) {});
}

bool FileSettingsKey::modify(const char* what, const std::string& name,
                             const std::function<void(RegExportFile&)>& change) {
  // A symlinked key file is written where it points: the link stays a link.
  const std::string target = write_target(file_);
  const std::string directory = parent_of(target);
  const std::string base = base_of(target);
  auto fail = [&](const char* step, int error) {
    xLogWrite(kTag, LogWarning, "rodiz::FileSettingsKey::modify", "%s of \"%s\" in %s failed: %s, errno=%d", what,
              name.c_str(), target.c_str(), step, error);
    set_last_error(SystemCallFailed, static_cast<std::uint32_t>(error), "cannot write the settings file");
    return false;
  };
  if (!make_directories(directory)) return fail("cannot create its folder", errno);

  FileLock lock(directory + "/." + base + ".lock");
  if (!lock.held()) return fail("cannot lock it", lock.error());

  // Only the holder of the lock writes temporary files: any left over belong
  // to a writer that died.
  const std::string temp_prefix = "." + base + ".tmp-";
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (std::strncmp(entry->d_name, temp_prefix.c_str(), temp_prefix.size()) == 0) {
        ::unlinkat(::dirfd(dir), entry->d_name, 0);
      }
    }
    ::closedir(dir);
  }

  std::string raw;
  const Loaded loaded = read_file(target, &raw);
  if (loaded.status == LoadStatus::Unreadable) return fail("cannot read it", loaded.error);
  if (loaded.status == LoadStatus::Read && !loaded.writable) {
    // As the registry refuses a protected key: the file is left as it is.
    return fail("the file is read-only", EACCES);
  }
  if (raw.size() > RegExportFile::kMaxFileSize) {
    // Rewriting a file that cannot be read would drop every value in it.
    return fail("the file is too large to be read, so it is not rewritten", EFBIG);
  }
  RegExportFile content = RegExportFile::parse(raw, path());
  change(content);
  const std::string text = content.serialise();
  if (text.size() > RegExportFile::kMaxFileSize) {
    // Its own reader would refuse the result and a later write would lose
    // the values it holds.
    return fail("the file would grow past the size its reader accepts", EFBIG);
  }
  if (loaded.status == LoadStatus::Read && content.problem_count() != 0) {
    std::string backup;
    if (!keep_original(target, &backup)) return fail("cannot keep a copy of the damaged original", errno);
    xLogWrite(kTag, LogWarning, "rodiz::FileSettingsKey::modify",
              "settings file %s could not be read completely; the original is kept as %s", target.c_str(),
              backup.c_str());
  }

  const std::string temp = directory + "/" + temp_prefix + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, loaded.mode);
  if (fd < 0) return fail("cannot create the temporary file", errno);
  if (!write_all(fd, text.data(), text.size()) || ::fsync(fd) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return fail("cannot write the temporary file", error);
  }
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    return fail("cannot write the temporary file", error);
  }
  {
    std::lock_guard<std::mutex> guard(hook_lock());
    if (before_rename_hook()) before_rename_hook()();
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    return fail("cannot replace it", error);
  }
  sync_directory(directory);
  return true;
}

}  // namespace rodiz
