#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <system_error>
#include <vector>

#include "app/AppPlatform.h"

namespace mirel {

namespace {

std::filesystem::path HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

// The XDG_DOCUMENTS_DIR entry of user-dirs.dirs, read the way the desktop's
// own lookup reads it: a quoted value that starts with $HOME or '/', with
// backslash escapes; the last valid line wins.
std::filesystem::path XdgDocumentsFolder(const std::filesystem::path& home) {
  std::filesystem::path config;
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  if (configHome != nullptr && configHome[0] == '/') {
    config = configHome;
  } else if (!home.empty()) {
    config = home / ".config";
  } else {
    return {};
  }
  std::ifstream in(config / "user-dirs.dirs");
  std::filesystem::path result;
  std::string line;
  while (std::getline(in, line)) {
    std::size_t p = line.find_first_not_of(" \t");
    static const std::string kKey = "XDG_DOCUMENTS_DIR";
    if (p == std::string::npos || line.compare(p, kKey.size(), kKey) != 0) continue;
    p = line.find_first_not_of(" \t", p + kKey.size());
    if (p == std::string::npos || line[p] != '=') continue;
    p = line.find_first_not_of(" \t", p + 1);
    if (p == std::string::npos || line[p] != '"') continue;
    ++p;
    std::string value;
    if (line.compare(p, 5, "$HOME") == 0) {
      if (home.empty()) continue;
      value = home.string();
      p += 5;
    } else if (p >= line.size() || line[p] != '/') {
      continue;
    }
    for (; p < line.size() && line[p] != '"'; ++p) {
      if (line[p] == '\\' && p + 1 < line.size()) ++p;
      value += line[p];
    }
    result = value;
  }
  return result;
}

}  // namespace

std::filesystem::path AppPlatform::DocumentsFolder(bool createIfMissing) {
  const std::filesystem::path home = HomeFolder();
  std::filesystem::path folder = XdgDocumentsFolder(home);
  if (folder.empty()) {
    if (home.empty()) return {};
    folder = home / "Documents";
  }
  if (createIfMissing) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
  }
  return folder;
}

std::filesystem::path AppPlatform::PersistentDataFolder() {
  std::filesystem::path base;
  const char* cacheHome = std::getenv("XDG_CACHE_HOME");
  if (cacheHome != nullptr && cacheHome[0] == '/') {
    base = cacheHome;
  } else {
    const std::filesystem::path home = HomeFolder();
    if (home.empty()) return {};
    base = home / ".cache";
  }
  std::error_code error;
  std::filesystem::create_directories(base, error);
  const std::filesystem::path folder = base / "mirel-firmware-update";
  // Private: what the mouse answered is nobody else's business.
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
  if (!std::filesystem::is_directory(folder, error)) return {};
  return folder;
}

bool AppPlatform::NewLogFileInUtf16() { return false; }

std::size_t AppPlatform::MaxLogFilePath() { return 0; }

void AppPlatform::WriteDebugOutput(const std::string& utf8Line) {
  std::fwrite(utf8Line.data(), 1, utf8Line.size(), stderr);
}

bool AppPlatform::DebugOutputByDefault() { return false; }

bool AppPlatform::StopProcessForTest() { return ::raise(SIGSTOP) == 0; }

std::string AppPlatform::LocalTimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return {};
  char text[64] = {};
  const std::size_t length = std::strftime(text, sizeof text, "%m/%d/%Y %H:%M:%S", &local);
  return std::string(text, length);
}

AppLogFile::~AppLogFile() { Close(); }

bool AppLogFile::Open(const std::filesystem::path& path, std::uint64_t* existingSize) {
  Close();
  // O_APPEND: a second instance logging at the same time cannot overwrite
  // this one's lines.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return false;
  }
  if (existingSize != nullptr) *existingSize = static_cast<std::uint64_t>(info.st_size);
  m_handle = fd;
  return true;
}

bool AppLogFile::Write(const std::uint8_t* data, std::size_t size) {
  if (m_handle < 0) return false;
  while (size > 0) {
    const ssize_t written = ::write(static_cast<int>(m_handle), data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

void AppLogFile::Close() {
  if (m_handle >= 0) ::close(static_cast<int>(m_handle));
  m_handle = -1;
}

bool AppLogFile::IsOpen() const { return m_handle >= 0; }

}  // namespace mirel
