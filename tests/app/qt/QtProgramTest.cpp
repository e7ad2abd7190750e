#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "app/ExitStatus.h"
#include "app/ProgramProcess.h"
#include "support/ScopedTempDir.h"

namespace mirel {
namespace {

using test::ProgramProcess;

// Which view the real program chooses on Linux, and that the update runs to
// its end in it. The window runs on Qt's offscreen platform when a test
// names it; an X display that is named but not there makes Qt fail.
TEST(QtProgramTest, TheWindowIsChosenWhenADisplayOpensAndTheConsoleOtherwise) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> env;
    std::vector<std::string> options;
    bool window;
    const char* note;  // on standard error; empty: no note
  };
  const Case cases[] = {
      {"display and plugin", {{"DISPLAY", ":0"}, {"QT_QPA_PLATFORM", "offscreen"}}, {}, true, ""},
      {"--console", {{"DISPLAY", ":0"}, {"QT_QPA_PLATFORM", "offscreen"}}, {"--console"}, false, ""},
      {"no display",
       {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", "offscreen"}},
       {},
       false,
       "no window (no display: neither WAYLAND_DISPLAY nor DISPLAY is set); showing the update here."},
      {"display that does not open",
       {{"DISPLAY", ":4711"}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}},
       {},
       false,
       "no window (Qt could not open the display with the platform plugin \"xcb\"); showing the update here."},
  };
  for (const Case& c : cases) {
    rodiz::test::ScopedTempDir home;
    std::map<std::string, std::string> env = {{"HOME", home.str()},
                                              {"XDG_CONFIG_HOME", (home.path() / "config").string()},
                                              {"XDG_STATE_HOME", (home.path() / "state").string()},
                                              {"XDG_RUNTIME_DIR", home.str()},
                                              {"MIREL_TRACE", ""},
                                              {"LC_ALL", "C"}};
    env.insert(c.env.begin(), c.env.end());
    // A mouse that is up to date: the view is chosen and shown all the same,
    // without the time of a whole update.
    std::vector<std::string> args = {"--simulate", "--sim-latency-us=0", "--sim-version=14.2.7", "--yes"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    ProgramProcess program(args, env, false);
    const int status = program.wait(std::chrono::seconds(120));
    ASSERT_TRUE(status >= 0 && WIFEXITED(status)) << c.name << ": " << status << "\n" << program.err;
    EXPECT_EQ(static_cast<int>(mirel::ExitStatus::UpToDate), WEXITSTATUS(status)) << c.name << "\n" << program.err;
    // The console view prints the window's texts; the window prints nothing.
    EXPECT_EQ(!c.window, program.out.find("No update is needed.") != std::string::npos) << c.name << "\n"
                                                                                        << program.out;
    if (c.note[0] == '\0') {
      EXPECT_EQ(std::string::npos, program.err.find("no window")) << c.name << "\n" << program.err;
    } else {
      EXPECT_NE(std::string::npos, program.err.find(c.note)) << c.name << "\n" << program.err;
    }
  }
}

// Ctrl-C in the terminal that started the window follows the console's
// rule: during the flash the first one warns there and the update goes on, a
// second one within 5 s stops the program with status 3 and says, there too,
// how to finish the update.
TEST(QtProgramTest, CtrlCTwiceDuringTheFlashStopsTheWindowWithStatus3) {
  rodiz::test::ScopedTempDir home;
  const std::map<std::string, std::string> env = {{"HOME", home.str()},
                                                  {"XDG_CONFIG_HOME", (home.path() / "config").string()},
                                                  {"XDG_STATE_HOME", (home.path() / "state").string()},
                                                  {"XDG_CACHE_HOME", (home.path() / "cache").string()},
                                                  {"XDG_RUNTIME_DIR", home.str()},
                                                  {"DISPLAY", ":0"},
                                                  {"QT_QPA_PLATFORM", "offscreen"},
                                                  {"MIREL_TRACE", "1"},
                                                  {"LC_ALL", "C"}};
  // The simulated mouse's usual answer time keeps the transfer going for a while.
  ProgramProcess program({"--simulate", "--yes"}, env, false);
  const auto limit = std::chrono::seconds(120);
  ASSERT_TRUE(program.wait_for_error("called from 3 to 4", limit)) << program.err;
  program.send_signal(SIGINT);
  ASSERT_TRUE(program.wait_for_error("The firmware update is in progress: ", limit)) << program.err;
  program.send_signal(SIGINT);
  const int status = program.wait(limit);
  ASSERT_TRUE(status >= 0 && WIFEXITED(status)) << status;
  EXPECT_EQ(3, WEXITSTATUS(status)) << program.err.substr(program.err.size() > 4000 ? program.err.size() - 4000 : 0);
  EXPECT_NE(std::string::npos, program.err.find("Stopping the update as asked."));
  EXPECT_NE(std::string::npos, program.err.find("Run this program again to finish the update."));
  EXPECT_EQ(std::string::npos, program.err.find("called from 8 to 9"));
  EXPECT_EQ("", program.out);
}

}  // namespace
}  // namespace mirel
