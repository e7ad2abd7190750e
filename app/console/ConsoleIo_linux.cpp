#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "app/console/ConsoleIo.h"

namespace mirel {

namespace {

// 0: none, 1: interrupt, 2: hang-up; the strongest one wins until taken.
std::atomic<int> g_request{0};
// Every interrupt counts: two in quick succession mean "stop anyway".
std::atomic<unsigned> g_interrupts{0};
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};
struct sigaction g_previous[sizeof kStopSignals / sizeof kStopSignals[0]];

void raise_level(int level) {
  int current = g_request.load();
  while (current < level && !g_request.compare_exchange_weak(current, level)) {
  }
}

extern "C" void on_stop_signal(int signal) {
  if (signal != SIGHUP) ++g_interrupts;
  raise_level(signal == SIGHUP ? 2 : 1);
}

}  // namespace

void ConsoleIo::PrepareProcess() {
  // A reader that went away (`| head`) must not end an update half-way.
  std::signal(SIGPIPE, SIG_IGN);
}

void ConsoleIo::ConnectConsole(bool) {}

bool ConsoleIo::IsTerminal(std::FILE* out) { return ::isatty(::fileno(out)) != 0; }

bool ConsoleIo::Write(std::FILE* out, const std::string& text) {
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
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // Restarted calls: a signal must not fail a write or a read on its way.
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
    ::sigaction(kStopSignals[i], &action, &g_previous[i]);
  }
}

void ConsoleIo::RestoreStopSignals() {
  for (std::size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
    ::sigaction(kStopSignals[i], &g_previous[i], nullptr);
  }
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
  bool escape_in_line = false;
  while (!stop) {
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&fd, 1, 100);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return true;
    if (ready == 0) continue;
    char buffer[256];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // End of file, or a terminal that is gone (EIO): nobody can answer now.
    if (n <= 0) return true;
    // The terminal hands over whole lines: a line with Escape in it is
    // Escape, any other line is Enter.
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\x1b') escape_in_line = true;
      if (buffer[i] != '\n') continue;
      on_key(escape_in_line ? Key::Escape : Key::Enter);
      escape_in_line = false;
    }
  }
  return false;
}

}  // namespace mirel
