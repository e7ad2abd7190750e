#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "app/DialogLoop.h"
#include "app/IProgramView.h"
#include "app/StopSignalRule.h"
#include "app/console/ConsoleIo.h"

namespace mirel {

class CMirelDFUDlg;

// The update window as a terminal program: the texts of the window, each
// status as it changes, and a progress bar (redrawn in place on a terminal,
// as plain lines in a file or pipe), in the order in which things happen.
//
// Keys go through the controller's close rule like the window's buttons:
// Enter presses Start when it is shown and otherwise asks to close, Escape
// asks to close, which the controller refuses in the middle of an update.
// Ctrl-C, Ctrl-\\ and SIGTERM ask to close too; while the mouse is being
// flashed (states 3 to 8) the first one only says what stopping now would
// mean and the update goes on, and a second one within 5 s stops the program
// anyway (exit status 3). With `auto_answer` Start and Close are pressed by
// themselves.
//
// Output that cannot be written (a closed pipe, a hung-up terminal) is
// dropped and the update goes on. When the input ends or the terminal hangs
// up nobody can press anything any more: the window closes as soon as the
// controller is at rest (waiting, ready, finished or failed), never in the
// middle of an update.
class ConsoleView : public IProgramView {
 public:
  // `out` receives the display; `interactive` reads keys from standard input.
  ConsoleView(std::FILE* out, bool auto_answer, bool interactive);
  ~ConsoleView() override;

  void attach(CMirelDFUDlg* controller) override { m_controller = controller; }
  bool initialise() override;
  int run() override;

  void set_window_title(const std::string& text) override;
  void set_text(int control, const std::string& text) override;
  void show(int control, bool visible) override;
  void add_list_entry(int control, const std::string& text) override;
  void set_list_extent(int, int) override {}
  void make_bold(int) override {}
  void set_window_icon(int) override {}
  void set_product_picture(int) override {}
  void set_busy(bool busy) override;
  void show_notice(const std::string& text) override { print_line(text); }
  void set_progress_range(std::uint32_t low, std::uint32_t high) override;
  void set_progress_step(int) override {}
  void set_progress_position(std::uint32_t position) override;
  void post_message(unsigned message, std::uintptr_t wparam) override { m_loop.post(message, wparam); }
  void set_timer(unsigned id, unsigned period_ms) override { m_loop.set_timer(id, period_ms); }
  void kill_timer(unsigned id) override { m_loop.kill_timer(id); }
  void end_dialog(int code) override;
  void device_found(int product_id, const std::string& version) override;
  void restoring_settings() override;
  void report_end(ExitStatus status, const std::string& reason) override;

  // Whether output still reaches its reader.
  bool output_open() const { return !m_output_gone; }
  // A key, as the input thread delivers it (on the loop's thread).
  void on_key(ConsoleIo::Key key);
  // One interrupt (Ctrl-C, SIGTERM) seen at `now`, on the loop's thread.
  void on_interrupt(std::chrono::steady_clock::time_point now);
  // How long a first interrupt during a flash waits for a second one.
  static constexpr std::chrono::seconds kInsistWindow = StopSignalRule::kInsistWindow;

 protected:
  // A line of text for the user (prompts, notices, warnings).
  virtual void print_line(const std::string& text);
  // Writes as it is; a failed write ends the output.
  void write(const std::string& text);
  // The bar for the last position; `force` draws it even when the percent
  // has not changed.
  virtual void draw_progress(bool force);
  bool closing() const { return m_closing; }
  CMirelDFUDlg* controller() const { return m_controller; }
  // The progress bar: shown or not, bytes done within its range, the range.
  bool progress_shown() const;
  std::uint32_t progress_done() const;
  std::uint32_t progress_span() const { return m_high > m_low ? m_high - m_low : 0; }

 private:
  void end_progress_line();
  void read_input();
  void press();
  void ask_to_close();
  void close_when_at_rest();
  void take_stop_request();

  std::FILE* m_out;
  const bool m_auto;
  const bool m_interactive;
  const bool m_tty;
  CMirelDFUDlg* m_controller = nullptr;
  DialogLoop m_loop;
  std::map<int, bool> m_visible;
  std::string m_status;
  std::uint32_t m_low = 0;
  std::uint32_t m_high = 0;
  std::uint32_t m_position = 0;
  int m_drawn_percent = -1;
  bool m_progress_line_open = false;
  bool m_draw_pending = false;
  bool m_closing = false;
  bool m_output_gone = false;
  // Nobody can answer any more: close once the controller is at rest.
  bool m_close_when_at_rest = false;
  StopSignalRule m_stop_rule;
  std::atomic<bool> m_stop_input{false};
  std::thread m_input;
};

}  // namespace mirel
