#include "app/AppPlatform.h"

#include <windows.h>

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <ctime>

namespace mirel {

namespace {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
  return wide;
}

HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

std::filesystem::path AppPlatform::DocumentsFolder(bool /*createIfMissing*/) {
  PWSTR folder = nullptr;
  std::filesystem::path result;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &folder)) && folder != nullptr) {
    result = folder;
  }
  CoTaskMemFree(folder);
  return result;
}

std::filesystem::path AppPlatform::PersistentDataFolder() {
  PWSTR base = nullptr;
  std::filesystem::path folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &base)) && base != nullptr) {
    folder = std::filesystem::path(base) / L"Orvantis" / L"Mirel Firmware Update";
  }
  CoTaskMemFree(base);
  if (folder.empty()) return {};
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (!std::filesystem::is_directory(folder, error)) return {};
  return folder;
}

bool AppPlatform::NewLogFileInUtf16() { return true; }

std::size_t AppPlatform::MaxLogFilePath() { return MAX_PATH - 1; }

void AppPlatform::WriteDebugOutput(const std::string& utf8Line) {
  const std::wstring wide = Widen(utf8Line);
  OutputDebugStringW(wide.c_str());
}

bool AppPlatform::DebugOutputByDefault() { return true; }

bool AppPlatform::StopProcessForTest() { return false; }

std::string AppPlatform::LocalTimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_s(&local, &now) != 0) return {};
  char text[64] = {};
  const std::size_t length = std::strftime(text, sizeof text, "%m/%d/%Y %H:%M:%S", &local);
  return std::string(text, length);
}

AppLogFile::~AppLogFile() { Close(); }

bool AppLogFile::Open(const std::filesystem::path& path, std::uint64_t* existingSize) {
  Close();
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  LARGE_INTEGER zero{};
  if (!GetFileSizeEx(file, &size) || !SetFilePointerEx(file, zero, nullptr, FILE_END)) {
    CloseHandle(file);
    return false;
  }
  if (existingSize != nullptr) *existingSize = static_cast<std::uint64_t>(size.QuadPart);
  m_handle = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool AppLogFile::Write(const std::uint8_t* data, std::size_t size) {
  if (!IsOpen()) return false;
  while (size > 0) {
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(AsHandle(m_handle), data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

void AppLogFile::Close() {
  if (IsOpen()) CloseHandle(AsHandle(m_handle));
  m_handle = -1;
}

bool AppLogFile::IsOpen() const { return m_handle != -1 && m_handle != 0; }

}  // namespace mirel
