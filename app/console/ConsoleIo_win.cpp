#include <windows.h>
// conio.h and io.h after windows.h, as the C library expects.
#include <conio.h>
#include <io.h>

#include <csignal>
#include <cstdio>

#include "app/console/ConsoleIo.h"

namespace mirel {

namespace {

std::atomic<int> g_request{0};
// Every interrupt counts: two in quick succession mean "stop anyway".
std::atomic<unsigned> g_interrupts{0};
using Handler = void (*)(int);
Handler g_previous_int = SIG_DFL;
Handler g_previous_term = SIG_DFL;

void raise_level(int level) {
  int current = g_request.load();
  while (current < level && !g_request.compare_exchange_weak(current, level)) {
  }
}

extern "C" void on_stop_signal(int signal) {
  // The C library puts the default action back before it calls a handler: a
  // second Ctrl-C would end the process unless the handler is set again.
  std::signal(signal, on_stop_signal);
  ++g_interrupts;
  raise_level(1);
}

// Closing the console window is the hang-up of Windows.
BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    raise_level(2);
    return TRUE;
  }
  return FALSE;
}

std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
  return wide;
}

}  // namespace

void ConsoleIo::PrepareProcess() {}

void ConsoleIo::ConnectConsole(bool create) {
  const auto leads_nowhere = [](DWORD which) {
    const HANDLE handle = ::GetStdHandle(which);
    return handle == nullptr || handle == INVALID_HANDLE_VALUE;
  };
  const bool in = leads_nowhere(STD_INPUT_HANDLE);
  const bool out = leads_nowhere(STD_OUTPUT_HANDLE);
  const bool err = leads_nowhere(STD_ERROR_HANDLE);
  if (!(in || out || err)) return;
  if (!::AttachConsole(ATTACH_PARENT_PROCESS)) {
    // ERROR_ACCESS_DENIED: the process has a console already.
    if (::GetLastError() != ERROR_ACCESS_DENIED && !(create && ::AllocConsole())) return;
  }
  // The C streams were set up before there was a console: open them again
  // on it, and make the system's standard handles say the same.
  if (in && std::freopen("CONIN$", "r", stdin) != nullptr) {
    ::SetStdHandle(STD_INPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdin))));
  }
  if (out && std::freopen("CONOUT$", "w", stdout) != nullptr) {
    ::SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
  }
  if (err && std::freopen("CONOUT$", "w", stderr) != nullptr) {
    ::SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr))));
  }
}

bool ConsoleIo::IsTerminal(std::FILE* out) { return _isatty(_fileno(out)) != 0; }

bool ConsoleIo::Write(std::FILE* out, const std::string& text) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode)) {
    // A console: UTF-16 through the console itself, whatever its code page.
    std::fflush(out);
    const std::wstring wide = widen(text);
    std::size_t done = 0;
    while (done < wide.size()) {
      DWORD written = 0;
      if (!::WriteConsoleW(handle, wide.data() + done, static_cast<DWORD>(wide.size() - done), &written, nullptr) ||
          written == 0) {
        return false;
      }
      done += written;
    }
    return true;
  }
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), out) != text.size()) {
    std::clearerr(out);
    return false;
  }
  if (std::fflush(out) != 0) {
    std::clearerr(out);
    return false;
  }
  return true;
}

void ConsoleIo::InstallStopSignals() {
  g_request = 0;
  g_interrupts = 0;
  g_previous_int = std::signal(SIGINT, on_stop_signal);
  g_previous_term = std::signal(SIGTERM, on_stop_signal);
  ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

void ConsoleIo::RestoreStopSignals() {
  ::SetConsoleCtrlHandler(on_console_event, FALSE);
  std::signal(SIGINT, g_previous_int);
  std::signal(SIGTERM, g_previous_term);
}

ConsoleIo::StopRequest ConsoleIo::TakeStopRequest() {
  switch (g_request.exchange(0)) {
    case 1:
      return StopRequest::Interrupt;
    case 2:
      return StopRequest::HangUp;
    default:
      return StopRequest::None;
  }
}

unsigned ConsoleIo::TakeInterruptCount() { return g_interrupts.exchange(0); }

void ConsoleIo::RaiseStopRequest(StopRequest request) {
  if (request == StopRequest::Interrupt) {
    ++g_interrupts;
    raise_level(1);
  }
  if (request == StopRequest::HangUp) raise_level(2);
}

bool ConsoleIo::ReadKeys(const std::atomic<bool>& stop, const std::function<void(Key)>& on_key) {
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return true;
  DWORD mode = 0;
  if (::GetConsoleMode(input, &mode)) {
    while (!stop) {
      if (!_kbhit()) {
        ::Sleep(50);
        continue;
      }
      const int key = _getch();
      if (key == '\r' || key == '\n') on_key(Key::Enter);
      if (key == 27) on_key(Key::Escape);
    }
    return false;
  }
  // Redirected: a pipe is polled so that `stop` is seen; a file never blocks.
  const bool pipe = ::GetFileType(input) == FILE_TYPE_PIPE;
  bool escape_in_line = false;
  while (!stop) {
    if (pipe) {
      DWORD available = 0;
      if (!::PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) return true;
      if (available == 0) {
        ::Sleep(50);
        continue;
      }
    }
    char buffer[256];
    DWORD got = 0;
    if (!::ReadFile(input, buffer, sizeof buffer, &got, nullptr) || got == 0) return true;
    for (DWORD i = 0; i < got; ++i) {
      if (buffer[i] == '\x1b') escape_in_line = true;
      if (buffer[i] != '\n') continue;
      on_key(escape_in_line ? Key::Escape : Key::Enter);
      escape_in_line = false;
    }
  }
  return false;
}

}  // namespace mirel
