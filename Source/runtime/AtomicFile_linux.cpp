#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "runtime/AtomicFile.h"

namespace rodiz {

namespace {

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

// The folder's own entry must reach the disk too, or a crash right after the
// rename can bring the old name back. Best effort: some file systems refuse.
void sync_folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace

AtomicFile::ReadResult AtomicFile::read(const std::string& path, std::size_t max_size, std::string& content) {
  content.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno == EISDIR ? ReadResult::NotAFile : ReadResult::Missing;
  struct stat info {};
  ReadResult result = ReadResult::Read;
  if (::fstat(fd, &info) != 0) {
    result = ReadResult::Failed;
  } else if (!S_ISREG(info.st_mode)) {
    result = ReadResult::NotAFile;
  } else if (static_cast<unsigned long long>(info.st_size) > max_size) {
    result = ReadResult::TooLarge;
  } else {
    // Read to the end rather than trusting the size: the file may change.
    std::vector<char> buffer(64 * 1024);
    for (;;) {
      const ssize_t got = ::read(fd, buffer.data(), buffer.size());
      if (got < 0) {
        if (errno == EINTR) continue;
        result = ReadResult::Failed;
        break;
      }
      if (got == 0) break;
      content.append(buffer.data(), static_cast<std::size_t>(got));
      if (content.size() > max_size) {
        result = ReadResult::TooLarge;
        break;
      }
    }
  }
  ::close(fd);
  if (result != ReadResult::Read) content.clear();
  return result;
}

bool AtomicFile::replace(const std::string& path, const std::string& content) {
  // mkostemp makes a name of our own (mode 0600), so two programs writing the
  // same file never share a temporary file.
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write_all(fd, content.data(), content.size()) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  sync_folder_of(path);
  return true;
}

}  // namespace rodiz
