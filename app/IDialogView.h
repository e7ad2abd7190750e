#pragma once

#include <cstdint>
#include <string>

namespace mirel {

// The window the update controller drives, reduced to what the controller
// needs. Three views implement it: the Win32 dialog, the Qt dialog and the
// console. Every call is made on the controller's thread, except
// post_message, which any thread may call.
//
// Controls are named by their resource ids (app/res/resource.h); texts are
// UTF-8. Timers behave like window timers: once set, a timer fires every
// period until it is killed, and each expiry reaches the controller as
// OnTimer(id) on its own thread, in order with posted messages.
class IDialogView {
 public:
  virtual ~IDialogView() = default;

  virtual void set_window_title(const std::string& text) = 0;
  virtual void set_text(int control, const std::string& text) = 0;
  virtual void show(int control, bool visible) = 0;
  virtual void add_list_entry(int control, const std::string& text) = 0;
  virtual void set_list_extent(int control, int pixels) = 0;
  virtual void make_bold(int control) = 0;
  virtual void set_window_icon(int icon) = 0;
  virtual void set_product_picture(int icon) = 0;
  virtual void set_busy(bool busy) = 0;
  // A message the user must see before the update goes on (a message box in
  // a window, a line on the console); it does not change the status text.
  virtual void show_notice(const std::string& text) = 0;

  virtual void set_progress_range(std::uint32_t low, std::uint32_t high) = 0;
  virtual void set_progress_step(int step) = 0;
  virtual void set_progress_position(std::uint32_t position) = 0;

  // Queues a private message for the controller (any thread).
  virtual void post_message(unsigned message, std::uintptr_t wparam) = 0;
  virtual void set_timer(unsigned id, unsigned period_ms) = 0;
  virtual void kill_timer(unsigned id) = 0;
  // Closes the window; the program ends with `code`.
  virtual void end_dialog(int code) = 0;

  // What the controller learned and did, for views that report more than
  // the window shows (the console, --json); the window views ignore them.
  // A mouse was found: its USB product id and, in application mode, its
  // firmware version ("14.2.6"; empty in bootloader mode).
  virtual void device_found(int /*product_id*/, const std::string& /*version*/) {}
  // The controller entered `state` (CMirelDFUDlg::State).
  virtual void state_changed(int /*state*/) {}
  // The mouse's settings are being written back (state 8).
  virtual void restoring_settings() {}
};

}  // namespace mirel
