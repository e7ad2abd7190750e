#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace rodiz {

// What the log needs from the operating system. Times of files and of the
// process are in 100-ns units since 1601-01-01 UTC on every platform.
class XLogPlatformSpecific {
 public:
  struct FileEntry {
    std::string name;
    std::uint64_t last_write = 0;
    std::uint64_t size = 0;  // bytes
  };

  // Days between two times of this unit.
  static constexpr std::uint64_t kTicksPerDay = 864000000000ull;
  // The unit of the folder's size cap.
  static constexpr std::uint64_t kBytesPerMB = 1024ull * 1024ull;
  // The log's folder below the directory temp_directory() gives.
  static constexpr const char* kLogFolder = "xlog_orvantis";

  // The directory that holds the log's folder, with its trailing separator,
  // written into `buffer` of `size` characters; its length, or 0 when there
  // is none or it does not fit. Windows: the temporary directory
  // (GetTempPathA). Linux: the user's state directory ($XDG_STATE_HOME,
  // default ~/.local/state), because the shared temporary directory would
  // let another user redirect the log and its purge.
  static std::size_t temp_directory(char* buffer, std::size_t size);
  static char path_separator();
  // True when the directory exists afterwards (on Linux: private to the
  // user, mode 0700, neither a link nor another user's folder).
  static bool create_directory(const std::string& path);
  // One line to the debugger (Windows: OutputDebugStringA; Linux: standard error).
  static void debugger_output(const char* line, std::size_t length);
  // The full path of the running executable; empty when unknown.
  static std::string module_path();
  static std::optional<std::uint64_t> process_creation_time();
  // strftime of `seconds` in local time; false when it does not fit.
  static bool format_local_time(std::time_t seconds, const char* format, char* out, std::size_t size);
  // The plain files of `directory` (with its trailing separator).
  static bool list_directory(const std::string& directory, std::vector<FileEntry>* files);
  // False with the system's error number in `error`. A log file that a
  // running process still writes is refused: Windows refuses an open file
  // (ERROR_SHARING_VIOLATION), Linux one whose writer holds its lock (EBUSY).
  static bool delete_file(const std::string& path, unsigned* error);
  // Whether `error` of delete_file means that the file was already gone.
  static bool file_vanished(unsigned error);
  // Whether the log keeps its folder under a size cap (capLogFolder). Linux:
  // yes, the state directory is kept between runs and nothing else cleans
  // it. Windows: no, the temporary directory is the system's to clean.
  static bool caps_log_folder();
  static unsigned process_id();
  static unsigned thread_id();
  // Lowers the calling thread's scheduling priority a little, for the log
  // thread: Windows THREAD_PRIORITY_LOWEST; Linux a nice value 5 above the
  // thread's own (at most 19). Never idle: the reader must keep pace with
  // busy writers. Failures are ignored.
  static void lower_thread_priority();
  // Memory for a log ring of `bytes` that reads as zeros, or null when there
  // is none. Linux asks for huge pages: a writer that first touches the
  // text then meets a page fault once per 2 MB instead of once per 4 KB.
  // Windows: VirtualAlloc.
  static void* allocate_ring(std::size_t bytes);
  static void free_ring(void* memory, std::size_t bytes);
  // For appending and reading, not inherited by child processes. Lines are
  // written with their own CR LF, so the stream does not translate. On Linux
  // the stream holds a shared lock on the file while it is open, so that
  // another process's delete_file leaves it alone.
  static std::FILE* open_log_file(const std::string& path);

  // The log's folder with its trailing separator, created when missing;
  // false when the temporary directory is unavailable or longer than 289
  // characters.
  static bool log_directory(std::string* directory);
  // Deletes this executable's log files that are seven days or more older
  // than its newest one; other executables' files are never touched.
  static void purgeOldLogFiles(const char* procname, const char* name_space);
  // Deletes this executable's log files, oldest (last written) first, until
  // together they take at most `cap_bytes`; the file named `current_name`
  // (the running process's, in the log's folder), files that another running
  // process writes, links and other executables' or programs' files are never
  // deleted, and only this executable's files count. Sizes are the files'
  // lengths, not the disk blocks they take.
  static void capLogFolder(const char* procname, const char* name_space, std::uint64_t cap_bytes,
                           const std::string& current_name);
  // The log's start: purgeOldLogFiles, then capLogFolder on the files it
  // left, from one listing of the folder; a `cap_bytes` of 0 applies no cap.
  static void tidyLogFolder(const char* procname, const char* name_space, std::uint64_t cap_bytes,
                            const std::string& current_name);
};

}  // namespace rodiz
