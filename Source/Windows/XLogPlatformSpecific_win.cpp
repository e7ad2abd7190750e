#include <windows.h>

#include <cstring>

#include "log/XLogPlatformSpecific.h"

namespace rodiz {

namespace {
std::uint64_t ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}
}  // namespace

std::size_t XLogPlatformSpecific::temp_directory(char* buffer, std::size_t size) {
  const DWORD length = ::GetTempPathA(static_cast<DWORD>(size), buffer);
  // A result of `size` or more is the size the path would need.
  if (length == 0 || length >= size) return 0;
  return length;
}

char XLogPlatformSpecific::path_separator() { return '\\'; }

bool XLogPlatformSpecific::create_directory(const std::string& path) {
  if (::CreateDirectoryA(path.c_str(), nullptr)) return true;
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void XLogPlatformSpecific::debugger_output(const char* line, std::size_t /*length*/) { ::OutputDebugStringA(line); }

std::string XLogPlatformSpecific::module_path() {
  char path[MAX_PATH + 1];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return std::string();
  return std::string(path, length);
}

std::optional<std::uint64_t> XLogPlatformSpecific::process_creation_time() {
  FILETIME creation{};
  FILETIME exit{};
  FILETIME kernel{};
  FILETIME user{};
  if (!::GetProcessTimes(::GetCurrentProcess(), &creation, &exit, &kernel, &user)) return std::nullopt;
  return ticks(creation);
}

bool XLogPlatformSpecific::format_local_time(std::time_t seconds, const char* format, char* out, std::size_t size) {
  std::tm local{};
  if (::localtime_s(&local, &seconds) != 0) return false;
    // The formats are the log's own constants.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  return std::strftime(out, size, format, &local) != 0;
#pragma GCC diagnostic pop
}

bool XLogPlatformSpecific::list_directory(const std::string& directory, std::vector<FileEntry>* files) {
  WIN32_FIND_DATAA data{};
  HANDLE find = ::FindFirstFileA((directory + "*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    files->push_back(FileEntry{data.cFileName, ticks(data.ftLastWriteTime),
                               (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
  } while (::FindNextFileA(find, &data));
  ::FindClose(find);
  return true;
}

bool XLogPlatformSpecific::delete_file(const std::string& path, unsigned* error) {
  if (::DeleteFileA(path.c_str())) return true;
  *error = ::GetLastError();
  return false;
}

bool XLogPlatformSpecific::file_vanished(unsigned error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool XLogPlatformSpecific::caps_log_folder() { return false; }

unsigned XLogPlatformSpecific::process_id() { return ::GetCurrentProcessId(); }

unsigned XLogPlatformSpecific::thread_id() { return ::GetCurrentThreadId(); }

std::FILE* XLogPlatformSpecific::open_log_file(const std::string& path) {
  // "N": not inherited by child processes.
  return std::fopen(path.c_str(), "a+bN");
}

void* XLogPlatformSpecific::allocate_ring(std::size_t bytes) {
  return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void XLogPlatformSpecific::free_ring(void* memory, std::size_t /*bytes*/) {
  if (memory != nullptr) (void)::VirtualFree(memory, 0, MEM_RELEASE);
}

void XLogPlatformSpecific::lower_thread_priority() {
  (void)::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_LOWEST);
}

}  // namespace rodiz
