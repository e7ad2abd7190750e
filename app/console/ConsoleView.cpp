#include "app/console/ConsoleView.h"

#include <chrono>
#include <csignal>

#include "app/CMirelDFUDlg.h"
#include "app/res/resource.h"

#if defined(_WIN32)
#include <conio.h>
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace mirel {

namespace {

// Ctrl-C only raises a flag; the loop looks at it between messages.
std::atomic<bool> g_interrupted{false};
constexpr unsigned kInterruptPollTimer = 0x7E570001;
constexpr unsigned kInterruptPollMs = 200;

extern "C" void on_interrupt(int) { g_interrupted = true; }

bool is_terminal(std::FILE* out) {
#if defined(_WIN32)
  return _isatty(_fileno(out)) != 0;
#else
  return ::isatty(::fileno(out)) != 0;
#endif
}

}  // namespace

ConsoleView::ConsoleView(std::FILE* out, bool auto_answer, bool interactive)
    : m_out(out), m_auto(auto_answer), m_interactive(interactive && !auto_answer), m_tty(is_terminal(out)) {}

ConsoleView::~ConsoleView() {
  m_stop_input = true;
  if (m_input.joinable()) m_input.join();
}

void ConsoleView::print_line(const std::string& text) {
  end_progress_line();
  std::fprintf(m_out, "%s\n", text.c_str());
  std::fflush(m_out);
}

void ConsoleView::end_progress_line() {
  if (!m_progress_line_open) return;
  std::fputc('\n', m_out);
  m_progress_line_open = false;
}

void ConsoleView::set_window_title(const std::string& text) { print_line("== " + text + " =="); }

void ConsoleView::set_text(int control, const std::string& text) {
  switch (control) {
    case IDC_STATUS:
      if (text != m_status) {
        m_status = text;
        print_line("> " + text);
      }
      break;
    case IDC_TITLE:
    case IDC_WARNING:
      print_line(text);
      break;
    case IDC_RELEASE_NOTES_HEADING:
      print_line("");
      print_line(text + ":");
      break;
    default:
      // Button captions: the prompts say "Enter" instead.
      break;
  }
}

void ConsoleView::add_list_entry(int, const std::string& text) {
  print_line("  " + text);
  print_line("");
}

void ConsoleView::show(int control, bool visible) {
  const bool was = m_visible[control];
  m_visible[control] = visible;
  if (!visible || was) {
    if (control == IDC_PROGRESS && !visible) end_progress_line();
    return;
  }
  if (control == IDC_START || control == IDC_CLOSE) {
    if (m_auto) {
      // Pressed by itself, after the controller has finished its step.
      m_loop.post_task([this] { press(); });
    } else {
      print_line(control == IDC_START ? "Press Enter to start the update." : "Press Enter to close.");
    }
  }
}

void ConsoleView::set_busy(bool busy) {
  if (busy) print_line("Saving the mouse's settings...");
}

void ConsoleView::set_progress_range(std::uint32_t low, std::uint32_t high) {
  m_low = low;
  m_high = high;
  m_drawn_percent = -1;
}

void ConsoleView::set_progress_position(std::uint32_t position) {
  m_position = position;
  draw_progress(false);
}

void ConsoleView::draw_progress(bool force) {
  if (!m_visible[IDC_PROGRESS] || m_high <= m_low) return;
  const std::uint32_t span = m_high - m_low;
  const std::uint32_t done = m_position > m_high ? span : (m_position > m_low ? m_position - m_low : 0);
  const int percent = static_cast<int>(static_cast<unsigned long long>(done) * 100 / span);
  // On a terminal the bar is redrawn in place at every percent; in a file or
  // a pipe a line every ten percent keeps logs short.
  const int step = m_tty ? 1 : 10;
  if (!force && m_drawn_percent >= 0 && percent / step == m_drawn_percent / step) return;
  m_drawn_percent = percent;
  constexpr int kWidth = 40;
  const int filled = percent * kWidth / 100;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kWidth - filled), '.');
  if (m_tty) {
    std::fprintf(m_out, "\r[%s] %3d%%  %u / %u bytes", bar.c_str(), percent, done, span);
    m_progress_line_open = true;
  } else {
    std::fprintf(m_out, "[%s] %3d%%  %u / %u bytes\n", bar.c_str(), percent, done, span);
  }
  std::fflush(m_out);
}

void ConsoleView::end_dialog(int code) {
  m_closing = true;
  end_progress_line();
  m_loop.quit(code);
}

void ConsoleView::press() {
  if (!m_controller) return;
  if (m_visible[IDC_START]) {
    m_controller->OnStart();
  } else if (m_visible[IDC_CLOSE]) {
    m_controller->OnClose();
  }
}

void ConsoleView::read_input() {
#if defined(_WIN32)
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool console = ::GetConsoleMode(input, &mode) != 0;
  while (!m_stop_input && console) {
    if (_kbhit()) {
      const int key = _getch();
      if (key == '\r' || key == '\n') m_loop.post_task([this] { press(); });
    } else {
      ::Sleep(100);
    }
  }
#else
  std::string line;
  while (!m_stop_input) {
    pollfd fd{0, POLLIN, 0};
    const int ready = ::poll(&fd, 1, 100);
    if (ready <= 0) continue;
    char buffer[256];
    const ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n <= 0) {
      // No more input: nobody will press anything; ask to close.
      m_loop.post_task([this] {
        if (m_controller) m_controller->OnClose();
      });
      return;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') m_loop.post_task([this] { press(); });
    }
  }
#endif
}

int ConsoleView::run() {
  g_interrupted = false;
  auto previous = std::signal(SIGINT, on_interrupt);
  if (m_interactive) m_input = std::thread(&ConsoleView::read_input, this);
  m_loop.set_timer(kInterruptPollTimer, kInterruptPollMs);
  const int code = m_loop.run(
      [this](unsigned message, std::uintptr_t wparam) {
        if (m_controller) m_controller->OnMessage(message, wparam);
      },
      [this](unsigned id) {
        if (id == kInterruptPollTimer) {
          if (g_interrupted.exchange(false) && m_controller) {
            m_controller->OnClose();
            if (!m_closing) print_line("The update cannot be interrupted now; please wait until it has finished.");
          }
          return;
        }
        if (m_controller) m_controller->OnTimer(id);
      });
  std::signal(SIGINT, previous);
  m_stop_input = true;
  if (m_input.joinable()) m_input.join();
  return code;
}

}  // namespace mirel
