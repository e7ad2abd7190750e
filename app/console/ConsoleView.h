#pragma once

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "app/DialogLoop.h"
#include "app/IDialogView.h"

namespace mirel {

class CMirelDFUDlg;

// The update window as a terminal program: the texts of the window, each
// status as it changes, and a progress bar (redrawn in place on a terminal,
// as plain lines in a file or pipe). Enter presses Start or Close when they
// are shown; with `auto_answer` they are pressed by themselves. Ctrl-C asks to
// close, which the controller refuses in the middle of an update.
class ConsoleView : public IDialogView {
 public:
  // `out` receives the display; `interactive` reads Enter from standard input.
  ConsoleView(std::FILE* out, bool auto_answer, bool interactive);
  ~ConsoleView() override;

  void attach(CMirelDFUDlg* controller) { m_controller = controller; }
  // Runs the controller's loop until the window closes; returns its code.
  int run();

  void set_window_title(const std::string& text) override;
  void set_text(int control, const std::string& text) override;
  void show(int control, bool visible) override;
  void add_list_entry(int control, const std::string& text) override;
  void set_list_extent(int, int) override {}
  void make_bold(int) override {}
  void set_window_icon(int) override {}
  void set_product_picture(int) override {}
  void set_busy(bool busy) override;
  void set_progress_range(std::uint32_t low, std::uint32_t high) override;
  void set_progress_step(int) override {}
  void set_progress_position(std::uint32_t position) override;
  void post_message(unsigned message, std::uintptr_t wparam) override { m_loop.post(message, wparam); }
  void set_timer(unsigned id, unsigned period_ms) override { m_loop.set_timer(id, period_ms); }
  void kill_timer(unsigned id) override { m_loop.kill_timer(id); }
  void end_dialog(int code) override;

 private:
  void print_line(const std::string& text);
  void end_progress_line();
  void draw_progress(bool force);
  void read_input();
  void press();

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
  bool m_closing = false;
  std::atomic<bool> m_stop_input{false};
  std::thread m_input;
};

}  // namespace mirel
