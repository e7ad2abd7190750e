#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/ExitStatus.h"
#include "app/IProgramView.h"

namespace mirel {

// The application object: reads the command line, runs the update window with
// its controller, and shuts the device library down at the end.
class CMirelDFUDlg;

class CMirelDFUApp {
 public:
  // Makes the platform's window view, or returns null with the reason in
  // `whyNot` (one line, no full stop) when no window can be shown here.
  using WindowViewMaker = std::function<std::unique_ptr<IProgramView>(const AppOptions&, std::string* whyNot)>;

  // Runs the program; `args` without the program name; returns an
  // ExitStatus. The caller's main()
  // holds the thread-cleanup guard. Without `--console` the update is shown
  // in the window `makeWindow` makes; when it makes none, in the console,
  // after a line on standard error that says why.
  int Run(const std::string& program, const std::vector<std::string>& args,
          const WindowViewMaker& makeWindow = nullptr);

  const AppOptions& options() const { return m_options; }

  // Whether the controller may write images to the mice it finds: always
  // for the simulated mouse and for a build with real images; for a build
  // with the project's test images only when the user allowed it.
  static bool MayFlash(bool testImages, bool simulated, bool allowTestImages);
  // Whether the environment asks for the trace on standard error
  // (MIREL_TRACE set to anything but empty or "0").
  static bool TraceRequestedByEnvironment();
  // What the user must know when the window closed in `state` before the
  // update finished; empty when nothing was under way.
  static std::string InterruptedUpdateNotice(int state);
  // What a first stop signal during a flash (states 3 to 8) says: that the
  // update is in progress, what stopping in `state` would do to the mouse,
  // and how to stop anyway.
  static std::string FlashingWarning(int state);
  // How a run ends, from what the controller saw.
  static ExitStatus Outcome(const CMirelDFUDlg& dialog, bool checkOnly);

 private:
  AppOptions m_options;
};

}  // namespace mirel
