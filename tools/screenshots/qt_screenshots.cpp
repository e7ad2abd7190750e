// Renders the Qt update window in each state a user sees (waiting for the
// mouse, ready to start, updating at 40 %, success, the failure countdown),
// in English and German, to PNG files:
//
//   qt_screenshots OUTPUT_DIR
//
// writes OUTPUT_DIR/qt-<state>.png (English) and qt-<state>-de.png (German).
// The controller is the real one, on the simulated mouse; settings go to a
// private folder that is removed at the end. Run it on Qt's offscreen
// platform (QT_QPA_PLATFORM=offscreen) for pictures that do not depend on
// the desktop.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "app/CMirelDFUDlg.h"
#include "app/CommandLine.h"
#include "app/HostSoftware.h"
#include "app/Simulation.h"
#include "app/qt/QtDialogView.h"
#include "app/res/resource.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"
#include "runtime/Vs2003SingletonThreadCleanup.h"
#include "sim/SimFaults.h"
#include "sim/SimMouse.h"

namespace {

using mirel::CMirelDFUDlg;

// The window, taking its pictures as the controller reaches each state.
class ShotView : public mirel::QtDialogView {
 public:
  // Takes the pictures named in `wanted`, once each.
  ShotView(QString directory, QString suffix, std::set<std::string> wanted, unsigned timeScale)
      : QtDialogView(false, timeScale),
        directory_(std::move(directory)),
        suffix_(std::move(suffix)),
        wanted_(std::move(wanted)) {}

  CMirelDFUDlg* controller = nullptr;
  std::function<void()> on_transfer_start;
  int saved = 0;
  bool all_taken() const { return taken_.size() == wanted_.size(); }
  // Taken, or not wanted at all.
  bool done_with(const std::string& name) const { return taken_.count(name) != 0 || wanted_.count(name) == 0; }

  void set_text(int control, const std::string& text) override {
    QtDialogView::set_text(control, text);
    if (control != IDC_STATUS || controller == nullptr) return;
    switch (controller->state()) {
      case CMirelDFUDlg::WaitingForDevice:
        later("waiting");
        break;
      case CMirelDFUDlg::ReadyToStart:
        later("ready");
        break;
      case CMirelDFUDlg::Succeeded:
        later("success");
        break;
      case CMirelDFUDlg::Failed:
        later("failure");
        break;
      default:
        break;
    }
  }
  void set_progress_range(std::uint32_t low, std::uint32_t high) override {
    QtDialogView::set_progress_range(low, high);
    low_ = low;
    high_ = high;
    if (on_transfer_start) on_transfer_start();
  }
  void set_progress_position(std::uint32_t position) override {
    QtDialogView::set_progress_position(position);
    // At once: the next packet moves the bar on.
    if (high_ > low_ && (position - low_) * 100ull >= (high_ - low_) * 40ull) save("updating");
  }

 private:
  // After the controller's step: it shows and hides its buttons after the text.
  void later(const char* name) {
    QTimer::singleShot(0, this, [this, name] { save(name); });
  }
  void save(const char* name) {
    if (wanted_.count(name) == 0 || !taken_.insert(name).second) return;
    const QString file = directory_ + "/qt-" + name + suffix_ + ".png";
    if (grab().save(file, "PNG")) {
      ++saved;
      std::printf("%s\n", file.toLocal8Bit().constData());
    } else {
      std::fprintf(stderr, "qt_screenshots: cannot write %s\n", file.toLocal8Bit().constData());
    }
  }

  QString directory_;
  QString suffix_;
  std::set<std::string> wanted_;
  std::uint32_t low_ = 0;
  std::uint32_t high_ = 0;
  std::set<std::string> taken_;
};

// One run of the window: presses Start when it is offered and Close when
// the update has ended; returns the number of pictures taken.
int run_window(const QString& directory, const QString& suffix, std::set<std::string> wanted, bool withMouse,
               bool failing) {
  // Each run may take the failure path once more.
  CMirelDFUDlg::reset_failure_path_for_testing();
  mirel::HostSoftware host;
  mirel::Simulation simulation;
  std::shared_ptr<rodiz::IDeviceManager> library;
  if (withMouse) {
    mirel::AppOptions options;
    options.simulate = true;
    options.simLatencyUs = 0;
    std::string error;
    if (!simulation.Install(options, &error)) {
      std::fprintf(stderr, "qt_screenshots: %s\n", error.c_str());
      return 0;
    }
    library = rodiz::facade().getimpl();
  }
  // The failure's retries and countdown at fifty times the speed.
  ShotView view(directory, suffix, std::move(wanted), failing ? 50 : 1);
  int saved = 0;
  {
    CMirelDFUDlg dialog(view, library, host, mirel::FirmwareImageSet(), CMirelDFUDlg::Options());
    view.controller = &dialog;
    view.attach(&dialog);
    if (failing) {
      // Every attempt meets an error status, and the restart is refused.
      view.on_transfer_start = [&simulation] {
        rodiz::sim::SimFaults faults;
        faults.bad_status_packet = 5;
        faults.refuse_restart = true;
        simulation.mouse()->set_faults(faults);
      };
    }
    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&] {
      auto* start = static_cast<QPushButton*>(view.control(IDC_START));
      auto* close = static_cast<QPushButton*>(view.control(IDC_CLOSE));
      if (view.all_taken()) {
        view.end_dialog(0);
      } else if (start->isVisible() && view.done_with("ready")) {
        start->click();
      } else if (close->isVisible() && dialog.state() == CMirelDFUDlg::UpToDate) {
        // Nothing to update: the pictures wanted will not come.
        view.end_dialog(1);
      }
    });
    user.start(50);
    if (dialog.OnInitDialog()) view.run();
    saved = view.saved;
  }
  library.reset();
  rodiz::facade().reset();
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  rodiz::Vs2003SingletonThreadCleanup guard;
  if (argc != 2) {
    std::fprintf(stderr, "usage: qt_screenshots OUTPUT_DIR\n");
    return 2;
  }
  const QString directory = QString::fromLocal8Bit(argv[1]);
  // Settings and documents of the runs go to a folder of their own.
  char scratch[] = "/tmp/qt_screenshots.XXXXXX";
  if (::mkdtemp(scratch) == nullptr) {
    std::perror("qt_screenshots: mkdtemp");
    return 1;
  }
  ::setenv("HOME", scratch, 1);
  ::setenv("XDG_CONFIG_HOME", scratch, 1);
  ::setenv("XDG_STATE_HOME", scratch, 1);
  int result = 0;
  {
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    if (!QDir().mkpath(directory)) {
      std::fprintf(stderr, "qt_screenshots: cannot make %s\n", argv[1]);
      result = 1;
    }
    const struct {
      const char* locale;
      const char* suffix;
    } languages[] = {{"C", ""}, {"de_DE.UTF-8", "-de"}};
    for (const auto& language : languages) {
      if (result != 0) break;
      ::setenv("LC_ALL", language.locale, 1);
      int saved = run_window(directory, language.suffix, {"waiting"}, false, false);
      saved += run_window(directory, language.suffix, {"ready", "updating", "success"}, true, false);
      saved += run_window(directory, language.suffix, {"failure"}, true, true);
      if (saved != 5) {
        std::fprintf(stderr, "qt_screenshots: %d of 5 pictures taken for %s\n", saved, language.locale);
        result = 1;
      }
    }
  }
  rodiz::Vs2003SingletonThreadCleanup::run_cleanups();
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  return result;
}
