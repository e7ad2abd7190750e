#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/ControllerHarness.h"
#include "app/FakeWin32HostSystem.h"
#include "app/Win32HostSoftware.h"
#include "app/res/resource.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"
#include "runtime/SettingsKey.h"

namespace mirel {
namespace {

using rodiz::sim::SimFaults;
using rodiz::sim::SimMouse;
using rodiz::sim::SimMouseConfig;
using test::LoopView;
using test::UpdateRig;

// Small made-up images keep the fault runs short; one run streams the real ones.
const std::vector<std::uint8_t>& small_image(int which) {
  static const std::vector<std::vector<std::uint8_t>> images = [] {
    std::vector<std::vector<std::uint8_t>> made(2);
    const char* codes[2] = {"ZKT58_E1", "WVN31_F2"};
    const std::size_t sizes[2] = {1600, 480};
    for (std::size_t i = 0; i < 2; ++i) {
      made[i].assign(sizes[i], 0);
      made[i][0] = static_cast<std::uint8_t>(i * 2);
      made[i][1] = 0x01;
      for (std::size_t c = 0; c < 8; ++c) made[i][2 + c] = static_cast<std::uint8_t>(codes[i][c]);
      for (std::size_t b = 16; b < sizes[i]; ++b) made[i][b] = static_cast<std::uint8_t>(b * 7 + i);
    }
    return made;
  }();
  return images[static_cast<std::size_t>(which)];
}

FirmwareImageSet small_images() {
  return FirmwareImageSet([](int id, const std::uint8_t** data, std::uint32_t* size) {
    if (id != 2000 && id != 2001) return false;
    const auto& image = small_image(id - 2000);
    *data = image.data();
    *size = static_cast<std::uint32_t>(image.size());
    return true;
  });
}

SimMouseConfig small_mouse() {
  SimMouseConfig config = UpdateRig::config_with_embedded_images();
  config.expected_images = {{"ZKT58_E1", small_image(0)}, {"WVN31_F2", small_image(1)}};
  return config;
}

// One run of the program: the controller in a real loop whose timers run 50
// times faster, answering Start by itself.
class ProgramRun {
 public:
  ProgramRun(UpdateRig& rig, FirmwareImageSet images, UpdateInhibitor* inhibitor = nullptr,
             HostSoftware* host = nullptr)
      : view_(50) {
    dialog_ = std::make_unique<CMirelDFUDlg>(view_, rig.library, host ? *host : rig.host, std::move(images),
                                             CMirelDFUDlg::Options(), inhibitor);
  }
  // Runs until the window closes by itself (after success or the countdown),
  // pressing Start and Close like a user.
  bool go(std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
    if (!dialog_->OnInitDialog()) return false;
    presser_ = [this] {
      if (view_.visible(IDC_START) && dialog_->state() == CMirelDFUDlg::ReadyToStart) {
        view_.visible_controls[IDC_START] = false;
        dialog_->OnStart();
      }
      const int s = dialog_->state();
      if (s == CMirelDFUDlg::Succeeded || s == CMirelDFUDlg::UpToDate) dialog_->OnClose();
    };
    view_.loop.set_timer(kPressTimer, 5);
    bool finished = false;
    bool timed_out = false;
    view_.loop.set_timer(kLimitTimer, static_cast<unsigned>(limit.count()));
    view_.loop.run([&](unsigned message, std::uintptr_t wparam) { dialog_->OnMessage(message, wparam); },
                   [&](unsigned id) {
                     if (id == kPressTimer) {
                       presser_();
                     } else if (id == kLimitTimer) {
                       timed_out = true;
                       view_.loop.quit(-1);
                     } else {
                       dialog_->OnTimer(id);
                     }
                   });
    finished = !timed_out;
    return finished;
  }
  CMirelDFUDlg& dialog() { return *dialog_; }
  // Ends the run as a crash would: no close, no restore.
  void kill() { dialog_.reset(); }

 private:
  static constexpr unsigned kPressTimer = 0x7E570010;
  static constexpr unsigned kLimitTimer = 0x7E570011;
  LoopView view_;
  std::unique_ptr<CMirelDFUDlg> dialog_;
  std::function<void()> presser_;
};

// Records in which controller states the lock was taken and given back.
class RecordingInhibitor : public UpdateInhibitor {
 public:
  std::function<int()> state;
  std::vector<std::pair<std::string, int>> calls;
  bool Acquire(const std::string& reason) override {
    calls.emplace_back("acquire", state());
    reason_ = reason;
    held_ = true;
    return true;
  }
  void Release() override {
    if (held_) calls.emplace_back("release", state());
    held_ = false;
  }
  bool held() const override { return held_; }
  const std::string& reason() const { return reason_; }

 private:
  bool held_ = false;
  std::string reason_;
};

TEST(UpdateEndToEndTest, TheMachineIsKeptAwakeFromTheBackupToTheWriteBack) {
  UpdateRig rig(small_mouse());
  RecordingInhibitor inhibitor;
  ProgramRun run(rig, small_images(), &inhibitor);
  inhibitor.state = [&] { return run.dialog().state(); };
  ASSERT_TRUE(run.go());
  EXPECT_EQ(CMirelDFUDlg::Succeeded, run.dialog().state());
  using Call = std::pair<std::string, int>;
  EXPECT_EQ((std::vector<Call>{{"acquire", CMirelDFUDlg::EnteringBootloader}, {"release", CMirelDFUDlg::Succeeded}}),
            inhibitor.calls);
  EXPECT_NE(std::string::npos, inhibitor.reason().find("Mirel VELOXA Wireless Gaming Mouse"));
}

TEST(UpdateEndToEndTest, TheLockIsGivenBackWhenTheUpdateFails) {
  UpdateRig rig(small_mouse());
  std::atomic<bool> stop{false};
  std::thread faulter([&] {
    while (!stop) {
      SimFaults faults;
      faults.bad_status_packet = 5;
      faults.refuse_restart = true;
      rig.mouse->set_faults(faults);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  RecordingInhibitor inhibitor;
  {
    ProgramRun run(rig, small_images(), &inhibitor);
    inhibitor.state = [&] { return run.dialog().state(); };
    EXPECT_TRUE(run.go());
    EXPECT_EQ(CMirelDFUDlg::Failed, run.dialog().state());
  }
  stop = true;
  faulter.join();
  CMirelDFUDlg::reset_failure_path_for_testing();
  ASSERT_FALSE(inhibitor.calls.empty());
  EXPECT_EQ((std::pair<std::string, int>{"release", CMirelDFUDlg::Failed}), inhibitor.calls.back());
  EXPECT_FALSE(inhibitor.held());
}

// The host software's path reaches "MoxelPath" and the program is started
// again at the end; with none running nothing is stored or started.
TEST(UpdateEndToEndTest, TheHostSoftwareIsStartedAgainFromTheStoredPath) {
  for (const bool running : {true, false}) {
    UpdateRig rig(small_mouse());
    auto system = std::make_shared<test::FakeWin32HostSystem>();
    system->event_exists = running;
    if (running) system->processes = {{20, "Moxel.exe", "C:\\Moxel\\Moxel.exe", true}};
    Win32HostSoftware host(system);
    ProgramRun run(rig, small_images(), nullptr, &host);
    ASSERT_TRUE(run.go());
    EXPECT_EQ(CMirelDFUDlg::Succeeded, run.dialog().state());
    EXPECT_EQ(running, run.dialog().relaunch_host_software());
    auto key = rodiz::SettingsKey::open(ProfileBackup::AppKeyPath());
    ASSERT_TRUE(key);
    EXPECT_EQ(running ? std::optional<std::string>("C:\\Moxel\\Moxel.exe") : std::nullopt,
              key->get_string("MoxelPath"));
    EXPECT_EQ(running ? std::vector<std::string>{"C:\\Moxel\\Moxel.exe"} : std::vector<std::string>{},
              system->shell_opened);
  }
}

// "MoxelPath" is only stored once an update starts: a program that closes
// with the mouse up to date starts the host software it found all the same.
TEST(UpdateEndToEndTest, TheHostSoftwareComesBackWhenNoUpdateWasNeeded) {
  SimMouseConfig config = small_mouse();
  config.version = {14, 2, 7};
  config.type6_build = 3;
  UpdateRig rig(config);
  auto system = std::make_shared<test::FakeWin32HostSystem>();
  system->event_exists = true;
  system->processes = {{20, "Moxel.exe", "C:\\Moxel\\Moxel.exe", true}};
  Win32HostSoftware host(system);
  ProgramRun run(rig, small_images(), nullptr, &host);
  ASSERT_TRUE(run.go());
  EXPECT_EQ(CMirelDFUDlg::UpToDate, run.dialog().state());
  EXPECT_EQ(std::vector<std::string>{"C:\\Moxel\\Moxel.exe"}, system->shell_opened);
}

TEST(UpdateEndToEndTest, RealImagesAreStreamedAndTheSettingsComeBack) {
  UpdateRig rig(UpdateRig::config_with_embedded_images());
  const auto sectors = rig.mouse->sectors();
  ProgramRun run(rig, FirmwareImageSet());
  ASSERT_TRUE(run.go(std::chrono::seconds(120)));
  EXPECT_EQ(CMirelDFUDlg::Succeeded, run.dialog().state());
  EXPECT_EQ(7, rig.mouse->version().build);
  EXPECT_EQ(3, rig.mouse->type6_build());
  EXPECT_EQ(sectors, rig.mouse->sectors());
  EXPECT_EQ(3, rig.mouse->active_profile());
  EXPECT_EQ((std::vector<std::uint8_t>{1, 0, 0}), rig.mouse->nv_config(1));
}

struct FaultCase {
  const char* name;
  std::string faults;
};

class FaultRunTest : public testing::TestWithParam<FaultCase> {};

// Each of these faults happens once: the engine's resends or the controller's
// retries must carry the update through to success in the same run, with the
// settings back on the mouse.
TEST_P(FaultRunTest, TheRetriesRecoverAndTheUpdateSucceeds) {
  UpdateRig rig(small_mouse());
  const auto sectors = rig.mouse->sectors();
  SimFaults faults;
  std::string error;
  ASSERT_TRUE(SimFaults::parse(GetParam().faults, &faults, &error)) << error;
  rig.mouse->set_faults(faults);
  // A mouse that stays away after its restart is switched off and on again,
  // as the window asks the user to.
  std::atomic<bool> stop{false};
  std::thread power_cycler([&] {
    int absent_polls = 0;
    while (!stop) {
      absent_polls = rig.mouse->mode() == SimMouse::Mode::Absent ? absent_polls + 1 : 0;
      if (absent_polls == 40) rig.mouse->power_cycle();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  ProgramRun run(rig, small_images());
  EXPECT_TRUE(run.go());
  stop = true;
  power_cycler.join();
  EXPECT_EQ(CMirelDFUDlg::Succeeded, run.dialog().state());
  EXPECT_FALSE(CMirelDFUDlg::failure_path_taken());
  EXPECT_EQ(7, rig.mouse->version().build);
  EXPECT_EQ(sectors, rig.mouse->sectors());
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultRunTest,
                         testing::Values(FaultCase{"lost_answer", "drop=40"},
                                         FaultCase{"late_answer", "late=30,late-ms=400"},
                                         FaultCase{"error_status", "status=20"},
                                         FaultCase{"error_response", "error=10,image=2"},
                                         FaultCase{"unsolicited_status", "unsolicited=12"},
                                         FaultCase{"vanishing_mid_image", "vanish=50,reappear-ms=60"},
                                         FaultCase{"stays_away_after_restart", "stay-away"},
                                         // The resent piece would be taken twice.
                                         FaultCase{"lost_answer_to_a_profile_write", "drop-write=20"},
                                         FaultCase{"lost_answer_to_a_profile_read", "drop-read=40"}),
                         [](const testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

// Faults on every attempt end in the failure path, never in a hang, and a
// later run updates the mouse.
TEST(UpdateEndToEndTest, AMouseThatFailsEveryAttemptEndsInTheFailurePathAndASecondRunUpdatesIt) {
  UpdateRig rig(small_mouse());
  rig.mouse->set_faults(SimFaults());
  std::atomic<bool> stop{false};
  // Every attempt meets an error status, and the restart is refused.
  std::thread faulter([&] {
    while (!stop) {
      SimFaults faults;
      faults.bad_status_packet = 5;
      faults.refuse_restart = true;
      rig.mouse->set_faults(faults);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  {
    ProgramRun first(rig, small_images());
    EXPECT_TRUE(first.go());
    EXPECT_EQ(CMirelDFUDlg::Failed, first.dialog().state());
    EXPECT_TRUE(CMirelDFUDlg::failure_path_taken());
  }
  stop = true;
  faulter.join();
  rig.mouse->set_faults(SimFaults());
  CMirelDFUDlg::reset_failure_path_for_testing();
  ProgramRun second(rig, small_images());
  EXPECT_TRUE(second.go());
  EXPECT_EQ(CMirelDFUDlg::Succeeded, second.dialog().state());
  EXPECT_EQ(7, rig.mouse->version().build);
}

TEST(UpdateEndToEndTest, ProfilesSurviveAProgramKilledMidUpdate) {
  UpdateRig rig(small_mouse());
  const auto sectors = rig.mouse->sectors();
  {
    // The first run saves the settings, sends the mouse to its bootloader and
    // is killed there.
    test::FakeView view;
    CMirelDFUDlg dialog(view, rig.library, rig.host, small_images(), CMirelDFUDlg::Options());
    ASSERT_TRUE(dialog.OnInitDialog());
    ASSERT_EQ(CMirelDFUDlg::ReadyToStart, dialog.state());
    dialog.OnStart();
    ASSERT_TRUE(view.run_until(dialog, [&] { return rig.mouse->mode() == SimMouse::Mode::Bootloader; }));
  }
  rig.library.reset();
  rodiz::facade().reset();  // the library goes with the process
  auto manager = rodiz::facade().getimpl();
  manager->set_device_timeout_ms(200);
  rig.library = manager;
  // The second run finds the mouse in bootloader mode and finishes the update.
  ProgramRun second(rig, small_images());
  ASSERT_TRUE(second.go());
  EXPECT_EQ(CMirelDFUDlg::Succeeded, second.dialog().state());
  EXPECT_EQ(sectors, rig.mouse->sectors());
  EXPECT_EQ(3, rig.mouse->active_profile());
  EXPECT_EQ(2, rig.mouse->resolution_index());
  EXPECT_EQ((std::vector<std::uint8_t>{1, 0, 0}), rig.mouse->nv_config(1));
}

// Ends the library as the end of a process would, for the next run.
void restart_library(UpdateRig& rig) {
  rig.library.reset();
  rodiz::facade().reset();
  auto manager = rodiz::facade().getimpl();
  manager->set_device_timeout_ms(200);
  rig.library = manager;
}

// A run killed after the mouse restarted on its new firmware, before the
// settings were written back: the next run finds the mouse up to date and
// must still write the saved copy back, once.
TEST(UpdateEndToEndTest, ACopyNeverWrittenBackIsWrittenBackByTheNextRunWhateverTheVersion) {
  UpdateRig rig(small_mouse());
  const auto sectors = rig.mouse->sectors();
  {
    test::FakeView view;
    CMirelDFUDlg dialog(view, rig.library, rig.host, small_images(), CMirelDFUDlg::Options());
    ASSERT_TRUE(dialog.OnInitDialog());
    dialog.OnStart();
    ASSERT_TRUE(view.run_until(
        dialog, [&] { return dialog.state() == CMirelDFUDlg::Restarting; }, std::chrono::seconds(30)));
  }
  restart_library(rig);
  rig.mouse->wait_idle(std::chrono::seconds(2));
  ASSERT_EQ(SimMouse::Mode::Application, rig.mouse->mode());
  ASSERT_EQ(7, rig.mouse->version().build);
  ASSERT_NE(sectors, rig.mouse->sectors());  // the new firmware's defaults
  {
    ProgramRun second(rig, small_images());
    ASSERT_TRUE(second.go());
    EXPECT_EQ(CMirelDFUDlg::UpToDate, second.dialog().state());
  }
  EXPECT_EQ(sectors, rig.mouse->sectors());
  EXPECT_EQ(3, rig.mouse->active_profile());
  EXPECT_EQ(2, rig.mouse->resolution_index());
  EXPECT_EQ((std::vector<std::uint8_t>{1, 0, 0}), rig.mouse->nv_config(1));
  // Written back once: a later change of the user's is not undone.
  rig.mouse->press_profile_button(5);
  rig.mouse->wait_idle();
  restart_library(rig);
  ProgramRun third(rig, small_images());
  ASSERT_TRUE(third.go());
  EXPECT_EQ(5, rig.mouse->active_profile());
}

}  // namespace
}  // namespace mirel
