#include "app/CMirelDFUApp.h"

#include <cstdio>

#include "app/AppTrace.h"
#include "app/CMirelDFUDlg.h"
#include "app/HostSoftware.h"
#include "app/ProductInfo.h"
#include "app/Simulation.h"
#include "app/console/ConsoleView.h"
#include "runtime/CRodiz.h"
#include "runtime/Vs2003SingletonThreadCleanup.h"

namespace mirel {

int CMirelDFUApp::Run(const std::string& program, const std::vector<std::string>& args) {
  AppTrace::StartClock();
  std::string error;
  if (!CommandLine::Parse(args, &m_options, &error)) {
    std::fprintf(stderr, "%s: %s\n\n%s", program.c_str(), error.c_str(), CommandLine::Usage(program).c_str());
    return kExitBadCommandLine;
  }
  if (m_options.help) {
    std::fputs(CommandLine::Usage(program).c_str(), stdout);
    return kExitSuccess;
  }
  if (m_options.version) {
    std::printf("%s firmware update %s\n", kProductName, kPackageVersion);
    return kExitSuccess;
  }

  Simulation simulation;
  if (m_options.simulate && !simulation.Install(m_options, &error)) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
    return kExitBadCommandLine;
  }

  int result = kExitClosedEarly;
  {
    HostSoftware host;
    // The window views arrive per platform; the console serves everywhere.
    ConsoleView view(stdout, m_options.yes, true);
    CMirelDFUDlg::Options controller_options;
    controller_options.force = m_options.force;
    controller_options.log_enabled = m_options.logEnabled;
    CMirelDFUDlg dialog(view, rodiz::facade(), host, FirmwareImageSet(), controller_options);
    view.attach(&dialog);
    if (!dialog.OnInitDialog()) {
      Trace("Warning: dialog creation failed, so application is terminating unexpectedly.\n");
      result = kExitClosedEarly;
    } else {
      view.run();
      if (CMirelDFUDlg::failure_path_taken() || dialog.state() == CMirelDFUDlg::Failed) {
        result = kExitUpdateFailed;
      } else if (dialog.state() == CMirelDFUDlg::Succeeded || dialog.state() == CMirelDFUDlg::UpToDate) {
        result = kExitSuccess;
      }
    }
  }
  // The dialog is gone; the library's shutdown runs before the simulated
  // devices and the log go.
  rodiz::Vs2003SingletonThreadCleanup::run_cleanups();
  AppTrace::CloseLogFile();
  return result;
}

}  // namespace mirel
