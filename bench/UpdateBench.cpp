// A whole simulated update under the USB timing model: the real controller
// in a real loop on the simulated mouse whose reports move only at frame
// boundaries, the log at its default level. Per phase: the mouse's round
// trips, the time taken and its floor (round trips times the frame, plus the
// mouse's own reboot or restart time), and their ratio.
//
//   update_bench [runs, default 3] [frame interval in microseconds, default 1000]
//
// The run with the median total is shown.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/CMirelDFUDlg.h"
#include "app/ControllerHarness.h"
#include "app/FirmwareImageSet.h"
#include "sim/SimMouse.h"

namespace {

using Clock = std::chrono::steady_clock;
using mirel::CMirelDFUDlg;

struct Mark {
  const char* phase;  // the phase that ends here
  Clock::time_point at;
  int requests;
};

// The loop's view, which also tells the bench whenever the controller shows
// something: a state's entry actions (the settings write-back of state 8)
// run inside the delivery that switched to it.
class BenchView : public mirel::test::LoopView {
 public:
  BenchView() : LoopView(1) {}
  void set_text(int control, const std::string& text) override {
    LoopView::set_text(control, text);
    if (shown) shown();
  }
  void show(int control, bool visible) override {
    LoopView::show(control, visible);
    if (shown) shown();
  }
  void set_progress_position(std::uint32_t position) override {
    LoopView::set_progress_position(position);
    if (shown) shown();
  }
  std::function<void()> shown;
};

struct Phase {
  const char* name;
  int round_trips = 0;
  double ms = 0;
  double floor_ms = 0;
};

// One update from the program's start until it reports success; empty when
// it did not get there within a minute.
std::vector<Phase> run_once(std::chrono::microseconds frame) {
  rodiz::sim::SimMouseConfig config = mirel::test::UpdateRig::config_with_embedded_images();
  config.frame_interval = frame;
  config.latency = frame;
  config.reboot_delay = std::chrono::milliseconds(400);
  config.restart_delay = std::chrono::milliseconds(400);
  mirel::test::UpdateRig rig(config);
  BenchView view;
  CMirelDFUDlg dialog(view, rig.library, rig.host, mirel::FirmwareImageSet(), CMirelDFUDlg::Options());

  std::vector<Mark> marks;
  auto mark = [&](const char* phase) { marks.push_back({phase, Clock::now(), rig.mouse->requests()}); };
  int seen = -1;
  bool done = false;
  bool pressed = false;
  // A new state ends a phase; after a delivery, Start is pressed at once.
  auto observe = [&](bool after_delivery) {
    const int state = dialog.state();
    if (state == CMirelDFUDlg::ReadyToStart && after_delivery && !pressed) {
      if (seen != state) mark("discovery");
      seen = state;
      pressed = true;
      dialog.OnStart();
      mark("backup");
      return;
    }
    if (state == seen) return;
    seen = state;
    switch (state) {
      case CMirelDFUDlg::ReadyToStart:
        mark("discovery");
        break;
      case CMirelDFUDlg::SendingImage1:
        mark("reboot");
        break;
      case CMirelDFUDlg::SendingImage2:
        mark("image 1");
        break;
      case CMirelDFUDlg::Restarting:
        mark("image 2");
        break;
      case CMirelDFUDlg::RestoringSettings:
        mark("restart");
        break;
      case CMirelDFUDlg::Succeeded:
        mark("restore");
        done = true;
        break;
      default:
        break;
    }
  };
  constexpr unsigned kLimitTimer = 0x7E570011;
  // The loop ends at success, failure, or a mouse found up to date.
  auto settle = [&] {
    observe(true);
    const int state = dialog.state();
    if (done) view.loop.quit(0);
    if (state == CMirelDFUDlg::Failed || state == CMirelDFUDlg::UpToDate) view.loop.quit(-1);
  };
  view.shown = [&] { observe(false); };
  mark("start");
  if (!dialog.OnInitDialog()) return {};
  observe(true);
  view.loop.set_timer(kLimitTimer, 60000);
  view.loop.run(
      [&](unsigned message, std::uintptr_t wparam) {
        dialog.OnMessage(message, wparam);
        settle();
      },
      [&](unsigned id) {
        if (id == kLimitTimer) {
          view.loop.quit(-1);
          return;
        }
        dialog.OnTimer(id);
        settle();
      });
  view.shown = nullptr;
  if (!done) return {};

  const double frame_ms = std::chrono::duration<double, std::milli>(frame).count();
  std::vector<Phase> phases;
  for (std::size_t i = 1; i < marks.size(); ++i) {
    Phase p;
    p.name = marks[i].phase;
    p.round_trips = marks[i].requests - marks[i - 1].requests;
    p.ms = std::chrono::duration<double, std::milli>(marks[i].at - marks[i - 1].at).count();
    p.floor_ms = p.round_trips * frame_ms;
    if (std::string(p.name) == "reboot") p.floor_ms += static_cast<double>(config.reboot_delay.count());
    if (std::string(p.name) == "restart") p.floor_ms += static_cast<double>(config.restart_delay.count());
    phases.push_back(p);
  }
  return phases;
}

double total_ms(const std::vector<Phase>& phases) {
  double sum = 0;
  for (const Phase& p : phases) sum += p.ms;
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::chrono::microseconds frame(argc > 2 ? std::max(1, std::atoi(argv[2])) : 1000);

  // The log file and settings in a folder of the run's own.
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("rodiz-update-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);

  std::vector<std::vector<Phase>> results;
  for (int i = 0; i < runs; ++i) {
    std::vector<Phase> phases = run_once(frame);
    if (phases.empty()) {
      std::fprintf(stderr, "run %d did not end in success\n", i + 1);
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
      return 1;
    }
    results.push_back(std::move(phases));
  }
  std::sort(results.begin(), results.end(),
            [](const std::vector<Phase>& a, const std::vector<Phase>& b) { return total_ms(a) < total_ms(b); });
  const std::vector<Phase>& shown = results[results.size() / 2];

  std::printf("frame interval %lld us, %d runs (median total shown)\n", static_cast<long long>(frame.count()), runs);
  std::printf("%-10s %11s %10s %10s %7s %14s\n", "phase", "round trips", "time ms", "floor ms", "ratio",
              "ms/round trip");
  Phase total{"total"};
  for (const Phase& p : shown) {
    std::printf("%-10s %11d %10.1f %10.1f %7.3f %14.3f\n", p.name, p.round_trips, p.ms, p.floor_ms,
                p.floor_ms > 0 ? p.ms / p.floor_ms : 0.0, p.round_trips > 0 ? p.ms / p.round_trips : 0.0);
    total.round_trips += p.round_trips;
    total.ms += p.ms;
    total.floor_ms += p.floor_ms;
  }
  std::printf("%-10s %11d %10.1f %10.1f %7.3f\n", total.name, total.round_trips, total.ms, total.floor_ms,
              total.ms / total.floor_ms);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
