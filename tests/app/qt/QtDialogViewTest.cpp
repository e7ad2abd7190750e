#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <functional>
#include <memory>

#include "app/CMirelDFUDlg.h"
#include "app/ControllerHarness.h"
#include "app/ScriptedMouse.h"
#include "app/StringTable.h"
#include "app/console/ConsoleIo.h"
#include "app/qt/QtDialogView.h"
#include "app/res/resource.h"
#include "support/ScopedTempDir.h"

namespace mirel {
namespace {

using rodiz::sim::SimMouseConfig;
using test::ScriptedMouse;
using test::UpdateRig;

constexpr unsigned kGerman = 1031;

std::string str(const QString& text) { return text.toStdString(); }

// Runs Qt's loop until `done` holds; false after `limitMs`.
bool pump_until(const std::function<bool()>& done, int limitMs = 20000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > limitMs) return false;
    QTest::qWait(2);
  }
  return true;
}

SimMouseConfig mouse_with(int minor, int build, int type6) {
  SimMouseConfig config = UpdateRig::config_with_embedded_images();
  config.version = {14, minor, build};
  config.type6_build = type6;
  return config;
}

// The controller on the Qt window, the window shown on the test's platform.
class QtViewTest : public testing::Test {
 protected:
  void start(std::shared_ptr<rodiz::IDeviceManager> library, unsigned timeScale = 1) {
    view_ = std::make_unique<QtDialogView>(false, timeScale);
    dialog_ = std::make_unique<CMirelDFUDlg>(*view_, std::move(library), rig_ ? rig_->host : host_, FirmwareImageSet(),
                                             CMirelDFUDlg::Options());
    view_->attach(dialog_.get());
    ASSERT_TRUE(dialog_->OnInitDialog());
    window().show();
  }
  void start_with_mouse(SimMouseConfig config, unsigned timeScale = 1) {
    rig_ = std::make_unique<UpdateRig>(std::move(config));
    start(rig_->library, timeScale);
  }
  void TearDown() override {
    dialog_.reset();
    view_.reset();
    rig_.reset();
  }

  QWidget& window() { return *view_; }
  QWidget* control(int id) { return view_->control(id); }
  std::string text(int id) {
    if (auto* label = qobject_cast<QLabel*>(control(id))) return str(label->text());
    if (auto* button = qobject_cast<QPushButton*>(control(id))) return str(button->text());
    return std::string();
  }
  bool shown(int id) { return control(id)->isVisibleTo(view_.get()); }
  QProgressBar* progress() { return static_cast<QProgressBar*>(control(IDC_PROGRESS)); }
  QPushButton* button(int id) { return static_cast<QPushButton*>(control(id)); }
  // Which of the three controls that come and go are shown, and the status.
  void expect_state(int state, unsigned statusText, bool start, bool close, bool bar) {
    EXPECT_EQ(state, dialog_->state());
    EXPECT_EQ(StringTable::LoadText(statusText), text(IDC_STATUS));
    EXPECT_EQ(start, shown(IDC_START));
    EXPECT_EQ(close, shown(IDC_CLOSE));
    EXPECT_EQ(bar, shown(IDC_PROGRESS));
  }

  HostSoftware host_;
  std::unique_ptr<UpdateRig> rig_;
  std::unique_ptr<QtDialogView> view_;
  std::unique_ptr<CMirelDFUDlg> dialog_;
};

TEST_F(QtViewTest, WaitingForTheMouseShowsEveryTextAndNoButton) {
  start(nullptr);
  expect_state(CMirelDFUDlg::WaitingForDevice, IDS_STATUS_CONNECT, false, false, false);
  EXPECT_EQ(StringTable::LoadText(IDS_WINDOW_TITLE), str(window().windowTitle()));
  EXPECT_EQ("Orvantis Mirel VELOXA Wireless Gaming Mouse Update Tool v14.2.7", str(window().windowTitle()));
  EXPECT_EQ(StringTable::LoadText(IDS_TITLE_LINE), text(IDC_TITLE));
  EXPECT_EQ(StringTable::LoadText(IDS_WARNING_LINE), text(IDC_WARNING));
  EXPECT_EQ(StringTable::LoadText(IDS_RELEASE_NOTES_HEADING), text(IDC_RELEASE_NOTES_HEADING));
  EXPECT_EQ(StringTable::LoadText(IDS_START), text(IDC_START));
  EXPECT_EQ(StringTable::LoadText(IDS_CLOSE), text(IDC_CLOSE));
  auto* notes = static_cast<QListWidget*>(control(IDC_RELEASE_NOTES));
  ASSERT_EQ(1, notes->count());
  EXPECT_EQ("* " + StringTable::LoadText(IDS_RELEASE_NOTE), str(notes->item(0)->text()));
  // The entry is at least as wide as the list's extent: it scrolls sideways.
  EXPECT_GE(notes->item(0)->sizeHint().width(), 1200);
  EXPECT_EQ(IDI_PRODUCT, view_->product_picture());
  EXPECT_FALSE(window().windowIcon().isNull());
  EXPECT_TRUE(QFontInfo(control(IDC_STATUS)->font()).bold());
  EXPECT_FALSE(QFontInfo(control(IDC_TITLE)->font()).bold());
  // Every control has a name for assistive technology and lies inside the
  // fixed-size window.
  for (int id : {IDC_PRODUCT_PICTURE, IDC_TITLE, IDC_WARNING, IDC_RELEASE_NOTES_HEADING, IDC_RELEASE_NOTES, IDC_STATUS,
                 IDC_PROGRESS, IDC_CLOSE, IDC_START}) {
    EXPECT_FALSE(control(id)->accessibleName().isEmpty()) << id;
    EXPECT_TRUE(window().rect().contains(control(id)->geometry())) << id;
  }
  EXPECT_EQ(window().minimumSize(), window().maximumSize());
}

TEST_F(QtViewTest, TheVersionDecidesBetweenStartAndClose) {
  struct Case {
    SimMouseConfig config;
    int state;
    unsigned text;
    int button;
  };
  const Case cases[] = {
      {mouse_with(2, 6, 3), CMirelDFUDlg::ReadyToStart, IDS_STATUS_CLICK_START, IDC_START},
      {mouse_with(2, 7, 3), CMirelDFUDlg::UpToDate, IDS_STATUS_UP_TO_DATE, IDC_CLOSE},
  };
  for (const Case& c : cases) {
    start_with_mouse(c.config);
    ASSERT_TRUE(pump_until([&] { return dialog_->state() == c.state; }));
    expect_state(c.state, c.text, c.button == IDC_START, c.button == IDC_CLOSE, false);
    // The one button takes the keyboard: Enter and Space press it.
    EXPECT_EQ(control(c.button), window().focusWidget());
    EXPECT_TRUE(button(c.button)->isDefault());
    TearDown();
  }
}

TEST_F(QtViewTest, TheUpToDateTextNamesThePackageVersion) {
  start(nullptr);
  dialog_->SwitchToState(CMirelDFUDlg::UpToDate);
  EXPECT_EQ("Your device has firmware v14.2.7 or higher. No update is needed.", text(IDC_STATUS));
}

TEST_F(QtViewTest, AGermanLocaleShowsTheGermanTable) {
  rodiz::test::ScopedTempDir env;
  env.set_env("LC_ALL", "de_DE.UTF-8");
  ASSERT_EQ(kGerman, StringTable::CurrentLanguage());
  start(nullptr);
  dialog_->onDeviceArrival(std::make_shared<ScriptedMouse>("14.2.6", 3));
  ASSERT_EQ(CMirelDFUDlg::ReadyToStart, dialog_->state());
  EXPECT_EQ(StringTable::LoadText(IDS_WINDOW_TITLE, kGerman), str(window().windowTitle()));
  const std::pair<int, unsigned> texts[] = {{IDC_TITLE, IDS_TITLE_LINE},
                                            {IDC_WARNING, IDS_WARNING_LINE},
                                            {IDC_RELEASE_NOTES_HEADING, IDS_RELEASE_NOTES_HEADING},
                                            {IDC_STATUS, IDS_STATUS_CLICK_START},
                                            {IDC_START, IDS_START},
                                            {IDC_CLOSE, IDS_CLOSE}};
  for (const auto& [id, textId] : texts) EXPECT_EQ(StringTable::LoadText(textId, kGerman), text(id)) << id;
  EXPECT_NE(StringTable::LoadText(IDS_TITLE_LINE, StringTable::kUsEnglish), text(IDC_TITLE));
  EXPECT_NE(StringTable::LoadText(IDS_STATUS_CLICK_START, StringTable::kUsEnglish), text(IDC_STATUS));
  // The product name comes in through the placeholder, in every language.
  EXPECT_NE(std::string::npos, text(IDC_TITLE).find("Mirel VELOXA Wireless Gaming Mouse"));
}

// Every way of closing meets the controller's rule: at rest the window
// closes, in the middle of an update with the mouse held it stays.
TEST_F(QtViewTest, EveryWayOfClosingFollowsTheCloseRule) {
  enum class Input { Escape, CloseBox, Enter };
  const Input inputs[] = {Input::Escape, Input::CloseBox, Input::Enter};
  const int states[] = {0, 2, 3, 4, 6, 7, 9, 10, 11};
  for (int state : states) {
    for (Input input : inputs) {
      start(nullptr);
      dialog_->onDeviceArrival(std::make_shared<ScriptedMouse>("14.2.6", 3));
      dialog_->SwitchToState(state);
      // As pressing Start leaves it: the update's states show no Start.
      if (state != CMirelDFUDlg::ReadyToStart) view_->show(IDC_START, false);
      const bool closeShown = shown(IDC_CLOSE);
      switch (input) {
        case Input::Escape:
          QTest::keyClick(&window(), Qt::Key_Escape);
          break;
        case Input::CloseBox:
          window().close();
          break;
        case Input::Enter:
          QTest::keyClick(&window(), Qt::Key_Return);
          break;
      }
      const bool atRest = state == 0 || state == 2 || state == 9 || state == 10 || state == 11;
      const std::string what = "state " + std::to_string(state) + ", input " + std::to_string(static_cast<int>(input));
      if (input == Input::Enter && state == 2) {
        // Enter presses the button that is shown: here Start.
        EXPECT_FALSE(view_->ended()) << what;
        EXPECT_EQ(CMirelDFUDlg::EnteringBootloader, dialog_->state()) << what;
      } else if (input == Input::Enter && closeShown) {
        EXPECT_TRUE(view_->ended()) << what;
      } else {
        EXPECT_EQ(atRest, view_->ended()) << what;
        EXPECT_EQ(atRest, window().isHidden()) << what;
      }
      TearDown();
    }
  }
  // Without a mouse every state closes.
  start(nullptr);
  dialog_->SwitchToState(CMirelDFUDlg::SendingImage1);
  QTest::keyClick(&window(), Qt::Key_Escape);
  EXPECT_TRUE(view_->ended());
}

TEST_F(QtViewTest, AStopSignalAsksToCloseLikeTheCloseBox) {
  start(nullptr);
  int code = -1;
  QTimer::singleShot(0, [] { ConsoleIo::RaiseStopRequest(ConsoleIo::StopRequest::Interrupt); });
  code = view_->run();
  EXPECT_EQ(0, code);
  EXPECT_TRUE(view_->ended());
}

// Stop signals follow the console's rule: at rest the first asks to close;
// during the flash the first only warns, a second within 5 s of the warning
// stops the update, a later one warns again.
TEST_F(QtViewTest, StopSignalsWarnDuringTheFlashAndStopOnlyWhenRepeatedSoon) {
  using std::chrono::milliseconds;
  struct Case {
    const char* name;
    int state;
    std::vector<milliseconds> at;
    bool ended;
    bool abandoned;
  };
  const Case cases[] = {
      {"at rest", CMirelDFUDlg::ReadyToStart, {milliseconds(0)}, true, false},
      {"flash, once", CMirelDFUDlg::AwaitingPowerCycle, {milliseconds(0)}, false, false},
      {"flash, twice within 5 s", CMirelDFUDlg::AwaitingPowerCycle, {milliseconds(0), milliseconds(5000)}, true, true},
      {"flash, twice 5 s apart", CMirelDFUDlg::AwaitingPowerCycle, {milliseconds(0), milliseconds(5001)}, false, false},
      {"flash, three",
       CMirelDFUDlg::AwaitingPowerCycle,
       {milliseconds(0), milliseconds(6000), milliseconds(7000)},
       true,
       true},
  };
  for (const Case& c : cases) {
    start(nullptr);
    dialog_->onDeviceArrival(std::make_shared<ScriptedMouse>("14.2.6", 3));
    dialog_->SwitchToState(c.state);
    const auto first = std::chrono::steady_clock::now();
    for (milliseconds at : c.at) view_->on_interrupt(first + at);
    EXPECT_EQ(c.ended, view_->ended()) << c.name;
    EXPECT_EQ(c.abandoned, dialog_->abandoned()) << c.name;
    TearDown();
  }
}

// Two real Ctrl-C during the flash that arrive between two looks at the
// signal flags stop the update; the notice that follows waits for nobody.
TEST_F(QtViewTest, TwoCtrlCDuringTheFlashStopTheWindowWithoutABox) {
  start(nullptr);
  dialog_->onDeviceArrival(std::make_shared<ScriptedMouse>("14.2.6", 3));
  dialog_->SwitchToState(CMirelDFUDlg::AwaitingPowerCycle);
  QTimer::singleShot(0, [] {
    std::raise(SIGINT);
    std::raise(SIGINT);
  });
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, [&] { view_->end_dialog(-1); });
  limit.start(10000);
  EXPECT_EQ(0, view_->run());
  EXPECT_TRUE(dialog_->abandoned());
  bool boxSeen = false;
  QTimer boxWatch;
  boxWatch.setSingleShot(true);
  QObject::connect(&boxWatch, &QTimer::timeout, [&] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      boxSeen = true;
      box->close();
    }
  });
  boxWatch.start(1000);
  view_->show_notice("The update was stopped.");
  EXPECT_FALSE(boxSeen);
}

TEST_F(QtViewTest, ANoticeHoldsTheControllerUntilItIsAnswered) {
  start(nullptr);
  bool seenWhileOpen = false;
  int stateWhileOpen = -1;
  QTimer::singleShot(0, [&] {
    // The box is open: a message posted now must wait for its answer.
    view_->post_message(CMirelDFUDlg::MSG_SWITCH_STATE, CMirelDFUDlg::UpToDate);
    QTimer::singleShot(20, [&] {
      stateWhileOpen = dialog_->state();
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        seenWhileOpen = true;
        box->accept();
      }
    });
  });
  view_->show_notice("The settings store is busy.");
  EXPECT_TRUE(seenWhileOpen);
  EXPECT_EQ(CMirelDFUDlg::WaitingForDevice, stateWhileOpen);
  EXPECT_EQ(CMirelDFUDlg::WaitingForDevice, dialog_->state());
  ASSERT_TRUE(pump_until([&] { return dialog_->state() == CMirelDFUDlg::UpToDate; }));
}

TEST_F(QtViewTest, ProgressOutsideTheRangeIsShownAtItsEnd) {
  start(nullptr);
  view_->set_progress_range(0, 1000);
  view_->set_progress_position(400);
  EXPECT_EQ(400, progress()->value());
  view_->set_progress_position(5000);
  EXPECT_EQ(1000, progress()->value());
}

// A whole update of the simulated mouse, driven like a user: Start clicked
// with the mouse, Close pressed with Space, through the window's own loop.
TEST_F(QtViewTest, AWholeUpdateClickedThroughTheWindow) {
  start_with_mouse(UpdateRig::config_with_embedded_images());
  std::vector<int> values;
  QObject::connect(progress(), &QProgressBar::valueChanged, [&](int value) { values.push_back(value); });
  // What the window showed while the first image was streamed.
  bool updatingSeen = false;
  QObject::connect(progress(), &QProgressBar::valueChanged, [&](int value) {
    if (updatingSeen || value <= 0) return;
    updatingSeen = true;
    expect_state(CMirelDFUDlg::SendingImage1, IDS_STATUS_UPDATING, false, false, true);
  });
  bool clicked = false;
  bool startTextSeen = false;
  QTimer user;
  QObject::connect(&user, &QTimer::timeout, [&] {
    if (!clicked && shown(IDC_START)) {
      clicked = true;
      QTest::mouseClick(button(IDC_START), Qt::LeftButton);
      // At once, before the mouse has answered anything.
      startTextSeen = text(IDC_STATUS) == StringTable::LoadText(IDS_STATUS_PREPARING) && !shown(IDC_START);
    } else if (shown(IDC_CLOSE) && window().focusWidget() == control(IDC_CLOSE)) {
      QTest::keyClick(window().focusWidget(), Qt::Key_Space);
    }
  });
  user.start(5);
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, [&] { view_->end_dialog(-1); });
  limit.start(120000);

  EXPECT_EQ(0, view_->run());
  EXPECT_TRUE(clicked);
  EXPECT_TRUE(startTextSeen);
  EXPECT_TRUE(updatingSeen);
  expect_state(CMirelDFUDlg::Succeeded, IDS_STATUS_SUCCESS, false, true, false);
  EXPECT_EQ(7, rig_->mouse->version().build);
  // The bar ran over the whole transfer, never backwards.
  EXPECT_EQ(static_cast<int>(dialog_->images().totalBytes), progress()->maximum());
  ASSERT_FALSE(values.empty());
  for (std::size_t i = 1; i < values.size(); ++i) ASSERT_LE(values[i - 1], values[i]) << i;
  EXPECT_EQ(progress()->maximum(), values.back());
}

// A mouse that fails every attempt: the failure text, then the countdown
// closes the window by itself (timers run fifty times faster here).
TEST_F(QtViewTest, TheFailureCountdownClosesTheWindow) {
  SimMouseConfig config = UpdateRig::config_with_embedded_images();
  start_with_mouse(config, 50);
  ASSERT_TRUE(pump_until([&] { return dialog_->state() == CMirelDFUDlg::ReadyToStart; }));
  // Every attempt meets an error status, and the restart is refused.
  rodiz::sim::SimFaults faults;
  faults.bad_status_packet = 5;
  faults.refuse_restart = true;
  bool failedSeen = false;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (dialog_->state() == CMirelDFUDlg::SendingImage1) rig_->mouse->set_faults(faults);
    if (!failedSeen && dialog_->state() == CMirelDFUDlg::Failed) {
      failedSeen = true;
      EXPECT_EQ(StringTable::LoadText(IDS_STATUS_FAILED_RETRY), text(IDC_STATUS));
      EXPECT_FALSE(shown(IDC_START));
      EXPECT_FALSE(shown(IDC_CLOSE));
    }
  });
  watcher.start(1);
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, [&] { view_->end_dialog(-1); });
  limit.start(60000);
  QTimer::singleShot(0, [&] { QTest::mouseClick(button(IDC_START), Qt::LeftButton); });
  EXPECT_EQ(0, view_->run());
  EXPECT_TRUE(failedSeen);
  EXPECT_TRUE(CMirelDFUDlg::failure_path_taken());
  EXPECT_EQ(0, dialog_->exit_countdown());
}

}  // namespace
}  // namespace mirel
