#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "app/IProgramView.h"

namespace mirel {

class CMirelDFUDlg;

// The update window on Windows: the dialog of template IDD_MIREL_DFU_DIALOG
// from the executable's resources, driven by the controller.
//
// The controller's private messages are posted window messages and its
// timers are window timers of this dialog, so everything reaches the
// controller on the thread that created the window, in the order the system
// delivers it. The Start button calls OnStart; the Close button, the close
// box, Alt-F4, Escape and Enter without a button all go through the
// controller's close rule (OnClose), which may refuse. Start and Close take
// the keyboard focus when they appear, so Enter or Space presses them. The
// window is modeless with its own message loop (run), so that tests can
// drive it while it runs.
//
// With `autoAnswer` Start and Close press themselves once the controller's
// step that showed them has returned, and notices go to the trace instead of
// a message box: nobody is there to answer.
//
// Every call except post_message must be made on the window's thread.
class Win32DialogView : public IProgramView {
 public:
  // `resources` holds the template, the icons and the texts; null means the
  // executable.
  explicit Win32DialogView(HINSTANCE resources = nullptr, bool autoAnswer = false);
  ~Win32DialogView() override;
  Win32DialogView(const Win32DialogView&) = delete;
  Win32DialogView& operator=(const Win32DialogView&) = delete;

  void attach(CMirelDFUDlg* controller) override { m_controller = controller; }
  // Creates the window. The controller's OnInitDialog runs while the window
  // initialises (WM_INITDIALOG), before it is shown. False when the window
  // could not be created or the controller's initialisation failed; no
  // window is left then.
  bool create();
  bool initialise() override { return create(); }
  // Runs the message loop until the window closes; returns the code given to
  // end_dialog (or kClosedBySystem when the loop was ended from outside).
  int run() override;
  // Runs the messages already queued and the timers already due, then
  // returns; false once the window is gone. For tests.
  bool pump();

  HWND window() const { return m_hwnd.load(); }
  // The control's text (UTF-8), for tests and screenshots.
  std::string text(int control) const;
  bool busy() const { return m_busy; }

  static constexpr int kClosedBySystem = -1;

  void set_window_title(const std::string& text) override;
  void set_text(int control, const std::string& text) override;
  void show(int control, bool visible) override;
  void add_list_entry(int control, const std::string& text) override;
  void set_list_extent(int control, int pixels) override;
  void make_bold(int control) override;
  void set_window_icon(int icon) override;
  void set_product_picture(int icon) override;
  void set_busy(bool busy) override;
  void show_notice(const std::string& text) override;
  void set_progress_range(std::uint32_t low, std::uint32_t high) override;
  void set_progress_step(int step) override;
  void set_progress_position(std::uint32_t position) override;
  void post_message(unsigned message, std::uintptr_t wparam) override;
  void set_timer(unsigned id, unsigned period_ms) override;
  void kill_timer(unsigned id) override;
  void end_dialog(int code) override;

 protected:
  // Puts a notice in front of the user (a message box over the window, or
  // on its own once the window is gone). Tests replace it: a message box
  // waits for a person.
  virtual void present_notice(const std::wstring& text);

 private:
  static INT_PTR CALLBACK DialogProcStatic(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR DialogProc(UINT message, WPARAM wparam, LPARAM lparam);
  void on_command(int control, int notification);
  void press(int control);
  void paint_minimised();
  HICON load_icon(int icon, int size) const;
  void release_resources();

  HINSTANCE m_resources;
  const bool m_auto;
  CMirelDFUDlg* m_controller = nullptr;
  // Read by post_message on any thread.
  std::atomic<HWND> m_hwnd{nullptr};
  bool m_init_ok = false;
  bool m_busy = false;
  bool m_ended = false;
  int m_code = kClosedBySystem;
  HFONT m_bold_font = nullptr;
  HICON m_big_icon = nullptr;
  HICON m_small_icon = nullptr;
  HICON m_picture = nullptr;
};

}  // namespace mirel
