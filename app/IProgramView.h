#pragma once

#include <string>

#include "app/ExitStatus.h"
#include "app/IDialogView.h"

namespace mirel {

class CMirelDFUDlg;

// A view the program can run the update in: the console, or a window of the
// platform's toolkit. The program makes the view, then the controller on it,
// attaches the controller, initialises the view and runs it until the window
// closes.
class IProgramView : public IDialogView {
 public:
  // `controller` receives the buttons, keys, posted messages and timers; it
  // outlives every call to run().
  virtual void attach(CMirelDFUDlg* controller) = 0;
  // Makes the window and runs the controller's OnInitDialog as part of its
  // initialisation, before anything is shown. False when the window could
  // not be made or the initialisation failed; no window is left then.
  virtual bool initialise() = 0;
  // Runs the controller's loop until the window closes; returns the code
  // given to end_dialog.
  virtual int run() = 0;
  // After run(): how the program ends and why (a sentence in the user's
  // language; empty when there is nothing to explain). The console prints
  // the reason of a run that did not end well, --json its result object;
  // a window has shown everything already.
  virtual void report_end(ExitStatus /*status*/, const std::string& /*reason*/) {}
};

}  // namespace mirel
