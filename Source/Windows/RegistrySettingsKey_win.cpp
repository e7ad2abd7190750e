#include "Windows/RegistrySettingsKey.h"

#include <cstring>

#include "device/LastError.h"
#include "log/xLog.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "SettingsKey";

// The same rules on every platform: a path that is refused on Linux is
// refused here too, so settings can move between the two.
bool wide_path(const char* function, const std::string& path, std::wstring* wide) {
  std::vector<std::string> names;
  std::string joined;
  if (SettingsKey::split_path(path, &names)) {
    for (const std::string& name : names) joined += (joined.empty() ? "" : "\\") + name;
    if (RegistrySettingsKey::widen(joined, wide)) return true;
  }
  xLogWrite(kTag, LogWarning, function, "invalid settings key path \"%s\"", path.c_str());
  set_last_error(SystemCallFailed, ERROR_INVALID_PARAMETER, "invalid settings key path");
  return false;
}

bool valid_value_name(const std::string& name) {
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

bool RegistrySettingsKey::widen(const std::string& text, std::wstring* wide) {
  wide->clear();
  if (text.empty()) return true;
  if (!is_valid_utf8(text)) return false;
  const int size =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return false;
  wide->resize(static_cast<std::size_t>(size));
  return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide->data(),
                               size) == size;
}

bool RegistrySettingsKey::narrow(const std::wstring& wide, std::string* text) {
  text->clear();
  if (wide.empty()) return true;
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return false;
  text->resize(static_cast<std::size_t>(size));
  return ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text->data(), size, nullptr,
                               nullptr) == size;
}

std::unique_ptr<SettingsKey> SettingsKey::open(const std::string& path, bool writable) {
  std::wstring wide;
  if (!wide_path("rodiz::SettingsKey::open", path, &wide)) return nullptr;
  HKEY key = nullptr;
  const REGSAM access = KEY_READ | (writable ? KEY_SET_VALUE : 0);
  const LSTATUS status = ::RegOpenKeyExW(HKEY_CURRENT_USER, wide.c_str(), 0, access, &key);
  if (status != ERROR_SUCCESS) {
    // A missing key is the normal case of defaults; anything else is worth a line.
    if (status != ERROR_FILE_NOT_FOUND) {
      xLogWrite(kTag, LogWarning, "rodiz::SettingsKey::open", "cannot open settings key %s, error=%ld", path.c_str(),
                static_cast<long>(status));
    }
    set_last_error(SystemCallFailed, static_cast<std::uint32_t>(status), "cannot open the settings key");
    return nullptr;
  }
  return std::make_unique<RegistrySettingsKey>(path, key, writable);
}

std::unique_ptr<SettingsKey> SettingsKey::create(const std::string& path) {
  std::wstring wide;
  if (!wide_path("rodiz::SettingsKey::create", path, &wide)) return nullptr;
  HKEY key = nullptr;
  const LSTATUS status = ::RegCreateKeyExW(HKEY_CURRENT_USER, wide.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_READ | KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    xLogWrite(kTag, LogWarning, "rodiz::SettingsKey::create", "cannot create settings key %s, error=%ld", path.c_str(),
              static_cast<long>(status));
    set_last_error(SystemCallFailed, static_cast<std::uint32_t>(status), "cannot create the settings key");
    return nullptr;
  }
  return std::make_unique<RegistrySettingsKey>(path, key, true);
}

bool SettingsKey::remove(const std::string& path) {
  std::wstring wide;
  if (!wide_path("rodiz::SettingsKey::remove", path, &wide)) return false;
  const LSTATUS status = ::RegDeleteTreeW(HKEY_CURRENT_USER, wide.c_str());
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    xLogWrite(kTag, LogWarning, "rodiz::SettingsKey::remove", "cannot delete settings key %s, error=%ld", path.c_str(),
              static_cast<long>(status));
    set_last_error(SystemCallFailed, static_cast<std::uint32_t>(status), "cannot delete the settings key");
    return false;
  }
  return true;
}

RegistrySettingsKey::RegistrySettingsKey(std::string path, HKEY key, bool writable)
    : SettingsKey(std::move(path)), key_(key), writable_(writable) {}

RegistrySettingsKey::~RegistrySettingsKey() { ::RegCloseKey(key_); }

bool RegistrySettingsKey::query(const std::string& name, DWORD* type, std::vector<BYTE>* data) {
  std::wstring wide;
  if (!widen(name, &wide)) return false;
  // The value may grow between asking its size and reading it.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = 0;
    LSTATUS status = ::RegQueryValueExW(key_, wide.c_str(), nullptr, type, nullptr, &size);
    if (status != ERROR_SUCCESS) return false;
    data->resize(size);
    status = ::RegQueryValueExW(key_, wide.c_str(), nullptr, type, data->data(), &size);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return false;
    data->resize(size);
    return true;
  }
  return false;
}

std::optional<std::uint32_t> RegistrySettingsKey::get_dword(const std::string& name) {
  DWORD type = 0;
  std::vector<BYTE> data;
  if (!query(name, &type, &data) || type != REG_DWORD || data.size() != sizeof(DWORD)) return std::nullopt;
  return static_cast<std::uint32_t>(data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24));
}

std::optional<std::string> RegistrySettingsKey::get_string(const std::string& name) {
  DWORD type = 0;
  std::vector<BYTE> data;
  if (!query(name, &type, &data) || type != REG_SZ) return std::nullopt;
  std::wstring wide(data.size() / sizeof(wchar_t), L'\0');
  std::memcpy(wide.data(), data.data(), wide.size() * sizeof(wchar_t));
  // The terminating zero, or a value written without one, and nothing after a zero.
  const std::size_t zero = wide.find(L'\0');
  if (zero != std::wstring::npos) wide.resize(zero);
  std::string text;
  if (!narrow(wide, &text)) return std::nullopt;
  return text;
}

std::optional<std::vector<Byte>> RegistrySettingsKey::get_binary(const std::string& name) {
  DWORD type = 0;
  std::vector<BYTE> data;
  if (!query(name, &type, &data) || type != REG_BINARY) return std::nullopt;
  return std::vector<Byte>(data.begin(), data.end());
}

bool RegistrySettingsKey::set(const char* what, const std::string& name, DWORD type, const BYTE* data,
                              std::size_t size) {
  std::wstring wide;
  if (!writable_ || !valid_value_name(name) || !widen(name, &wide)) {
    xLogWrite(kTag, LogWarning, "rodiz::RegistrySettingsKey::set", "%s of \"%s\" refused in key %s: %s", what,
              name.c_str(), path().c_str(), writable_ ? "invalid value name" : "the key is open for reading");
    set_last_error(SystemCallFailed, writable_ ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED,
                   "cannot write the settings value");
    return false;
  }
  const LSTATUS status = ::RegSetValueExW(key_, wide.c_str(), 0, type, data, static_cast<DWORD>(size));
  if (status != ERROR_SUCCESS) {
    xLogWrite(kTag, LogWarning, "rodiz::RegistrySettingsKey::set", "%s of \"%s\" failed in key %s, error=%ld", what,
              name.c_str(), path().c_str(), static_cast<long>(status));
    set_last_error(SystemCallFailed, static_cast<std::uint32_t>(status), "cannot write the settings value");
    return false;
  }
  return true;
}

bool RegistrySettingsKey::set_dword(const std::string& name, std::uint32_t value) {
  const DWORD data = value;
  return set("write", name, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}

bool RegistrySettingsKey::set_string(const std::string& name, const std::string& value) {
  std::wstring wide;
  if (!is_storable_string(value) || !widen(value, &wide)) {
    xLogWrite(kTag, LogWarning, "rodiz::RegistrySettingsKey::set_string",
              "write of \"%s\" refused: the text is not valid UTF-8 or holds a NUL character", name.c_str());
    set_last_error(SystemCallFailed, ERROR_INVALID_PARAMETER, "the text is not storable");
    return false;
  }
  // REG_SZ keeps its terminating zero.
  return set("write", name, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()), (wide.size() + 1) * sizeof(wchar_t));
}

bool RegistrySettingsKey::set_binary(const std::string& name, const std::vector<Byte>& value) {
  return set("write", name, REG_BINARY, value.data(), value.size());
}

bool RegistrySettingsKey::remove_value(const std::string& name) {
  std::wstring wide;
  if (!writable_ || !widen(name, &wide)) {
    xLogWrite(kTag, LogWarning, "rodiz::RegistrySettingsKey::remove_value", "delete of \"%s\" refused in key %s",
              name.c_str(), path().c_str());
    set_last_error(SystemCallFailed, writable_ ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED,
                   "cannot delete the settings value");
    return false;
  }
  const LSTATUS status = ::RegDeleteValueW(key_, wide.c_str());
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    xLogWrite(kTag, LogWarning, "rodiz::RegistrySettingsKey::remove_value",
              "delete of \"%s\" failed in key %s, error=%ld", name.c_str(), path().c_str(), static_cast<long>(status));
    set_last_error(SystemCallFailed, static_cast<std::uint32_t>(status), "cannot delete the settings value");
    return false;
  }
  return true;
}

}  // namespace rodiz
