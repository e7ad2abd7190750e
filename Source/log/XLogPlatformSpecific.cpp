#include "log/XLogPlatformSpecific.h"

#include <algorithm>
#include <climits>

#include "log/xLog.h"

namespace rodiz {

namespace {
// The temporary directory is taken into a buffer of this size and may use at
// most kMaxTempLength characters, leaving room for the log's file names.
constexpr std::size_t kTempBufferSize = 300;
constexpr std::size_t kMaxTempLength = 289;

// "xlog_*_<procname>_<namespace>.dblog" of the folder's plain files: this
// executable's log files only. `newest` gets the latest last-write time.
std::vector<XLogPlatformSpecific::FileEntry> own_log_files(std::vector<XLogPlatformSpecific::FileEntry> all,
                                                           const char* procname, const char* name_space,
                                                           std::uint64_t* newest) {
  const std::string prefix = "xlog_";
  const std::string suffix = std::string("_") + procname + "_" + name_space + ".dblog";
  std::vector<XLogPlatformSpecific::FileEntry> files;
  *newest = 0;
  for (XLogPlatformSpecific::FileEntry& entry : all) {
    const std::string& name = entry.name;
    if (name.size() < prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    *newest = std::max(*newest, entry.last_write);
    files.push_back(std::move(entry));
  }
  return files;
}
}  // namespace

bool XLogPlatformSpecific::log_directory(std::string* directory) {
  char temp[kTempBufferSize];
  const std::size_t length = temp_directory(temp, sizeof temp);
  if (length == 0 || length > kMaxTempLength) return false;
  *directory = std::string(temp, length) + kLogFolder;
  // An existing folder is fine; a failure shows when the file is opened.
  create_directory(*directory);
  *directory += path_separator();
  return true;
}

void XLogPlatformSpecific::purgeOldLogFiles(const char* procname, const char* name_space) {
  constexpr const char* kFunction = "rodiz::XLogPlatformSpecific::purgeOldLogFiles";
  std::string directory;
  if (!log_directory(&directory)) return;
  std::vector<FileEntry> all;
  if (!list_directory(directory, &all)) return;
  std::uint64_t newest = 0;
  std::vector<FileEntry> files = own_log_files(std::move(all), procname, name_space, &newest);
  std::sort(files.begin(), files.end(), [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });

  // Ages count from the newest file, normally the one just opened, not from
  // the clock: a wrong clock cannot wipe the folder.
  for (const FileEntry& file : files) {
    const std::uint64_t days = (newest - file.last_write) / kTicksPerDay;
    const int age = days > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(days);
    const std::string path = directory + file.name;
    if (days < 7) {
      xLogWrite("Untagged", LogVerbose, kFunction, "Keeping %d day old log file %s", age, path.c_str());
      continue;
    }
    unsigned error = 0;
    if (delete_file(path, &error)) {
      xLogWrite("Untagged", LogVerbose, kFunction, "Purging %d day old log file %s", age, path.c_str());
    } else {
      xLogWrite("Untagged", LogWarning, kFunction, "DeleteFile failed on %s, err=%d", path.c_str(),
                static_cast<int>(error));
    }
  }
}

void XLogPlatformSpecific::capLogFolder(const char* procname, const char* name_space, std::uint64_t cap_bytes,
                                        const std::string& current_name) {
  constexpr const char* kFunction = "rodiz::XLogPlatformSpecific::capLogFolder";
  std::string directory;
  if (!log_directory(&directory)) return;
  std::vector<FileEntry> all;
  if (!list_directory(directory, &all)) return;
  std::uint64_t newest = 0;
  std::vector<FileEntry> files = own_log_files(std::move(all), procname, name_space, &newest);
  std::uint64_t total = 0;
  for (const FileEntry& file : files) total += file.size;
  if (total <= cap_bytes) return;

  std::sort(files.begin(), files.end(), [](const FileEntry& a, const FileEntry& b) {
    return a.last_write != b.last_write ? a.last_write < b.last_write : a.name < b.name;
  });
  const auto cap_mb = static_cast<unsigned long long>(cap_bytes / kBytesPerMB);
  for (const FileEntry& file : files) {
    if (total <= cap_bytes) break;
    // The running process's own file stays even when it alone is over the
    // cap: its writer would go on into a file nobody can find.
    if (file.name == current_name) continue;
    const std::string path = directory + file.name;
    unsigned error = 0;
    if (delete_file(path, &error)) {
      xLogWrite("Untagged", LogVerbose, kFunction, "Purging %llu byte log file %s over the %llu MB cap",
                static_cast<unsigned long long>(file.size), path.c_str(), cap_mb);
      total -= file.size;
    } else if (file_vanished(error)) {
      // Another process's purge was quicker; the space is free all the same.
      total -= file.size;
    } else {
      xLogWrite("Untagged", LogWarning, kFunction, "DeleteFile failed on %s, err=%d", path.c_str(),
                static_cast<int>(error));
    }
  }
}

}  // namespace rodiz
