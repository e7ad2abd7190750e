#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

// One key of the current user's settings store: the registry below
// HKEY_CURRENT_USER on Windows, one text file per key below the user's
// configuration folder on Linux. Paths are relative to the user's hive and
// use backslashes ("Software\\Orvantis\\Mirel Firmware Update v7"); key and
// value names compare without regard to ASCII case, as in the registry.
//
// Values are typed. Reading a value of another type gives nothing, as if it
// were absent. Strings are UTF-8 in this interface; they cannot hold a NUL
// character. Failures return false or nothing, leave SystemCallFailed in
// LastError when the system refused, and are logged.
class SettingsKey {
 public:
  virtual ~SettingsKey() = default;

  // Opens an existing key; null when it does not exist or cannot be opened.
  // A key opened without `writable` refuses every change.
  static std::unique_ptr<SettingsKey> open(const std::string& path, bool writable = false);
  // Opens the key for reading and writing, creating it (and the keys above
  // it) when missing; null when that fails.
  static std::unique_ptr<SettingsKey> create(const std::string& path);
  // Deletes the key with its values and every key below it. True when it is
  // gone afterwards, also when it never existed.
  static bool remove(const std::string& path);

  virtual std::optional<std::uint32_t> get_dword(const std::string& name) = 0;
  virtual std::optional<std::string> get_string(const std::string& name) = 0;
  virtual std::optional<std::vector<Byte>> get_binary(const std::string& name) = 0;

  virtual bool set_dword(const std::string& name, std::uint32_t value) = 0;
  // False for a value that is not valid UTF-8 or holds a NUL character.
  virtual bool set_string(const std::string& name, const std::string& value) = 0;
  virtual bool set_binary(const std::string& name, const std::vector<Byte>& value) = 0;
  // True when the value is absent afterwards, also when it never existed.
  virtual bool remove_value(const std::string& name) = 0;

  const std::string& path() const { return path_; }

  // Splits a key path into its names. Leading and trailing backslashes are
  // ignored; empty names, "." and "..", and names with '/' or control
  // characters are refused, so that a path means the same key on every
  // platform and can never leave the store's folder on Linux.
  static bool split_path(const std::string& path, std::vector<std::string>* names);
  // Strict UTF-8: no overlong forms, surrogates or values above U+10FFFF.
  static bool is_valid_utf8(std::string_view text);
  // What set_string accepts.
  static bool is_storable_string(std::string_view text);

 protected:
  explicit SettingsKey(std::string path) : path_(std::move(path)) {}

 private:
  std::string path_;
};

}  // namespace rodiz
