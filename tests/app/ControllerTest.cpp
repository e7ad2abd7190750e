#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "app/CMirelDFUDlg.h"
#include "app/ControllerHarness.h"
#include "app/ScriptedMouse.h"
#include "app/res/resource.h"
#include "device/Device.h"
#include "device/LastError.h"
#include "runtime/SettingsKey.h"
#include "support/FakeChannel.h"

namespace mirel {
namespace {

using rodiz::sim::SimMouse;
using rodiz::sim::SimMouseConfig;
using test::FakeView;
using test::ScriptedMouse;
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

// Version texts the device protocol cannot produce, read by the rules of the
// version decision.
TEST(ControllerVersionTextTest, DotsAndNinetyNineBuildsAreReadByTheirRules) {
  struct Case {
    const char* version;
    std::uint16_t type6;
    int expected;
  };
  const Case cases[] = {
      {"14.2", 3, CMirelDFUDlg::WaitingForDevice},    // one dot: no decision
      {"14", 3, CMirelDFUDlg::WaitingForDevice},      // no dot
      {"14.2.9906", 3, CMirelDFUDlg::ReadyToStart},   // four characters "99xx": build 6
      {"14.2.9907", 3, CMirelDFUDlg::UpToDate},       // build 7
      {"14.2.99006", 3, CMirelDFUDlg::UpToDate},      // five characters: 99006 mod 65536, not 6
      {"14.2.65542", 3, CMirelDFUDlg::ReadyToStart},  // 65542 mod 65536 = 6
      {"14.1.99999", 3, CMirelDFUDlg::ReadyToStart},  // minor 1 decides
      {"14.2.7", 2, CMirelDFUDlg::ReadyToStart},      // the type-6 build decides
  };
  for (const Case& c : cases) {
    FakeView view;
    HostSoftware host;
    CMirelDFUDlg dialog(view, nullptr, host, FirmwareImageSet(), CMirelDFUDlg::Options());
    ASSERT_TRUE(dialog.OnInitDialog());
    auto mouse = std::make_shared<ScriptedMouse>(c.version, c.type6);
    dialog.onDeviceArrival(mouse);
    EXPECT_EQ(c.expected, dialog.state()) << c.version;
    EXPECT_EQ(mouse, dialog.target_device()) << c.version;  // held either way
  }
}

// The close rule: refused while a device is held in the middle of an update,
// allowed at rest and whenever no device is held.
TEST(ControllerCloseRuleTest, CloseIsRefusedMidUpdateOnlyWhileADeviceIsHeld) {
  for (int state = 0; state <= 11; ++state) {
    for (bool held : {true, false}) {
      FakeView view;
      HostSoftware host;
      CMirelDFUDlg dialog(view, nullptr, host, FirmwareImageSet(), CMirelDFUDlg::Options());
      ASSERT_TRUE(dialog.OnInitDialog());
      if (held) {
        dialog.onDeviceArrival(std::make_shared<ScriptedMouse>("14.2.6", 3));
        ASSERT_EQ(CMirelDFUDlg::ReadyToStart, dialog.state());
      }
      dialog.SwitchToState(state);
      dialog.OnClose();
      const bool at_rest = state == 0 || state == 2 || state == 9 || state == 10 || state == 11;
      EXPECT_EQ(view.ended, !held || at_rest) << "state " << state << (held ? " with" : " without") << " a device";
    }
  }
}

TEST_F(ControllerTest, TheMouseNotComingBackFromItsRebootEndsTheWaitInStateZero) {
  start(mouse_with(14, 2, 6));
  dialog_->OnStart();
  // The application-mode mouse has gone; its bootloader has not been taken up yet.
  ASSERT_TRUE(view_.run_until(*dialog_, [&] { return view_.timers.count(CMirelDFUDlg::DetachWaitTimer) > 0; }));
  EXPECT_EQ(CMirelDFUDlg::EnteringBootloader, dialog_->state());
  EXPECT_EQ(10000u, view_.timers[CMirelDFUDlg::DetachWaitTimer]);
  ASSERT_TRUE(view_.fire(*dialog_, CMirelDFUDlg::DetachWaitTimer));
  EXPECT_EQ(CMirelDFUDlg::WaitingForDevice, dialog_->state());
  EXPECT_EQ(0u, view_.timers.count(CMirelDFUDlg::DetachWaitTimer));
  // A bootloader that arrives later still gets its update.
  ASSERT_TRUE(view_.run_until(
      *dialog_, [&] { return dialog_->state() == CMirelDFUDlg::Succeeded; }, std::chrono::seconds(60)));
}

TEST_F(ControllerTest, TheBootloaderArrivingStopsTheDetachWait) {
  start(mouse_with(14, 2, 6));
  dialog_->OnStart();
  ASSERT_TRUE(view_.run_until(*dialog_, [&] { return view_.timers.count(CMirelDFUDlg::DetachWaitTimer) > 0; }));
  ASSERT_TRUE(wait_state(CMirelDFUDlg::SendingImage1));
  EXPECT_EQ(0u, view_.timers.count(CMirelDFUDlg::DetachWaitTimer));
}

TEST_F(ControllerTest, AMouseThatStaysAwayAfterItsRestartIsAskedForAPowerCycle) {
  SimMouseConfig config = mouse_with(14, 2, 6);
  config.start_in_bootloader = true;
  start(config);
  rodiz::sim::SimFaults faults;
  faults.stay_away_after_restart = true;
  rig_->mouse->set_faults(faults);
  ASSERT_TRUE(view_.run_until(
      *dialog_, [&] { return dialog_->state() == CMirelDFUDlg::Restarting; }, std::chrono::seconds(60)));
  EXPECT_EQ(5000u, view_.timers[CMirelDFUDlg::PowerCycleTimer]);
  // The bootloader's removal keeps state 6.
  ASSERT_TRUE(view_.run_until(*dialog_, [&] { return !dialog_->target_device(); }));
  EXPECT_EQ(CMirelDFUDlg::Restarting, dialog_->state());
  ASSERT_TRUE(view_.fire(*dialog_, CMirelDFUDlg::PowerCycleTimer));
  EXPECT_EQ(CMirelDFUDlg::AwaitingPowerCycle, dialog_->state());
  EXPECT_EQ("Please turn your Mirel VELOXA Wireless Gaming Mouse OFF then ON.", view_.texts[IDC_STATUS]);
  dialog_->OnClose();
  EXPECT_TRUE(view_.ended);  // no device held: the window may close
  view_.ended = false;
  rig_->mouse->power_cycle();
  ASSERT_TRUE(wait_state(CMirelDFUDlg::Succeeded));
  EXPECT_EQ(0u, view_.timers.count(CMirelDFUDlg::PowerCycleTimer));
  EXPECT_EQ(7, rig_->mouse->version().build);
}

TEST_F(ControllerTest, AStatusThatNeverFollowsIsCaughtByTheWatchdogAndTheTransferStartsAgain) {
  SimMouseConfig config = mouse_with(14, 2, 6);
  config.start_in_bootloader = true;
  start(config);
  // Packet 30 is answered "wait for a notification", which never comes.
  rodiz::sim::SimFaults faults;
  faults.bad_status_packet = 30;
  faults.bad_status = 3;
  faults.image = 1;
  rig_->mouse->set_faults(faults);
  view_.run_until(
      *dialog_, [] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(CMirelDFUDlg::SendingImage1, dialog_->state());
  EXPECT_EQ(31u * 16u, view_.progress);
  ASSERT_EQ(15000u, view_.timers[CMirelDFUDlg::PacketWatchdogTimer]);
  EXPECT_EQ(0u, view_.timers.count(CMirelDFUDlg::RetryDelayTimer));
  rig_->mouse->set_faults(rodiz::sim::SimFaults());
  ASSERT_TRUE(view_.fire(*dialog_, CMirelDFUDlg::PacketWatchdogTimer));
  EXPECT_EQ(1, dialog_->retry_count());
  ASSERT_TRUE(view_.run_until(
      *dialog_, [&] { return dialog_->state() == CMirelDFUDlg::Succeeded; }, std::chrono::seconds(60)));
  EXPECT_EQ(1, dialog_->retry_count());
  EXPECT_EQ(7, rig_->mouse->version().build);
}

TEST_F(ControllerTest, AStartStatusAboveThreeIsAnErrorThatRetriesAfterADelay) {
  SimMouseConfig config = mouse_with(14, 2, 6);
  config.start_in_bootloader = true;
  rig_ = std::make_unique<UpdateRig>(config);
  rodiz::sim::SimFaults faults;
  faults.bad_status_packet = 0;  // the answer to DFUStart
  faults.bad_status = 4;
  faults.image = 1;
  rig_->mouse->set_faults(faults);
  dialog_ =
      std::make_unique<CMirelDFUDlg>(view_, rig_->library, rig_->host, FirmwareImageSet(), CMirelDFUDlg::Options());
  ASSERT_TRUE(dialog_->OnInitDialog());
  EXPECT_EQ(CMirelDFUDlg::SendingImage1, dialog_->state());
  EXPECT_EQ(2000u, view_.timers[CMirelDFUDlg::RetryDelayTimer]);
  EXPECT_EQ(0u, view_.timers.count(CMirelDFUDlg::PacketWatchdogTimer));
  EXPECT_EQ(0u, view_.progress);  // the packet does not count as sent
  rig_->mouse->set_faults(rodiz::sim::SimFaults());
  ASSERT_TRUE(view_.fire(*dialog_, CMirelDFUDlg::RetryDelayTimer));
  EXPECT_EQ(1, dialog_->retry_count());
  ASSERT_TRUE(view_.run_until(
      *dialog_, [&] { return dialog_->state() == CMirelDFUDlg::Succeeded; }, std::chrono::seconds(60)));
}

// A build that carries test images never writes them to a mouse it may not
// flash: the mouse is told so and left as it is.
TEST_F(ControllerTest, TestImagesAreNotWrittenToAMouseThatMayNotBeFlashed) {
  CMirelDFUDlg::Options options;
  options.may_flash = false;
  for (bool in_bootloader : {false, true}) {
    SimMouseConfig config = mouse_with(14, 2, 6);
    config.start_in_bootloader = in_bootloader;
    start(config, options);
    view_.run_until(
        *dialog_, [] { return false; }, std::chrono::milliseconds(100));
    EXPECT_TRUE(dialog_->refused_test_images());
    EXPECT_EQ(CMirelDFUDlg::WaitingForDevice, dialog_->state());
    EXPECT_NE(std::string::npos, view_.texts[IDC_STATUS].find("test firmware images")) << view_.texts[IDC_STATUS];
    EXPECT_FALSE(view_.visible(IDC_START));
    EXPECT_TRUE(view_.visible(IDC_CLOSE));
    dialog_->OnStart();  // even a press that slipped through changes nothing
    view_.run_until(
        *dialog_, [] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(in_bootloader ? SimMouse::Mode::Bootloader : SimMouse::Mode::Application, rig_->mouse->mode());
    EXPECT_EQ(6, rig_->mouse->version().build);
    EXPECT_TRUE(view_.timers.empty());
    dialog_->OnClose();
    EXPECT_TRUE(view_.ended);
    TearDown();
    view_.clear();
  }
  // A mouse that needs nothing is told so as usual.
  start(mouse_with(14, 2, 7, 3), options);
  EXPECT_EQ(CMirelDFUDlg::UpToDate, dialog_->state());
  EXPECT_FALSE(dialog_->refused_test_images());
}

}  // namespace
}  // namespace mirel

namespace mirel {
namespace {

// Remembers every status text, not only the last.
class StatusView : public test::FakeView {
 public:
  void set_text(int control, const std::string& text) override {
    if (control == IDC_STATUS) statuses.push_back(text);
    FakeView::set_text(control, text);
  }
  std::vector<std::string> statuses;
};

constexpr const char* kNoPermission = "No permission to open the mouse's node. Install the rule.";

TEST(ControllerUnreportedErrorTest, AMouseThatMayNotBeOpenedIsToldThroughTheLibrarysEvent) {
  UpdateRig rig(mouse_with(14, 2, 6));
  rig.bus->remove(rig.mouse);
  rig.bus->wait_idle();
  StatusView view;
  CMirelDFUDlg dialog(view, rig.library, rig.host, FirmwareImageSet(), CMirelDFUDlg::Options());
  ASSERT_TRUE(dialog.OnInitDialog());
  // As a bus reports it: from its own thread, with the failure in LastError.
  std::thread bus_thread([&] {
    rodiz::set_last_error(rodiz::CreateFileFailed, EACCES, kNoPermission);
    rig.library->report_unreported_error("HidrawBus");
  });
  bus_thread.join();
  EXPECT_TRUE(view.run_until(dialog, [&] { return view.texts[IDC_STATUS] == kNoPermission; }));
  EXPECT_EQ(CMirelDFUDlg::WaitingForDevice, dialog.state());
}

TEST(ControllerUnreportedErrorTest, OnlyAnUnopenableDeviceWithATextIsShownAndNeverOverAnUpdate) {
  struct Case {
    const char* name;
    rodiz::ErrorCode code;
    const char* text;
    bool mouse_held;
    bool shown;
  };
  const Case cases[] = {
      {"no permission, no mouse", rodiz::CreateFileFailed, kNoPermission, false, true},
      {"no text", rodiz::CreateFileFailed, nullptr, false, false},
      {"empty text", rodiz::CreateFileFailed, "", false, false},
      {"another failure", rodiz::RegisterInterfaceNotificationFailed, "could not register", false, false},
      {"a mouse is held", rodiz::CreateFileFailed, kNoPermission, true, false},
  };
  for (const Case& c : cases) {
    UpdateRig rig(mouse_with(14, 2, 6));
    if (!c.mouse_held) {
      rig.bus->remove(rig.mouse);
      rig.bus->wait_idle();
    }
    StatusView view;
    CMirelDFUDlg dialog(view, rig.library, rig.host, FirmwareImageSet(), CMirelDFUDlg::Options());
    ASSERT_TRUE(dialog.OnInitDialog()) << c.name;
    view.statuses.clear();
    dialog.onUnreportedError("HidrawBus", c.code, c.text, EACCES);
    EXPECT_EQ(c.shown ? std::vector<std::string>{kNoPermission} : std::vector<std::string>{}, view.statuses) << c.name;
    EXPECT_EQ(c.mouse_held ? CMirelDFUDlg::ReadyToStart : CMirelDFUDlg::WaitingForDevice, dialog.state()) << c.name;
  }
}

}  // namespace
}  // namespace mirel
