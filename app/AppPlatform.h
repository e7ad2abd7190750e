#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace mirel {

// What the trace and the log file need from the operating system.
class AppPlatform {
 public:
  // The user's Documents folder, or empty when it cannot be found. With
  // `createIfMissing` a missing folder is made where that is the platform's
  // habit (Linux desktops make it on first use; Windows always has one).
  static std::filesystem::path DocumentsFolder(bool createIfMissing);
  // The folder where the device library keeps its caches between runs (the
  // feature cache files), made if missing; empty when there is no place for
  // it. Linux: $XDG_CACHE_HOME/mirel-firmware-update (default ~/.cache),
  // private to the user. Windows: the user's local application data folder,
  // Orvantis\Mirel Firmware Update below it.
  static std::filesystem::path PersistentDataFolder();
  // Longest log file path the platform's file calls accept; 0 for no limit.
  static std::size_t MaxLogFilePath();
  // Whether a new log file is written in UTF-16 little-endian with a byte
  // order mark and CR LF (Windows, where the file has always been so) rather
  // than in UTF-8 with plain line feeds (Linux, as its tools read text).
  static bool NewLogFileInUtf16();
  // One finished trace line (UTF-8) to the debugger output, or standard
  // error where there is no debugger output.
  static void WriteDebugOutput(const std::string& utf8Line);
  // Whether trace lines go to that output unless asked otherwise: yes for a
  // debugger, which nobody sees by accident; no for standard error, where
  // thousands of lines would bury the program's own output.
  static bool DebugOutputByDefault();
  // Stops the whole process where it stands, as a debugger would, for a
  // fault test to kill it at a known point; false where the platform has no
  // such stop (Windows).
  static bool StopProcessForTest();
  // Local date and time as "%m/%d/%Y %H:%M:%S".
  static std::string LocalTimeStamp();
};

// The log file handle: opened for reading and writing, others may read, and
// appended to.
class AppLogFile {
 public:
  AppLogFile() = default;
  ~AppLogFile();
  AppLogFile(const AppLogFile&) = delete;
  AppLogFile& operator=(const AppLogFile&) = delete;

  // Opens or creates `path` and moves to its end. `existingSize` receives the
  // size the file had, so that the caller knows whether it is new.
  bool Open(const std::filesystem::path& path, std::uint64_t* existingSize);
  bool Write(const std::uint8_t* data, std::size_t size);
  void Close();
  bool IsOpen() const;

 private:
  std::intptr_t m_handle = -1;
};

}  // namespace mirel
