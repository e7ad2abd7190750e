#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

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
// The window follows the DPI of the monitor it is on (WM_DPICHANGED): it
// takes the size the system suggests, places and sizes its controls and
// their fonts (the bold status text included) for the new DPI from where
// the template put them, and loads the product picture (128 by 128 at 96
// DPI), the list's horizontal extent and the window icons again at the new
// DPI's size. The system's own rescaling of dialogs is switched off, so the
// window behaves the same on every Windows version.
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
  // The DPI the window is laid out for.
  unsigned dpi() const { return m_dpi; }

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
  // Records the template's layout and font at the window's DPI.
  void note_layout();
  // The window's size for `dpi`: its client area scaled from the
  // template's. False where the system cannot tell.
  bool scaled_size(unsigned dpi, SIZE* size) const;
  // Lays the window out for `dpi` inside `suggested` (null: keep its place).
  void on_dpi_changed(unsigned dpi, const RECT* suggested);
  // The template's font at the current DPI, bold or not; null on failure.
  HFONT make_font(bool bold) const;
  void apply_bold_font();

  // A control and where the template put it, at m_base_dpi.
  struct Placement {
    HWND control;
    RECT rect;
  };

  HINSTANCE m_resources;
  const bool m_auto;
  CMirelDFUDlg* m_controller = nullptr;
  // Read by post_message on any thread.
  std::atomic<HWND> m_hwnd{nullptr};
  bool m_init_ok = false;
  bool m_busy = false;
  bool m_ended = false;
  int m_code = kClosedBySystem;
  // The DPI the template was laid out for, and the current one.
  unsigned m_base_dpi = 96;
  unsigned m_dpi = 96;
  std::vector<Placement> m_layout;
  RECT m_base_client{};
  // The template's font at m_base_dpi.
  LOGFONTW m_template_font{};
  // The controls' font once the DPI has changed; until then the template's,
  // which the dialog owns.
  HFONT m_font = nullptr;
  HFONT m_bold_font = nullptr;
  int m_bold_control = 0;
  // What was asked for, to load again at another DPI.
  int m_window_icon = 0;
  int m_picture_icon = 0;
  int m_list_control = 0;
  int m_list_extent = 0;
  HICON m_big_icon = nullptr;
  HICON m_small_icon = nullptr;
  HICON m_picture = nullptr;
};

}  // namespace mirel
