#include "app/console/ConsoleView.h"

#include "app/CMirelDFUApp.h"
#include "app/CMirelDFUDlg.h"
#include "app/StringTable.h"
#include "app/res/resource.h"

namespace mirel {

namespace {

// Signals only raise a flag; the loop looks at it between messages.
constexpr unsigned kStopPollTimer = 0x7E570001;
constexpr unsigned kStopPollMs = 100;

}  // namespace

ConsoleView::ConsoleView(std::FILE* out, bool auto_answer, bool interactive)
    : m_out(out), m_auto(auto_answer), m_interactive(interactive && !auto_answer), m_tty(ConsoleIo::IsTerminal(out)) {}

ConsoleView::~ConsoleView() {
  m_stop_input = true;
  if (m_input.joinable()) m_input.join();
}

bool ConsoleView::initialise() { return m_controller != nullptr && m_controller->OnInitDialog(); }

void ConsoleView::write(const std::string& text) {
  if (m_output_gone) return;
  if (!ConsoleIo::Write(m_out, text)) m_output_gone = true;
}

void ConsoleView::print_line(const std::string& text) {
  end_progress_line();
  write(text + "\n");
}

void ConsoleView::end_progress_line() {
  if (!m_progress_line_open) return;
  m_progress_line_open = false;
  write("\n");
}

void ConsoleView::set_window_title(const std::string& text) { print_line("== " + text + " =="); }

void ConsoleView::set_text(int control, const std::string& text) {
  switch (control) {
    case IDC_STATUS:
      if (text != m_status) {
        m_status = text;
        // There is no button to click here: the prompt that follows the
        // Start button's appearance says which key to press.
        if (text == StringTable::LoadText(IDS_STATUS_CLICK_START)) break;
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
  if (control != IDC_START && control != IDC_CLOSE) return;
  // After the controller's step, so that the prompt follows the status text
  // that the step shows after its buttons.
  m_loop.post_task([this, control] {
    if (!m_visible[control] || m_closing) return;
    if (m_auto) {
      press();
    } else if (!m_close_when_at_rest) {
      print_line(control == IDC_START ? "> " + StringTable::LoadText(IDS_CONSOLE_PRESS_ENTER_START)
                                      : StringTable::LoadText(IDS_CONSOLE_PRESS_ENTER_CLOSE));
    }
  });
}

void ConsoleView::set_busy(bool busy) {
  if (busy) print_line(StringTable::LoadText(IDS_CONSOLE_SAVING_SETTINGS));
}

void ConsoleView::restoring_settings() { print_line(StringTable::LoadText(IDS_CONSOLE_RESTORING_SETTINGS)); }

void ConsoleView::device_found(int, const std::string& version) {
  // The decision about the mouse as it came; later arrivals are its
  // returns during the update.
  if (version.empty() || !m_controller || m_controller->state() != CMirelDFUDlg::WaitingForDevice) return;
  print_line(
      StringTable::ReplaceAll(StringTable::LoadText(IDS_CONSOLE_VERSION_CHANGE), "%%CURRENT_VERSION%%", version));
}

void ConsoleView::report_end(ExitStatus status, const std::string& reason) {
  if (reason.empty() || (status != ExitStatus::Failed && status != ExitStatus::NoDevice)) return;
  if (reason == m_status) return;  // already the last status shown
  print_line("> " + reason);
}

void ConsoleView::set_progress_range(std::uint32_t low, std::uint32_t high) {
  m_low = low;
  m_high = high;
  m_drawn_percent = -1;
}

void ConsoleView::set_progress_position(std::uint32_t position) {
  m_position = position;
  // Drawn after the controller's step, which may still be about to say what
  // the bar is for.
  if (m_draw_pending) return;
  m_draw_pending = true;
  m_loop.post_task([this] {
    m_draw_pending = false;
    draw_progress(false);
  });
}

bool ConsoleView::progress_shown() const {
  const auto it = m_visible.find(IDC_PROGRESS);
  return it != m_visible.end() && it->second;
}

std::uint32_t ConsoleView::progress_done() const {
  const std::uint32_t span = progress_span();
  return m_position > m_high ? span : (m_position > m_low ? m_position - m_low : 0);
}

void ConsoleView::draw_progress(bool force) {
  if (!m_visible[IDC_PROGRESS] || m_high <= m_low || m_closing) return;
  const std::uint32_t span = progress_span();
  const std::uint32_t done = progress_done();
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
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%3d%%  %u / %u bytes", percent, done, span);
  if (m_tty) {
    write("\r[" + bar + "] " + numbers);
    m_progress_line_open = true;
  } else {
    write("[" + bar + "] " + numbers + "\n");
  }
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

void ConsoleView::on_key(ConsoleIo::Key key) {
  if (!m_controller || m_closing) return;
  if (key == ConsoleIo::Key::Enter && m_visible[IDC_START]) {
    m_controller->OnStart();
    return;
  }
  ask_to_close();
}

void ConsoleView::ask_to_close() {
  m_controller->OnClose();
  if (!m_closing) print_line("The update cannot be interrupted now; please wait until it has finished.");
}

void ConsoleView::close_when_at_rest() {
  if (!m_close_when_at_rest || m_closing || !m_controller) return;
  switch (m_controller->state()) {
    case CMirelDFUDlg::WaitingForDevice:
    case CMirelDFUDlg::ReadyToStart:
    case CMirelDFUDlg::Succeeded:
    case CMirelDFUDlg::UpToDate:
    case CMirelDFUDlg::Failed:
      m_controller->OnClose();
      break;
    default:
      break;
  }
}

void ConsoleView::on_interrupt(std::chrono::steady_clock::time_point now) {
  if (!m_controller || m_closing) return;
  const int state = m_controller->state();
  switch (m_stop_rule.OnInterrupt(state, now)) {
    case StopSignalRule::Action::AskToClose:
      ask_to_close();
      break;
    case StopSignalRule::Action::Warn:
      print_line(CMirelDFUApp::FlashingWarning(state));
      break;
    case StopSignalRule::Action::Abandon:
      print_line("Stopping the update as asked.");
      m_controller->Abandon();
      break;
  }
}

void ConsoleView::take_stop_request() {
  const unsigned interrupts = ConsoleIo::TakeInterruptCount();
  switch (ConsoleIo::TakeStopRequest()) {
    case ConsoleIo::StopRequest::Interrupt:
      for (unsigned i = 0; i < interrupts && !m_closing; ++i) on_interrupt(std::chrono::steady_clock::now());
      break;
    case ConsoleIo::StopRequest::HangUp:
      // The terminal is gone: nothing more to say, nobody to answer.
      m_output_gone = true;
      m_progress_line_open = false;
      m_close_when_at_rest = true;
      break;
    case ConsoleIo::StopRequest::None:
      break;
  }
}

void ConsoleView::read_input() {
  const bool ended =
      ConsoleIo::ReadKeys(m_stop_input, [this](ConsoleIo::Key key) { m_loop.post_task([this, key] { on_key(key); }); });
  if (ended) {
    m_loop.post_task([this] {
      m_close_when_at_rest = true;
      close_when_at_rest();
    });
  }
}

int ConsoleView::run() {
  ConsoleIo::InstallStopSignals();
  if (m_interactive) m_input = std::thread(&ConsoleView::read_input, this);
  m_loop.set_timer(kStopPollTimer, kStopPollMs);
  const int code = m_loop.run(
      [this](unsigned message, std::uintptr_t wparam) {
        if (m_controller) m_controller->OnMessage(message, wparam);
        close_when_at_rest();
      },
      [this](unsigned id) {
        if (id == kStopPollTimer) {
          take_stop_request();
        } else if (m_controller) {
          m_controller->OnTimer(id);
        }
        close_when_at_rest();
      });
  ConsoleIo::RestoreStopSignals();
  m_stop_input = true;
  if (m_input.joinable()) m_input.join();
  return code;
}

}  // namespace mirel
