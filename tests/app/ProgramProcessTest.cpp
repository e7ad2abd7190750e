#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "app/ProgramProcess.h"
#include "support/DbusMockSession.h"
#include "support/ScopedTempDir.h"

namespace mirel {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using test::ProgramProcess;

constexpr auto kRunLimit = seconds(120);
const std::vector<std::string> kUpdate = {"--simulate", "--console", "--sim-latency-us=0", "/LOG"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

bool exited_with(int status, int code) { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code; }

std::string describe(int status) {
  if (status < 0) return "still running at the limit";
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exit " + std::to_string(WEXITSTATUS(status));
}

// Each run has a home of its own: settings, Documents (the /LOG file) and
// the library's log folder.
class ProgramTest : public testing::Test {
 protected:
  std::map<std::string, std::string> env() const {
    return {{"HOME", home_.str()},
            {"XDG_CONFIG_HOME", (home_.path() / "config").string()},
            {"XDG_STATE_HOME", (home_.path() / "state").string()},
            {"XDG_CACHE_HOME", (home_.path() / "cache").string()},
            {"MIREL_TRACE", ""},
            {"LC_ALL", "C"}};
  }
  // The program's own log (the /LOG file) as plain ASCII, whatever its encoding.
  std::string app_log() const {
    std::ifstream in(home_.path() / "Documents" / "MirelFirmwareUpdate.log", std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    std::string text;
    for (char c : content.str()) {
      if (c != '\0') text += c;
    }
    return text;
  }
  bool log_says_succeeded() const { return app_log().find("called from 8 to 9") != std::string::npos; }

  rodiz::test::ScopedTempDir home_;
};

TEST_F(ProgramTest, AReaderThatGoesAwayDoesNotStopTheUpdate) {
  ProgramProcess program(with(kUpdate, {"--yes"}), env(), false);
  // `| head -3`
  ASSERT_TRUE(program.wait_for_output("Updating firmware", kRunLimit));
  program.close_output();
  const int status = program.wait(kRunLimit);
  EXPECT_TRUE(exited_with(status, 0)) << describe(status);
  EXPECT_TRUE(log_says_succeeded());
  // Without --trace the trace stays off standard error.
  EXPECT_EQ(std::string::npos, program.err.find("SwitchToState")) << program.err.substr(0, 2000);
}

// The whole update reaches the mouse through the simulated receiver, whose
// register answers are lost, stormed and muddled along the way.
TEST_F(ProgramTest, UpdateThroughTheSimulatedReceiver) {
  ProgramProcess program({"--simulate=receiver", "--console", "--sim-latency-us=0", "/LOG", "--yes",
                          "--sim-receiver-faults=lose-register=2,storm=3,storm-count=5,stray-index=4"},
                         env(), false);
  const int status = program.wait(kRunLimit);
  EXPECT_TRUE(exited_with(status, 0)) << describe(status) << program.err.substr(0, 2000);
  EXPECT_TRUE(log_says_succeeded());
}

TEST_F(ProgramTest, StopSignalsDuringTheTransferLetItFinish) {
  for (int signal : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) {
    ProgramProcess program(with(kUpdate, {"--yes"}), env(), false);
    ASSERT_TRUE(program.wait_for_output("Updating firmware", kRunLimit)) << strsignal(signal);
    program.send_signal(signal);
    const std::size_t said = program.out.size();
    const int status = program.wait(kRunLimit);
    EXPECT_TRUE(exited_with(status, 0)) << strsignal(signal) << ": " << describe(status);
    EXPECT_TRUE(log_says_succeeded()) << strsignal(signal);
    const std::string after = program.out.substr(said);
    if (signal == SIGHUP) {
      // A closed terminal gets no more output.
      EXPECT_EQ(std::string::npos, after.find("successfully")) << after;
    } else {
      // What stopping would do depends on how far the update got when the
      // signal was seen.
      EXPECT_NE(std::string::npos, after.find("The firmware update is in progress: ")) << strsignal(signal) << after;
      EXPECT_NE(std::string::npos, after.find("You have successfully updated the firmware")) << strsignal(signal);
    }
    std::filesystem::remove_all(home_.path() / "Documents");
  }
}

// A second Ctrl-C within 5 s stops the update, wherever it is, with status
// 3 and the words that say how to finish it; the first only warns.
TEST_F(ProgramTest, CtrlCTwiceDuringTheFlashStopsWithStatus3AndSaysHowToFinish) {
  for (const char* moment : {"Saving the mouse's settings", "Updating firmware"}) {
    ProgramProcess program(with(kUpdate, {"--yes"}), env(), false);
    ASSERT_TRUE(program.wait_for_output(moment, kRunLimit)) << moment;
    program.send_signal(SIGINT);
    ASSERT_TRUE(program.wait_for_output("The firmware update is in progress", kRunLimit)) << moment;
    program.send_signal(SIGINT);
    const int status = program.wait(kRunLimit);
    EXPECT_TRUE(exited_with(status, 3)) << moment << ": " << describe(status);
    EXPECT_NE(std::string::npos, program.out.find("Stopping the update as asked.")) << program.out;
    EXPECT_NE(std::string::npos, program.out.find("Run this program again to finish the update.")) << program.out;
    EXPECT_NE(std::string::npos, app_log().find("CMirelDFUDlg::Abandon")) << moment;
    EXPECT_EQ(std::string::npos, app_log().find("called from 8 to 9")) << moment;
    std::filesystem::remove_all(home_.path() / "Documents");
  }
}

// Two signals that reach the program between two of its looks at them count
// as two (two of the same kind that arrive together are one to the kernel).
TEST_F(ProgramTest, TwoSignalsAtOnceStopTheUpdate) {
  ProgramProcess program(with(kUpdate, {"--yes"}), env(), false);
  ASSERT_TRUE(program.wait_for_output("Updating firmware", kRunLimit));
  program.send_signal(SIGTERM);
  program.send_signal(SIGINT);
  const int status = program.wait(kRunLimit);
  EXPECT_TRUE(exited_with(status, 3)) << describe(status);
}

// Outside the flash the first signal ends the program.
TEST_F(ProgramTest, CtrlCBeforeTheUpdateEndsTheProgramAtOnce) {
  ProgramProcess program(kUpdate, env(), true);
  ASSERT_TRUE(program.wait_for_output("Press Enter to start the firmware update", kRunLimit));
  program.send_signal(SIGINT);
  const int status = program.wait(kRunLimit);
  EXPECT_TRUE(exited_with(status, 3)) << describe(status);
  EXPECT_EQ(std::string::npos, program.out.find("The firmware update is in progress"));
  program.close_input();
}

// The login manager's lock (a mocked login manager on a private bus): held
// while the mouse is flashed, given back when the update ends, when the
// mouse is lost mid-update, and when the program is killed.
class ProgramInhibitorTest : public ProgramTest {
 protected:
  void SetUp() override {
    bus_ = std::make_unique<rodiz::test::DbusMockSession>("logind", "org.freedesktop.login1");
    ASSERT_TRUE(bus_->ready()) << bus_->error();
  }
  std::map<std::string, std::string> bus_env() const {
    auto environment = env();
    environment["DBUS_SYSTEM_BUS_ADDRESS"] = bus_->address();
    return environment;
  }
  // The holders the mocked login manager lists.
  std::vector<std::string> holders() const {
    std::vector<std::string> who;
    sd_bus* client = bus_->connect();
    if (client == nullptr) return who;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(client, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "ListInhibitors", nullptr, &reply, "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)") > 0) {
      const char* what = nullptr;
      const char* name = nullptr;
      const char* why = nullptr;
      const char* mode = nullptr;
      unsigned uid = 0;
      unsigned pid = 0;
      while (sd_bus_message_read(reply, "(ssssuu)", &what, &name, &why, &mode, &uid, &pid) > 0) {
        who.push_back(std::string(name) + "/" + what + "/" + mode);
      }
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(client);
    return who;
  }
  bool released_soon() const {
    const auto deadline = std::chrono::steady_clock::now() + seconds(10);
    while (!holders().empty()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
  }
  const std::vector<std::string> kHeld = {"Mirel Firmware Update/sleep:shutdown:idle/block"};
  std::unique_ptr<rodiz::test::DbusMockSession> bus_;
};

TEST_F(ProgramInhibitorTest, HeldDuringTheFlashAndGivenBackAtTheEnd) {
  ProgramProcess program(with(kUpdate, {"--yes"}), bus_env(), false);
  ASSERT_TRUE(program.wait_for_output("Updating firmware", kRunLimit));
  EXPECT_EQ(kHeld, holders());
  const int status = program.wait(kRunLimit);
  EXPECT_TRUE(exited_with(status, 0)) << describe(status);
  EXPECT_TRUE(released_soon());
}

TEST_F(ProgramInhibitorTest, GivenBackWhenTheMouseIsLostMidUpdate) {
  // The mouse drops off at packet 200 and never comes back: the update
  // cannot go on, and the program waits for a mouse.
  ProgramProcess program(with(kUpdate, {"--yes", "--sim-faults=vanish=200,reappear-ms=-1"}), bus_env(), false);
  ASSERT_TRUE(program.wait_for_output("Updating firmware", kRunLimit));
  program.out.clear();
  ASSERT_TRUE(program.wait_for_output("Please connect", kRunLimit));
  EXPECT_TRUE(released_soon());
  EXPECT_TRUE(program.running());
  program.send_signal(SIGINT);
  EXPECT_TRUE(exited_with(program.wait(kRunLimit), 3));
}

TEST_F(ProgramInhibitorTest, GivenBackWhenTheProgramIsKilled) {
  ProgramProcess program(with(kUpdate, {"--yes"}), bus_env(), false);
  ASSERT_TRUE(program.wait_for_output("Updating firmware", kRunLimit));
  EXPECT_EQ(kHeld, holders());
  program.send_signal(SIGKILL);
  program.wait(kRunLimit);
  EXPECT_TRUE(released_soon());
}

TEST_F(ProgramTest, InputThatEndsMidUpdateClosesTheWindowAfterIt) {
  ProgramProcess program(kUpdate, env(), true);
  ASSERT_TRUE(program.wait_for_output("Press Enter to start the firmware update", kRunLimit));
  program.write_input("\n");
  program.close_input();
  const int status = program.wait(kRunLimit);
  EXPECT_TRUE(exited_with(status, 0)) << describe(status);
  EXPECT_TRUE(log_says_succeeded());
  const std::string& out = program.out;
  EXPECT_NE(std::string::npos, out.find("You have successfully updated the firmware"));
  // The console's lines come in the order of what happens.
  // There is no button to click: the console names the key instead, and
  // shows what the update changes and each step on the mouse.
  EXPECT_EQ(std::string::npos, out.find("Click 'Start'"));
  EXPECT_LT(out.find("Firmware: 14.2.6 \u2192 14.2.7"), out.find("Press Enter to start"));
  EXPECT_LT(out.find("Saving the mouse's settings..."), out.find("Restoring the mouse's settings..."));
  EXPECT_LT(out.find("Updating firmware"), out.find("[...."));
  EXPECT_EQ(std::string::npos, out.find("Press Enter to close"));  // nobody left to press it
}

TEST_F(ProgramTest, EscapeClosesAtRestAndEnterIsRefusedMidUpdate) {
  ProgramProcess program(kUpdate, env(), true);
  ASSERT_TRUE(program.wait_for_output("Press Enter to start the firmware update", kRunLimit));
  program.write_input("\n");
  ASSERT_TRUE(program.wait_for_output("Updating firmware", kRunLimit));
  program.write_input("\n");
  ASSERT_TRUE(program.wait_for_output("cannot be interrupted now", kRunLimit));
  ASSERT_TRUE(program.wait_for_output("Press Enter to close.", kRunLimit));
  program.write_input("\x1b\n");
  const int status = program.wait(kRunLimit);
  EXPECT_TRUE(exited_with(status, 0)) << describe(status);
  program.close_input();
}

TEST_F(ProgramTest, ABusySettingsStoreIsReportedOnceBeforeTheFlash) {
  const auto folder = home_.path() / "config" / "Software" / "Orvantis";
  std::filesystem::create_directories(folder);
  // Another process (flock(1)) holds the store's lock for the whole run.
  const std::string lock = (folder / ".Mirel Firmware Update v7.reg.lock").string();
  int hold[2];
  ASSERT_EQ(::pipe(hold), 0);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t flocker = ::fork();
  if (flocker == 0) {
    ::dup2(hold[0], 0);
    ::dup2(ready[1], 1);
    ::close(hold[1]);
    ::close(ready[0]);
    ::execlp("flock", "flock", lock.c_str(), "sh", "-c", "echo locked; cat >/dev/null", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(hold[0]);
  ::close(ready[1]);
  char answer[8] = {};
  ASSERT_GT(::read(ready[0], answer, sizeof answer), 0);

  const auto start = std::chrono::steady_clock::now();
  ProgramProcess program(with(kUpdate, {"--yes"}), env(), false);
  const int status = program.wait(kRunLimit);
  const auto took = std::chrono::steady_clock::now() - start;
  ::close(hold[1]);
  ::close(ready[0]);
  ::waitpid(flocker, nullptr, 0);

  EXPECT_TRUE(exited_with(status, 0)) << describe(status);
  const std::string& out = program.out;
  const std::string busy = "The settings store is busy";
  const std::size_t said = out.find(busy);
  ASSERT_NE(std::string::npos, said) << out;
  EXPECT_EQ(std::string::npos, out.find(busy, said + 1));
  EXPECT_LT(said, out.find("Updating firmware"));
  EXPECT_NE(std::string::npos, app_log().find(busy));
  EXPECT_LT(took, seconds(60));
}

TEST_F(ProgramTest, TheTraceReachesStandardErrorWhenAskedFor) {
  for (bool by_option : {true, false}) {
    auto environment = env();
    std::vector<std::string> args = {"--simulate", "--console", "--yes", "--sim-version=14.2.7"};
    if (by_option) {
      args.push_back("--trace");
    } else {
      environment["MIREL_TRACE"] = "1";
    }
    ProgramProcess program(args, environment, false);
    const int status = program.wait(kRunLimit);
    EXPECT_TRUE(exited_with(status, 4)) << describe(status);  // already up to date
    EXPECT_NE(std::string::npos, program.err.find("CMirelDFUDlg::SwitchToState() called from 0 to 10"))
        << program.err.substr(0, 2000);
  }
}

TEST_F(ProgramTest, RejectedFaultValuesNameTheOptionTheValueAndWhatIsAllowed) {
  struct Case {
    const char* item;
    const char* allowed;
  };
  const Case cases[] = {
      {"status-value=300", "from 0 to 255"},  {"image=3", "from 1 to 2"}, {"drop=0x10", "whole number"},
      {"refuse-restart=1", "takes no value"}, {"drop", "whole number"},   {"bogus=1", "refuse-restart"},
  };
  for (const Case& c : cases) {
    ProgramProcess program({std::string("--sim-faults=") + c.item}, env(), false);
    const int status = program.wait(kRunLimit);
    EXPECT_TRUE(exited_with(status, 2)) << c.item << ": " << describe(status);
    const std::string first_line = program.err.substr(program.err.find("--sim-faults"));
    EXPECT_NE(std::string::npos, first_line.find(std::string("'") + c.item + "'")) << program.err;
    EXPECT_NE(std::string::npos, first_line.find(c.allowed)) << program.err;
  }
}

// The simulated mouse's state file is outside input: a damaged one is named,
// with its line, and left as it was; nothing runs.
TEST_F(ProgramTest, ADamagedStateFileIsRefusedWithItsLine) {
  const std::filesystem::path state = home_.path() / "mouse.state";
  const std::string damaged = "mirel-sim-state 1\nmode application\nversion 14 2\n";
  std::ofstream(state, std::ios::binary) << damaged;
  ProgramProcess program(with(kUpdate, {"--yes", "--sim-state", state.string()}), env(), false);
  const int status = program.wait(kRunLimit);
  EXPECT_TRUE(exited_with(status, 2)) << describe(status);
  EXPECT_NE(std::string::npos, program.err.find("--sim-state")) << program.err;
  EXPECT_NE(std::string::npos, program.err.find("line 3")) << program.err;
  std::ifstream in(state, std::ios::binary);
  std::stringstream after;
  after << in.rdbuf();
  EXPECT_EQ(damaged, after.str());
}

// A copy of the program whose embedded image was damaged after the build
// refuses to update and leaves the mouse and the settings store alone.
TEST_F(ProgramTest, AProgramWithDamagedImagesRefusesAndTouchesNothing) {
  // Read in one call: the sanitizers' build of the program is 100+ MB, too
  // much to go through byte by byte.
  std::ifstream in(MIREL_PROGRAM, std::ios::binary);
  std::string bytes(std::filesystem::file_size(MIREL_PROGRAM), '\0');
  ASSERT_TRUE(in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())));
  const std::string start_record = std::string("\x00\x01", 2) + "ZKT58_E1";
  const std::size_t image = bytes.find(start_record);
  ASSERT_NE(std::string::npos, image);
  bytes[image + 1000] = static_cast<char>(bytes[image + 1000] ^ 0x5A);
  const std::filesystem::path copy = home_.path() / "MirelFirmwareUpdate";
  std::ofstream(copy, std::ios::binary) << bytes;
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  const std::filesystem::path state = home_.path() / "mouse.state";

  ProgramProcess program({"--simulate", "--console", "--yes", "--sim-latency-us=0", "--sim-state=" + state.string()},
                         env(), false, {}, copy.string());
  const int status = program.wait(kRunLimit);
  EXPECT_TRUE(exited_with(status, 1)) << describe(status);
  EXPECT_NE(std::string::npos, program.out.find("damaged")) << program.out;
  EXPECT_NE(std::string::npos, program.out.find("Nothing was written to your mouse")) << program.out;
  std::ifstream state_in(state, std::ios::binary);
  std::stringstream mouse;
  mouse << state_in.rdbuf();
  EXPECT_NE(std::string::npos, mouse.str().find("mode application\nversion 14 2 6\n")) << mouse.str();
  const std::filesystem::path settings = home_.path() / "config";
  EXPECT_TRUE(!std::filesystem::exists(settings) || std::filesystem::is_empty(settings))
      << "the settings store was written";
}

}  // namespace
}  // namespace mirel
