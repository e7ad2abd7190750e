#pragma once

#include <windows.h>

#include "runtime/SettingsKey.h"

namespace rodiz {

// A settings key in the registry below HKEY_CURRENT_USER. Strings are stored
// as REG_SZ in UTF-16 with their terminating zero, numbers as REG_DWORD and
// bytes as REG_BINARY; a value of any other type reads as absent.
class RegistrySettingsKey : public SettingsKey {
 public:
  RegistrySettingsKey(std::string path, HKEY key, bool writable);
  ~RegistrySettingsKey() override;
  RegistrySettingsKey(const RegistrySettingsKey&) = delete;
  RegistrySettingsKey& operator=(const RegistrySettingsKey&) = delete;

  std::optional<std::uint32_t> get_dword(const std::string& name) override;
  std::optional<std::string> get_string(const std::string& name) override;
  std::optional<std::vector<Byte>> get_binary(const std::string& name) override;
  bool set_dword(const std::string& name, std::uint32_t value) override;
  bool set_string(const std::string& name, const std::string& value) override;
  bool set_binary(const std::string& name, const std::vector<Byte>& value) override;
  bool remove_value(const std::string& name) override;

  // UTF-8 to UTF-16 and back; false for invalid input.
  static bool widen(const std::string& text, std::wstring* wide);
  static bool narrow(const std::wstring& wide, std::string* text);

 private:
  // The value's type and bytes; false when absent or unreadable.
  bool query(const std::string& name, DWORD* type, std::vector<BYTE>* data);
  bool set(const char* what, const std::string& name, DWORD type, const BYTE* data, std::size_t size);

  HKEY key_;
  const bool writable_;
};

}  // namespace rodiz
