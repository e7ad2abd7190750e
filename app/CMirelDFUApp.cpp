#include "app/CMirelDFUApp.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/AppPlatform.h"
#include "app/AppTrace.h"
#include "app/CMirelDFUDlg.h"
#include "app/FirmwareResources.h"
#include "app/HostSoftware.h"
#include "app/ProductInfo.h"
#include "app/Simulation.h"
#include "app/UpdateInhibitor.h"
#include "app/console/ConsoleIo.h"
#include "app/console/ConsoleView.h"
#include "app/console/JsonView.h"
#include "log/xLog.h"
#include "runtime/CRodiz.h"
#include "runtime/Vs2003SingletonThreadCleanup.h"

namespace mirel {

bool CMirelDFUApp::MayFlash(bool testImages, bool simulated, bool allowTestImages) {
  return !testImages || simulated || allowTestImages;
}

bool CMirelDFUApp::TraceRequestedByEnvironment() {
  const char* value = std::getenv("MIREL_TRACE");
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

std::string CMirelDFUApp::InterruptedUpdateNotice(int state) {
  static const std::string kAgain = " Run this program again to finish the update.";
  switch (state) {
    case CMirelDFUDlg::EnteringBootloader:
      return "The update was stopped while the mouse was restarting into its update mode; its firmware has not been "
             "changed yet, but it may not work until it is updated." +
             kAgain;
    case CMirelDFUDlg::SendingImage1:
    case CMirelDFUDlg::SendingImage2:
      return "The update was stopped while the mouse was in its update mode; its firmware is incomplete and it will "
             "not work until it is updated." +
             kAgain;
    case CMirelDFUDlg::Restarting:
    case CMirelDFUDlg::AwaitingPowerCycle:
    case CMirelDFUDlg::RestoringSettings:
      return "The update was stopped after the new firmware was written, before the mouse's settings were "
             "restored." +
             kAgain;
    default:
      return std::string();
  }
}

std::string CMirelDFUApp::FlashingWarning(int state) {
  std::string consequence;
  switch (state) {
    case CMirelDFUDlg::EnteringBootloader:
      consequence =
          "stopping now can leave the mouse in its update mode, and it may not work until this program is run "
          "again.";
      break;
    case CMirelDFUDlg::SendingImage1:
    case CMirelDFUDlg::SendingImage2:
      consequence =
          "stopping now leaves the mouse with incomplete firmware, and it will not work until this program is run "
          "again.";
      break;
    default:
      consequence = "the new firmware is written; stopping now leaves the mouse's saved settings unrestored.";
      break;
  }
  return "The firmware update is in progress: " + consequence +
         " The update goes on; to stop anyway, press Ctrl-C (or send the signal) again within 5 seconds.";
}

ExitStatus CMirelDFUApp::Outcome(const CMirelDFUDlg& dialog, bool checkOnly) {
  if (dialog.abandoned()) return ExitStatus::ClosedEarly;
  if (CMirelDFUDlg::failure_path_taken() || dialog.state() == CMirelDFUDlg::Failed || dialog.refused_test_images() ||
      dialog.refused_damaged_images()) {
    return ExitStatus::Failed;
  }
  if (dialog.timed_out()) return ExitStatus::NoDevice;
  if (checkOnly) {
    if (!dialog.check_done()) return ExitStatus::ClosedEarly;
    return dialog.update_needed() ? ExitStatus::UpdateNeeded : ExitStatus::UpToDate;
  }
  if (dialog.state() == CMirelDFUDlg::Succeeded) return ExitStatus::Updated;
  if (dialog.state() == CMirelDFUDlg::UpToDate) return ExitStatus::UpToDate;
  return ExitStatus::ClosedEarly;
}

int CMirelDFUApp::Run(const std::string& program, const std::vector<std::string>& args,
                      const WindowViewMaker& makeWindow) {
  AppTrace::StartClock();
  ConsoleIo::PrepareProcess();
  std::string error;
  const bool parsed = CommandLine::Parse(args, &m_options, &error);
  // A run that only answers from its command line leaves no log behind.
  if (!parsed || m_options.help || m_options.version) rodiz::xLogTurnOffUnlessStarted();
  // What is written before a view is chosen goes to the console the program
  // was started from, if any.
  if (!parsed || m_options.help || m_options.version) ConsoleIo::ConnectConsole(false);
  if (!parsed) {
    std::fprintf(stderr, "%s: %s\n(%s --help lists the options)\n", program.c_str(), error.c_str(), program.c_str());
    return ToInt(ExitStatus::BadCommandLine);
  }
  if (m_options.help) {
    std::fputs(CommandLine::Usage(program).c_str(), stdout);
    return ToInt(ExitStatus::Updated);
  }
  if (m_options.version) {
    std::printf("%s %s (%s firmware update)\n", program.c_str(), kPackageVersion, kProductName);
    return ToInt(ExitStatus::Updated);
  }

  AppTrace::SetDebugOutputEnabled(m_options.trace || TraceRequestedByEnvironment() ||
                                  AppPlatform::DebugOutputByDefault());

  if (!m_options.simStopAt.empty()) {
    // Fault tests kill the program at a point its trace names; stopping it
    // there first makes the point exact whatever the machine's speed.
    const std::string text = m_options.simStopAt;
    const int count = m_options.simStopAtCount;
    auto seen = std::make_shared<std::atomic<int>>(0);
    AppTrace::SetLineWatcher([text, count, seen](const std::string& message) {
      if (message.find(text) != std::string::npos && seen->fetch_add(1) + 1 == count) {
        AppPlatform::StopProcessForTest();
      }
    });
  }

  Simulation simulation;
  if (m_options.simulate && !simulation.Install(m_options, &error)) {
    ConsoleIo::ConnectConsole(false);
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
    return ToInt(ExitStatus::BadCommandLine);
  }
  // The tool itself takes only devices on their cable; a simulated receiver
  // is useful only when the library also takes receivers.
  if (simulation.usesReceiver()) rodiz::facade().config_set(4, true);

  // Before the first device is made, so that each finds its feature cache.
  const std::filesystem::path dataFolder = AppPlatform::PersistentDataFolder();
  if (!dataFolder.empty()) {
    const std::u8string folder = dataFolder.u8string();
    rodiz::facade().persistent_data_directory(std::string(folder.begin(), folder.end()));
  }

  ExitStatus result = ExitStatus::ClosedEarly;
  std::string reason;
  {
    // The simulated mouse has nothing to do with the real host software:
    // a simulation leaves it running.
    std::unique_ptr<HostSoftware> host =
        m_options.simulate ? std::make_unique<HostSoftware>() : HostSoftware::ForThisPlatform();
    std::unique_ptr<UpdateInhibitor> inhibitor = UpdateInhibitor::ForThisPlatform();
    std::unique_ptr<IProgramView> window;
    if (m_options.json) {
      // For scripts: no window, and nothing on standard output but the
      // objects.
      ConsoleIo::ConnectConsole(true);
      window = std::make_unique<JsonView>(stdout, m_options.yes, true);
    } else if (makeWindow && !m_options.console) {
      std::string whyNot;
      window = makeWindow(m_options, &whyNot);
      if (!window) {
        ConsoleIo::ConnectConsole(true);
        std::fprintf(stderr, "%s: no window (%s); showing the update here.\n", program.c_str(), whyNot.c_str());
      }
    }
    if (!window) {
      ConsoleIo::ConnectConsole(true);
      window = std::make_unique<ConsoleView>(stdout, m_options.yes, true);
    }
    IProgramView& view = *window;
    CMirelDFUDlg::Options controller_options;
    controller_options.force = m_options.force;
    controller_options.log_enabled = m_options.logEnabled;
    // The program knows which bus it installed: with --simulate every mouse
    // it can reach is the simulated one.
    controller_options.may_flash =
        MayFlash(FirmwareResources::AreTestImages(), m_options.simulate, m_options.allowTestImages);
    controller_options.timeout_ms = static_cast<unsigned>(m_options.EffectiveTimeoutSeconds()) * 1000u;
    controller_options.check_only = m_options.check;
    CMirelDFUDlg dialog(view, rodiz::facade(), *host, FirmwareImageSet(), controller_options, inhibitor.get());
    view.attach(&dialog);
    if (!view.initialise()) {
      Trace("Warning: dialog creation failed, so application is terminating unexpectedly.\n");
      result = ExitStatus::ClosedEarly;
    } else {
      view.run();
      const std::string notice = InterruptedUpdateNotice(dialog.state());
      if (!notice.empty()) {
        Trace("%s\n", notice.c_str());
        view.show_notice(notice);
      }
      result = Outcome(dialog, m_options.check);
      reason = dialog.end_reason();
      if (result == ExitStatus::ClosedEarly && dialog.abandoned()) reason = notice;
      view.report_end(result, reason);
    }
  }
  // A script reads one line that says why; the console and the window said
  // it in their own words already.
  if ((result == ExitStatus::Failed || result == ExitStatus::NoDevice) && !reason.empty()) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), reason.c_str());
  }
  // The dialog is gone; the library's shutdown runs before the simulated
  // devices and the log go.
  rodiz::Vs2003SingletonThreadCleanup::run_cleanups();
  AppTrace::CloseLogFile();
  return ToInt(result);
}

}  // namespace mirel
