#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "Linux/RegExportFile.h"
#include "runtime/SettingsKey.h"

namespace rodiz {

// A settings key kept as one file in the registry's export format below
// $XDG_CONFIG_HOME (default ~/.config): "Software\\Orvantis\\Tool" is
// Software/Orvantis/Tool.reg. Names of folders and files already there are
// matched without regard to case, so that "SOFTWARE" and "Software" are one
// key as in the registry.
//
// Every read takes the file as it is on disk. Every change takes an exclusive
// lock on a lock file beside it, reads the file again, applies the one change,
// writes a temporary file, flushes it to disk and renames it over the old one:
// a crash leaves the old or the new file, never a mix, and writers in other
// processes never lose each other's values. A file that could not be read
// completely is copied aside before its first rewrite.
//
// A change is refused, and the file left as it was, when another process
// holds the lock past kLockWait (LastError: SystemCallFailed with
// EWOULDBLOCK, "busy"), when the file is read-only (EACCES), and when the file
// is too large to be read or would become so (EFBIG): a write never makes the
// file unreadable to its own reader. A symlinked key file is written where
// the link points; the link stays.
class FileSettingsKey : public SettingsKey {
 public:
  // How long a change waits for another process's lock.
  static constexpr std::chrono::milliseconds kLockWait{500};

  // `file` is the key's file (see file_for).
  FileSettingsKey(std::string path, std::string file, bool writable);

  std::optional<std::uint32_t> get_dword(const std::string& name) override;
  std::optional<std::string> get_string(const std::string& name) override;
  std::optional<std::vector<Byte>> get_binary(const std::string& name) override;
  bool set_dword(const std::string& name, std::uint32_t value) override;
  bool set_string(const std::string& name, const std::string& value) override;
  bool set_binary(const std::string& name, const std::vector<Byte>& value) override;
  bool remove_value(const std::string& name) override;

  // The folder that holds every key.
  static std::string root_directory();
  // The key's file, whether it exists or not; empty for an invalid path.
  static std::string file_for(const std::string& path);
  // Called after the temporary file is on disk and before the rename; a
  // test ends its process here to act out a crash.
  static void set_before_rename_hook_for_testing(std::function<void()> hook);

  // Creates the key's file when missing (used by create()).
  bool ensure_exists();

 private:
  // Reads and parses the file; `found` tells whether it exists.
  RegExportFile load(bool* found, std::string* raw);
  std::optional<RegExportFile::Value> get(const std::string& name, RegExportFile::Type type);
  // Applies `change` to the file under the cross-process lock.
  bool modify(const char* what, const std::string& name, const std::function<void(RegExportFile&)>& change);
  bool writable_check(const char* what, const std::string& name);

  const std::string file_;
  const bool writable_;
  // Damage is reported once per key object, not on every read.
  std::atomic<bool> damage_reported_{false};
};

}  // namespace rodiz
