#include <gtest/gtest.h>

#include "app/CMirelDFUDlg.h"
#include "app/ControllerHarness.h"
#include "app/res/resource.h"
#include "device/Device.h"
#include "runtime/SettingsKey.h"
#include "support/FakeChannel.h"

namespace mirel {
namespace {

using rodiz::sim::SimMouse;
using rodiz::sim::SimMouseConfig;
using test::FakeView;
using test::UpdateRig;

SimMouseConfig mouse_with(int major, int minor, int build, int type6 = 2) {
  SimMouseConfig config = UpdateRig::config_with_embedded_images();
  config.version = {major, minor, build};
  config.type6_build = type6;
  return config;
}

// The controller on a fake view against the simulated mouse.
class ControllerTest : public testing::Test {
 protected:
  void start(SimMouseConfig config, CMirelDFUDlg::Options options = {}) {
    rig_ = std::make_unique<UpdateRig>(std::move(config));
    dialog_ = std::make_unique<CMirelDFUDlg>(view_, rig_->library, rig_->host, FirmwareImageSet(), options);
    ASSERT_TRUE(dialog_->OnInitDialog());
  }
  void TearDown() override {
    dialog_.reset();
    rig_.reset();
  }
  bool wait_state(int state) {
    return view_.run_until(*dialog_, [&] { return dialog_->state() == state; });
  }

  FakeView view_;
  std::unique_ptr<UpdateRig> rig_;
  std::unique_ptr<CMirelDFUDlg> dialog_;
};

TEST_F(ControllerTest, VersionDecidesWhetherTheUpdateIsOffered) {
  struct Case {
    SimMouseConfig config;
    bool force;
    int expected;
  };
  const Case cases[] = {
      {mouse_with(14, 2, 7, 3), false, CMirelDFUDlg::UpToDate},
      {mouse_with(14, 2, 6, 3), false, CMirelDFUDlg::ReadyToStart},
      {mouse_with(14, 1, 9, 3), false, CMirelDFUDlg::ReadyToStart},
      {mouse_with(14, 3, 0, 3), false, CMirelDFUDlg::UpToDate},
      {mouse_with(14, 2, 7, 2), false, CMirelDFUDlg::ReadyToStart},  // the type-6 build is too old
      {mouse_with(14, 2, 9907, 3), false, CMirelDFUDlg::UpToDate},   // build 99xx counts as xx
      {mouse_with(14, 2, 7, 3), true, CMirelDFUDlg::ReadyToStart},
  };
  for (const Case& c : cases) {
    CMirelDFUDlg::Options options;
    options.force = c.force;
    start(c.config, options);
    EXPECT_EQ(c.expected, dialog_->state()) << c.config.version.minor << "." << c.config.version.build;
    if (c.expected == CMirelDFUDlg::UpToDate) {
      EXPECT_EQ("Your device has firmware v14.2.7 or higher. No update is needed.", view_.texts[IDC_STATUS]);
      EXPECT_TRUE(view_.visible(IDC_CLOSE));
    } else {
      EXPECT_TRUE(view_.visible(IDC_START));
    }
    TearDown();
  }
}

TEST_F(ControllerTest, WindowTextsAreSetAtStartUp) {
  start(mouse_with(14, 2, 6));
  EXPECT_EQ("Orvantis Mirel VELOXA Wireless Gaming Mouse Update Tool v14.2.7", view_.title);
  ASSERT_EQ(1u, view_.list.size());
  EXPECT_EQ("* Fix intermittent scrolling issues experienced on some Mirel VELOXA Wireless Gaming Mouse",
            view_.list[0]);
}

TEST_F(ControllerTest, NoMouseMeansWaitingAndClosingIsAllowed) {
  SimMouseConfig config = mouse_with(14, 2, 6);
  rig_ = std::make_unique<UpdateRig>(config);
  rig_->bus->remove(rig_->mouse);
  rig_->bus->wait_idle();
  dialog_ =
      std::make_unique<CMirelDFUDlg>(view_, rig_->library, rig_->host, FirmwareImageSet(), CMirelDFUDlg::Options());
  ASSERT_TRUE(dialog_->OnInitDialog());
  EXPECT_EQ(CMirelDFUDlg::WaitingForDevice, dialog_->state());
  EXPECT_FALSE(view_.visible(IDC_START));
  dialog_->OnClose();
  EXPECT_TRUE(view_.ended);
}

TEST_F(ControllerTest, WholeUpdateRestoresProfilesAndLedSetting) {
  start(mouse_with(14, 2, 6));
  const auto sectors_before = rig_->mouse->sectors();
  const int profile_before = rig_->mouse->active_profile();
  const int resolution_before = rig_->mouse->resolution_index();
  const auto led_before = rig_->mouse->nv_config(1);
  ASSERT_EQ(CMirelDFUDlg::ReadyToStart, dialog_->state());
  dialog_->OnStart();
  // Mid-update the window refuses to close.
  dialog_->OnClose();
  EXPECT_FALSE(view_.ended);
  ASSERT_TRUE(view_.run_until(
      *dialog_, [&] { return dialog_->state() == CMirelDFUDlg::Restarting; }, std::chrono::seconds(60)));
  ASSERT_TRUE(wait_state(CMirelDFUDlg::Succeeded));
  EXPECT_EQ(7, rig_->mouse->version().build);
  EXPECT_EQ(sectors_before, rig_->mouse->sectors());
  EXPECT_EQ(profile_before, rig_->mouse->active_profile());
  EXPECT_EQ(resolution_before, rig_->mouse->resolution_index());
  EXPECT_EQ(led_before, std::vector<std::uint8_t>({1, 0, 0}));
  EXPECT_EQ((std::vector<std::uint8_t>{1, 0, 0}), rig_->mouse->nv_config(1));
  EXPECT_EQ(dialog_->images().totalBytes + static_cast<std::uint32_t>(16 * 256), view_.progress);
  EXPECT_EQ("You have successfully updated the firmware", view_.texts[IDC_STATUS]);
  dialog_->OnClose();
  EXPECT_TRUE(view_.ended);
}

TEST_F(ControllerTest, MouseAlreadyInItsBootloaderIsUpdatedAtOnce) {
  SimMouseConfig config = mouse_with(14, 2, 6);
  config.start_in_bootloader = true;
  start(config);
  EXPECT_EQ(CMirelDFUDlg::SendingImage1, dialog_->state());
  ASSERT_TRUE(view_.run_until(
      *dialog_, [&] { return dialog_->state() == CMirelDFUDlg::Succeeded; }, std::chrono::seconds(60)));
}

TEST_F(ControllerTest, ThreeFailedTransfersEndInTheCountdownWhenTheRestartFailsToo) {
  SimMouseConfig config = mouse_with(14, 2, 6);
  config.start_in_bootloader = true;
  start(config);
  for (int attempt = 0; attempt < 3; ++attempt) {
    rodiz::sim::SimFaults faults;
    faults.bad_status_packet = 2;  // an error status ends each attempt
    faults.refuse_restart = true;
    rig_->mouse->set_faults(faults);
    ASSERT_TRUE(view_.run_until(*dialog_, [&] { return view_.timers.count(CMirelDFUDlg::RetryDelayTimer) > 0; }));
    ASSERT_TRUE(view_.fire(*dialog_, CMirelDFUDlg::RetryDelayTimer));
  }
  EXPECT_EQ(3, dialog_->retry_count());
  EXPECT_EQ(CMirelDFUDlg::Failed, dialog_->state());
  EXPECT_TRUE(CMirelDFUDlg::failure_path_taken());
  EXPECT_EQ("The firmware updated failed. Please wait 10 seconds for the application to retry.",
            view_.texts[IDC_STATUS]);
  for (int tick = 0; tick < 9; ++tick) ASSERT_TRUE(view_.fire(*dialog_, CMirelDFUDlg::ExitCountdownTimer));
  EXPECT_FALSE(view_.ended);
  ASSERT_TRUE(view_.fire(*dialog_, CMirelDFUDlg::ExitCountdownTimer));
  EXPECT_TRUE(view_.ended);
  EXPECT_EQ(0, view_.end_code);
  EXPECT_TRUE(dialog_->relaunch_host_software());
}

TEST_F(ControllerTest, ThreeFailedTransfersWithAWorkingRestartLetTheMouseRestart) {
  SimMouseConfig config = mouse_with(14, 2, 6);
  config.start_in_bootloader = true;
  start(config);
  for (int attempt = 0; attempt < 3; ++attempt) {
    rodiz::sim::SimFaults faults;
    faults.bad_status_packet = 3;  // one error status per attempt
    rig_->mouse->set_faults(faults);
    ASSERT_TRUE(view_.run_until(*dialog_, [&] { return view_.timers.count(CMirelDFUDlg::RetryDelayTimer) > 0; }));
    ASSERT_TRUE(view_.fire(*dialog_, CMirelDFUDlg::RetryDelayTimer));
  }
  EXPECT_EQ(3, dialog_->retry_count());
  EXPECT_NE(CMirelDFUDlg::Failed, dialog_->state());  // the restart command went through
  EXPECT_TRUE(CMirelDFUDlg::failure_path_taken());
  // Its return in bootloader mode is no longer taken up.
  view_.run_until(
      *dialog_, [] { return false; }, std::chrono::milliseconds(150));
  EXPECT_EQ(CMirelDFUDlg::WaitingForDevice, dialog_->state());
  EXPECT_FALSE(dialog_->target_device());
}

TEST_F(ControllerTest, RemovalOfAnotherProductChangesNothing) {
  start(mouse_with(14, 2, 6));
  ASSERT_EQ(CMirelDFUDlg::ReadyToStart, dialog_->state());
  auto held = dialog_->target_device();
  auto other = std::make_shared<rodiz::Device>(std::weak_ptr<rodiz::IDeviceManager>(),
                                               std::make_shared<rodiz::test::FakeChannel>(0xC52B));
  dialog_->onDeviceRemoval(other);
  dialog_->onDeviceRemoval(nullptr);
  EXPECT_EQ(held, dialog_->target_device());
  EXPECT_EQ(CMirelDFUDlg::ReadyToStart, dialog_->state());
}

TEST_F(ControllerTest, UnknownTimerIsStoppedAndIgnored) {
  start(mouse_with(14, 2, 6));
  view_.set_timer(0x1234, 10);
  dialog_->OnTimer(0x1234);
  EXPECT_EQ(0u, view_.timers.count(0x1234));
  EXPECT_EQ(CMirelDFUDlg::ReadyToStart, dialog_->state());
}

TEST_F(ControllerTest, StatesOutsideTheTableAreOnlyStored) {
  start(mouse_with(14, 2, 6));
  const std::string status = view_.texts[IDC_STATUS];
  dialog_->OnMessage(CMirelDFUDlg::MSG_SWITCH_STATE, 42);
  EXPECT_EQ(42, dialog_->state());
  EXPECT_EQ(status, view_.texts[IDC_STATUS]);
}

TEST_F(ControllerTest, StartsAreCountedOnlyInAnExistingKey) {
  start(mouse_with(14, 2, 7, 3));
  EXPECT_FALSE(rodiz::SettingsKey::open(ProfileBackup::AppKeyPath()));
  TearDown();
  rig_ = std::make_unique<UpdateRig>(mouse_with(14, 2, 7, 3));
  ASSERT_TRUE(rodiz::SettingsKey::create(ProfileBackup::AppKeyPath()));
  dialog_ =
      std::make_unique<CMirelDFUDlg>(view_, rig_->library, rig_->host, FirmwareImageSet(), CMirelDFUDlg::Options());
  ASSERT_TRUE(dialog_->OnInitDialog());
  auto key = rodiz::SettingsKey::open(ProfileBackup::AppKeyPath());
  ASSERT_TRUE(key);
  EXPECT_EQ(1u, key->get_dword("NumRetries").value_or(0));
}

}  // namespace
}  // namespace mirel
