#include "log/XLogPlatformSpecific.h"

#include <algorithm>
#include <climits>
#include <optional>

#include "log/xLog.h"

namespace rodiz {

namespace {
// The temporary directory is taken into a buffer of this size and may use at
// most kMaxTempLength characters, leaving room for the log's file names.
constexpr std::size_t kTempBufferSize = 300;
constexpr std::size_t kMaxTempLength = 289;

// This executable's log files in the log's folder: its
// "xlog_*_<procname>_<namespace>.dblog" plain files, and the latest of
// their last-write times.
struct OwnLogFiles {
  std::string directory;  // with its trailing separator
  std::vector<XLogPlatformSpecific::FileEntry> files;
  std::uint64_t newest = 0;
};

std::optional<OwnLogFiles> list_own_log_files(const char* procname, const char* name_space) {
  OwnLogFiles own;
  if (!XLogPlatformSpecific::log_directory(&own.directory)) return std::nullopt;
  std::vector<XLogPlatformSpecific::FileEntry> all;
  if (!XLogPlatformSpecific::list_directory(own.directory, &all)) return std::nullopt;
  const std::string prefix = "xlog_";
  const std::string suffix = std::string("_") + procname + "_" + name_space + ".dblog";
  for (XLogPlatformSpecific::FileEntry& entry : all) {
    const std::string& name = entry.name;
    if (name.size() < prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    own.newest = std::max(own.newest, entry.last_write);
    own.files.push_back(std::move(entry));
  }
  return own;
}

// The seven-day rule on `own`; afterwards `own.files` holds the files that
// are still there.
void purge_old(OwnLogFiles& own) {
  constexpr const char* kFunction = "rodiz::XLogPlatformSpecific::purgeOldLogFiles";
  using FileEntry = XLogPlatformSpecific::FileEntry;
  std::sort(own.files.begin(), own.files.end(), [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
  std::vector<FileEntry> kept;
  // Ages count from the newest file, normally the one just opened, not from
  // the clock: a wrong clock cannot wipe the folder.
  for (FileEntry& file : own.files) {
    const std::uint64_t days = (own.newest - file.last_write) / XLogPlatformSpecific::kTicksPerDay;
    const int age = days > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(days);
    const std::string path = own.directory + file.name;
    if (days < 7) {
      xLogWrite("Untagged", LogVerbose, kFunction, "Keeping %d day old log file %s", age, path.c_str());
      kept.push_back(std::move(file));
      continue;
    }
    unsigned error = 0;
    if (XLogPlatformSpecific::delete_file(path, &error)) {
      xLogWrite("Untagged", LogVerbose, kFunction, "Purging %d day old log file %s", age, path.c_str());
    } else {
      xLogWrite("Untagged", LogWarning, kFunction, "DeleteFile failed on %s, err=%d", path.c_str(),
                static_cast<int>(error));
      if (!XLogPlatformSpecific::file_vanished(error)) kept.push_back(std::move(file));
    }
  }
  own.files = std::move(kept);
}

// The size cap on `files` of `directory`, oldest first.
void cap_files(const std::string& directory, std::vector<XLogPlatformSpecific::FileEntry> files,
               std::uint64_t cap_bytes, const std::string& current_name) {
  constexpr const char* kFunction = "rodiz::XLogPlatformSpecific::capLogFolder";
  using FileEntry = XLogPlatformSpecific::FileEntry;
  std::uint64_t total = 0;
  for (const FileEntry& file : files) total += file.size;
  if (total <= cap_bytes) return;

  std::sort(files.begin(), files.end(), [](const FileEntry& a, const FileEntry& b) {
    return a.last_write != b.last_write ? a.last_write < b.last_write : a.name < b.name;
  });
  const auto cap_mb = static_cast<unsigned long long>(cap_bytes / XLogPlatformSpecific::kBytesPerMB);
  for (const FileEntry& file : files) {
    if (total <= cap_bytes) break;
    // The running process's own file stays even when it alone is over the
    // cap: its writer would go on into a file nobody can find.
    if (file.name == current_name) continue;
    const std::string path = directory + file.name;
    unsigned error = 0;
    if (XLogPlatformSpecific::delete_file(path, &error)) {
      xLogWrite("Untagged", LogVerbose, kFunction, "Purging %llu byte log file %s over the %llu MB cap",
                static_cast<unsigned long long>(file.size), path.c_str(), cap_mb);
      total -= file.size;
    } else if (XLogPlatformSpecific::file_vanished(error)) {
      // Another process's purge was quicker; the space is free all the same.
      total -= file.size;
    } else {
      xLogWrite("Untagged", LogWarning, kFunction, "DeleteFile failed on %s, err=%d", path.c_str(),
                static_cast<int>(error));
    }
  }
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
  if (std::optional<OwnLogFiles> own = list_own_log_files(procname, name_space)) purge_old(*own);
}

void XLogPlatformSpecific::capLogFolder(const char* procname, const char* name_space, std::uint64_t cap_bytes,
                                        const std::string& current_name) {
  std::optional<OwnLogFiles> own = list_own_log_files(procname, name_space);
  if (own) cap_files(own->directory, std::move(own->files), cap_bytes, current_name);
}

void XLogPlatformSpecific::tidyLogFolder(const char* procname, const char* name_space, std::uint64_t cap_bytes,
                                         const std::string& current_name) {
  // One listing serves both rules; the cap counts only what the seven-day
  // rule left.
  std::optional<OwnLogFiles> own = list_own_log_files(procname, name_space);
  if (!own) return;
  purge_old(*own);
  if (cap_bytes != 0) cap_files(own->directory, std::move(own->files), cap_bytes, current_name);
}

}  // namespace rodiz
