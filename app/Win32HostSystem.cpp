#include "app/Win32HostSystem.h"

#include <windows.h>
// After windows.h, as they expect.
#include <shellapi.h>
#include <tlhelp32.h>

namespace mirel {

namespace {

std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
  return wide;
}

std::string narrow(const wchar_t* text, std::size_t length) {
  if (length == 0) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string result(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), result.data(), size, nullptr, nullptr);
  return result;
}

HANDLE as_handle(IWin32HostSystem::Handle handle) { return reinterpret_cast<HANDLE>(handle); }

IWin32HostSystem::Handle from_handle(HANDLE handle) {
  return handle == nullptr || handle == INVALID_HANDLE_VALUE ? 0 : reinterpret_cast<IWin32HostSystem::Handle>(handle);
}

void fill(const PROCESSENTRY32W& process, IWin32HostSystem::ProcessEntry* entry) {
  entry->pid = process.th32ProcessID;
  entry->exe_name = narrow(process.szExeFile, ::wcsnlen(process.szExeFile, MAX_PATH));
}

BOOL CALLBACK collect_window(HWND window, LPARAM list) {
  reinterpret_cast<std::vector<IWin32HostSystem::Handle>*>(list)->push_back(
      reinterpret_cast<IWin32HostSystem::Handle>(window));
  return TRUE;
}

}  // namespace

IWin32HostSystem::Handle Win32HostSystem::snapshot_processes() {
  return from_handle(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
}

bool Win32HostSystem::first_process(Handle snapshot, ProcessEntry* entry) {
  PROCESSENTRY32W process{};
  process.dwSize = sizeof process;
  if (!::Process32FirstW(as_handle(snapshot), &process)) return false;
  fill(process, entry);
  return true;
}

bool Win32HostSystem::next_process(Handle snapshot, ProcessEntry* entry) {
  PROCESSENTRY32W process{};
  process.dwSize = sizeof process;
  if (!::Process32NextW(as_handle(snapshot), &process)) return false;
  fill(process, entry);
  return true;
}

IWin32HostSystem::Handle Win32HostSystem::open_process_for_query(std::uint32_t pid) {
  return from_handle(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
}

IWin32HostSystem::Handle Win32HostSystem::open_process_for_termination(std::uint32_t pid) {
  // SYNCHRONIZE as well: without it the wait for the end fails at once.
  return from_handle(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
}

bool Win32HostSystem::query_full_image_name(Handle process, std::string* path) {
  wchar_t buffer[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  if (!::QueryFullProcessImageNameW(as_handle(process), 0, buffer, &size)) return false;
  *path = narrow(buffer, size);
  return true;
}

bool Win32HostSystem::query_dos_device(const std::string& drive, std::string* device) {
  wchar_t buffer[MAX_PATH] = {};
  if (::QueryDosDeviceW(widen(drive).c_str(), buffer, MAX_PATH) == 0) return false;
  // The first of the zero-separated names is the current mapping.
  *device = narrow(buffer, ::wcsnlen(buffer, MAX_PATH));
  return true;
}

IWin32HostSystem::Handle Win32HostSystem::open_event_for_modify(const std::string& name) {
  return from_handle(::OpenEventW(EVENT_MODIFY_STATE, FALSE, widen(name).c_str()));
}

bool Win32HostSystem::set_event(Handle event) { return ::SetEvent(as_handle(event)) != 0; }

bool Win32HostSystem::terminate_process(Handle process, std::uint32_t exit_code) {
  return ::TerminateProcess(as_handle(process), exit_code) != 0;
}

std::uint32_t Win32HostSystem::wait_for_object(Handle object, std::uint32_t milliseconds) {
  return ::WaitForSingleObject(as_handle(object), milliseconds);
}

void Win32HostSystem::sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

void Win32HostSystem::close_handle(Handle handle) {
  if (handle != 0) ::CloseHandle(as_handle(handle));
}

bool Win32HostSystem::shell_open(const std::string& path) {
  const HINSTANCE result = ::ShellExecuteW(nullptr, nullptr, widen(path).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  // Values above 32 mean success.
  return reinterpret_cast<std::intptr_t>(result) > 32;
}

bool Win32HostSystem::set_execution_state(bool system_required) {
  const EXECUTION_STATE flags = system_required ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS;
  return ::SetThreadExecutionState(flags) != 0;
}

std::vector<IWin32HostSystem::Handle> Win32HostSystem::thread_windows() {
  std::vector<Handle> windows;
  ::EnumThreadWindows(::GetCurrentThreadId(), collect_window, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

bool Win32HostSystem::shutdown_block_reason_create(Handle window, const std::string& reason) {
  return ::ShutdownBlockReasonCreate(reinterpret_cast<HWND>(window), widen(reason).c_str()) != 0;
}

bool Win32HostSystem::shutdown_block_reason_destroy(Handle window) {
  return ::ShutdownBlockReasonDestroy(reinterpret_cast<HWND>(window)) != 0;
}

}  // namespace mirel
