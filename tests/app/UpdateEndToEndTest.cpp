#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/ControllerHarness.h"
#include "app/FakeWin32HostSystem.h"
#include "app/ProgramRun.h"
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
using test::ProgramRun;
using test::UpdateRig;

const auto& small_images = test::ProgramRun::small_images;
const auto& small_mouse = test::ProgramRun::small_mouse;
const auto& restart_library = test::ProgramRun::restart_library;

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
  // A mouse that stays away after its restart, or does not restart, is
  // switched off and on again, as the window asks the user to.
  ProgramRun run(rig, small_images());
  run.switch_off_and_on_when_asked(rig.mouse);
  EXPECT_TRUE(run.go());
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
                                         // Switched off and on in its bootloader: the settings still come back.
                                         FaultCase{"restart_refused", "refuse-restart"},
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
