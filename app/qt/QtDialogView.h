#pragma once

#include <QDialog>
#include <chrono>
#include <cstdint>
#include <string>

#include "app/IProgramView.h"
#include "app/StopSignalRule.h"
#include "app/qt/QtControllerLoop.h"

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTimer;

namespace mirel {

class QtProductPicture;

// The update window as a Qt dialog: the product picture, the title and
// warning lines, the release notes, the bold status text, the progress bar
// and the Start and Close buttons, which share one place. Controls are laid
// out in dialog units of the window's font, so the window grows with the
// font and the screen's scale factor.
//
// Every way of closing goes through the controller's close rule: the Close
// button, the window's close box (and Alt-F4), Escape, Enter when no button
// is shown. Start and Close take the keyboard focus when they appear, so
// Enter or Space presses them. Ctrl-C, Ctrl-\ and SIGTERM sent to the process
// follow the console's rule (StopSignalRule): outside the flash they ask to
// close; during it the first one writes a warning to standard error, where
// the signal came from, and a second one within 5 s stops the program
// anyway (the controller's Abandon). The notice that follows such a stop goes
// to standard error too: nobody who insisted on stopping waits for a box.
//
// With `autoAnswer` Start and Close press themselves and notices go to the
// trace instead of a message box: nobody is there to answer.
class QtDialogView : public QDialog, public IProgramView {
 public:
  // Needs a QApplication. `timeScale` divides every controller timer's
  // period (tests and demonstrations only).
  explicit QtDialogView(bool autoAnswer = false, unsigned timeScale = 1);
  ~QtDialogView() override;

  void attach(CMirelDFUDlg* controller) override { m_controller = controller; }
  bool initialise() override;
  int run() override;

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
  void set_progress_step(int) override {}
  void set_progress_position(std::uint32_t position) override;
  void post_message(unsigned message, std::uintptr_t wparam) override { m_loop.post(message, wparam); }
  void set_timer(unsigned id, unsigned periodMs) override { m_loop.set_timer(id, periodMs); }
  void kill_timer(unsigned id) override { m_loop.kill_timer(id); }
  void end_dialog(int code) override;

  // The control with a resource id (IDC_...), for tests and screenshots;
  // null for an unknown id.
  QWidget* control(int id) const;
  // The icon shown in the product picture (IDI_...), 0 before the first.
  int product_picture() const { return m_pictureIcon; }
  bool ended() const { return m_ended; }
  // One stop signal seen at `now`, as the window's poll of the signal flags
  // delivers it.
  void on_interrupt(std::chrono::steady_clock::time_point now);
  QtControllerLoop& loop() { return m_loop; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void reject() override;

 private:
  void lay_out();
  void ask_to_close();
  void press(QPushButton* button);
  void take_stop_request();

  CMirelDFUDlg* m_controller = nullptr;
  const bool m_auto;
  QtControllerLoop m_loop;
  QtProductPicture* m_picture;
  QLabel* m_title;
  QLabel* m_warning;
  QLabel* m_heading;
  QListWidget* m_notes;
  QLabel* m_status;
  QProgressBar* m_progress;
  QPushButton* m_close;
  QPushButton* m_start;
  QTimer* m_stopPoll;
  int m_pictureIcon = 0;
  int m_listExtent = 0;
  bool m_ended = false;
  bool m_busy = false;
  StopSignalRule m_stopRule;
  // The user insisted on stopping with a second signal.
  bool m_stoppedBySignal = false;
};

}  // namespace mirel
