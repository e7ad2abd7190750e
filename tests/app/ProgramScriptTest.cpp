// The program as scripts run it: unattended runs that end by their timeout,
// exit statuses with their reasons, --check and --json read with a real JSON
// parser, and a start that touches nothing for --help and --version.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/ProgramProcess.h"
#include "support/ScopedTempDir.h"

namespace mirel {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using test::ProgramProcess;

constexpr auto kRunLimit = seconds(90);

int exit_status(int status) { return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

class ScriptRun {
 public:
  explicit ScriptRun(std::vector<std::string> args, bool simulate = true) {
    std::map<std::string, std::string> env = {{"HOME", home_.str()},
                                              {"XDG_CONFIG_HOME", (home_.path() / "config").string()},
                                              {"XDG_STATE_HOME", (home_.path() / "state").string()},
                                              {"XDG_CACHE_HOME", (home_.path() / "cache").string()},
                                              {"MIREL_TRACE", ""},
                                              {"LC_ALL", "C"},
                                              // No login manager: nothing to hold the machine awake with.
                                              {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent"}};
    if (simulate) args.insert(args.begin(), {"--simulate", "--sim-latency-us=0"});
    program_ = std::make_unique<ProgramProcess>(args, env, false);
  }
  int finish() { return exit_status(program_->wait(kRunLimit)); }
  const std::string& out() const { return program_->out; }
  const std::string& err() const { return program_->err; }
  // The lines of standard error that are not the library's own log lines.
  std::vector<std::string> own_error_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(program_->err);
    for (std::string line; std::getline(in, line);) {
      // The program's trace (with --trace) starts with its clock.
      const bool trace = line.size() > 11 && line[5] == '.' && line[9] == ':';
      if (!trace && line.rfind("INFO - ", 0) != 0 && line.rfind("WARNING - ", 0) != 0 &&
          line.rfind("ERROR - ", 0) != 0 && line.rfind("DEBUG - ", 0) != 0) {
        lines.push_back(line);
      }
    }
    return lines;
  }
  // Every line of standard output as a JSON object; fails the test on a line
  // that is not one.
  std::vector<nlohmann::json> objects() const {
    std::vector<nlohmann::json> result;
    std::istringstream in(program_->out);
    for (std::string line; std::getline(in, line);) {
      nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
      EXPECT_TRUE(object.is_object()) << "not a JSON object: " << line;
      if (object.is_object()) result.push_back(std::move(object));
    }
    return result;
  }
  const std::filesystem::path& home() const { return home_.path(); }

 private:
  rodiz::test::ScopedTempDir home_;
  std::unique_ptr<ProgramProcess> program_;
};

// Every way an unattended run can wait for a mouse ends by its timeout, with
// its own status and one line that says why. The runs go side by side in two
// groups: every simulated mouse has the same path, so the runs share its
// cross-process lock, and a silent one holds it while the library waits for
// it, which would starve the others of answers.
TEST(ProgramScriptTest, UnattendedRunsEndWithTheirStatusAndReason) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    bool simulate;
    int status;
    const char* reason;  // on standard error, after the program's name
  };
  const std::vector<std::vector<Case>> groups = {
      {
          {"no mouse", {"--console", "-y", "--timeout=1"}, false, 5, "No mouse was found within 1 seconds."},
          {"stays away after its restart",
           {"--console", "-y", "--timeout=1", "--sim-faults=stay-away"},
           true,
           5,
           "did not come back within 1 seconds"},
          {"refuses the restart",
           {"--console", "-y", "--timeout=1", "--sim-faults=refuse-restart"},
           true,
           5,
           "did not come back within 1 seconds"},
          {"vanishes mid-image",
           {"--console", "-y", "--timeout=1", "--sim-faults=vanish=20,reappear-ms=-1"},
           true,
           5,
           "went away during the update and did not come back within 1 seconds"},
          {"up to date", {"--console", "-y", "--timeout=1", "--sim-version=14.2.7"}, true, 4, nullptr},
          {"bad command line", {"--console", "--yes", "now"}, true, 2, "unexpected argument 'now'"},
      },
      {
          {"silent",
           {"--console", "-y", "--timeout=1", "--sim-faults=silent"},
           true,
           5,
           "The mouse did not answer within 1 seconds."},
          {"answers for another program",
           {"--console", "-y", "--timeout=1", "--sim-faults=foreign-swid"},
           true,
           5,
           "The mouse did not answer within 1 seconds."},
      },
  };
  for (const std::vector<Case>& cases : groups) {
    std::vector<std::unique_ptr<ScriptRun>> runs;
    for (const Case& c : cases) runs.push_back(std::make_unique<ScriptRun>(c.args, c.simulate));
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      ScriptRun& run = *runs[i];
      EXPECT_EQ(c.status, run.finish()) << c.what << "\n" << run.out() << run.err().substr(0, 3000);
      const std::vector<std::string> own = run.own_error_lines();
      if (c.reason == nullptr) {
        EXPECT_TRUE(own.empty()) << c.what << ": " << (own.empty() ? "" : own.front());
        continue;
      }
      ASSERT_FALSE(own.empty()) << c.what;
      EXPECT_EQ(0u, own.front().rfind("MirelFirmwareUpdate: ", 0)) << c.what << ": " << own.front();
      EXPECT_NE(std::string::npos, own.front().find(c.reason)) << c.what << ": " << own.front();
      // A silent mouse is said to be silent on the console, not only at the end.
      if (c.status == 5 && std::string(c.reason).find("answer") != std::string::npos) {
        EXPECT_NE(std::string::npos, run.out().find("> The Mirel VELOXA Wireless Gaming Mouse does not answer."))
            << c.what << "\n"
            << run.out();
      }
    }
  }
}

TEST(ProgramScriptTest, CheckReadsTheVersionAndWritesNothing) {
  struct Case {
    const char* version;
    int status;
    bool needed;
  };
  for (const Case& c : {Case{"14.2.6", 6, true}, Case{"14.2.7", 4, false}, Case{"14.3.0", 4, false}}) {
    ScriptRun run({"--check", "--json", std::string("--sim-version=") + c.version});
    EXPECT_EQ(c.status, run.finish()) << c.version << run.err().substr(0, 2000);
    const std::vector<nlohmann::json> objects = run.objects();
    ASSERT_GE(objects.size(), 3u) << run.out();
    EXPECT_EQ("device", objects.front()["event"]);
    EXPECT_EQ(c.version, objects.front()["version"]);
    EXPECT_EQ("application", objects.front()["mode"]);
    EXPECT_EQ(0xC087, objects.front()["product_id"]);
    const nlohmann::json& check = objects[objects.size() - 2];
    EXPECT_EQ("check", check["event"]);
    EXPECT_EQ(c.version, check["current"]);
    EXPECT_EQ("14.2.7", check["carried"]);
    EXPECT_EQ(c.needed, check["update_needed"]);
    EXPECT_EQ("result", objects.back()["event"]);
    EXPECT_EQ(c.status, objects.back()["exit_status"]);
    // Nothing was started: the controller never left its first decision.
    for (const nlohmann::json& object : objects) {
      if (object["event"] == "state") {
        EXPECT_LT(object["state"].get<int>(), 3) << object.dump();
      }
    }
  }
  // The same for a person: both versions and the answer.
  ScriptRun human({"--check", "--console"});
  EXPECT_EQ(6, human.finish());
  EXPECT_NE(std::string::npos, human.out().find("Firmware: 14.2.6 \u2192 14.2.7")) << human.out();
  EXPECT_NE(std::string::npos, human.out().find("needs the firmware update to v14.2.7")) << human.out();
}

TEST(ProgramScriptTest, JsonFollowsAWholeUpdate) {
  ScriptRun run({"--json", "--yes"});
  ASSERT_EQ(0, run.finish()) << run.err().substr(0, 2000);
  const std::vector<nlohmann::json> objects = run.objects();
  ASSERT_FALSE(objects.empty());
  EXPECT_EQ("device", objects.front()["event"]);
  EXPECT_EQ("14.2.6", objects.front()["version"]);
  std::vector<int> states;
  std::uint32_t bytes = 0;
  std::uint32_t total = 0;
  bool bootloader = false;
  for (const nlohmann::json& object : objects) {
    ASSERT_TRUE(object.contains("event")) << object.dump();
    if (object["event"] == "state") states.push_back(object["state"].get<int>());
    if (object["event"] == "device" && object["mode"] == "bootloader") {
      bootloader = true;
      EXPECT_EQ(0xAADB, object["product_id"]);
      EXPECT_TRUE(object["version"].is_null());
    }
    if (object["event"] == "progress") {
      const auto now = object["bytes"].get<std::uint32_t>();
      total = object["total"].get<std::uint32_t>();
      EXPECT_LE(now, total);
      if (object.value("total", 0u) == total && now < bytes) ADD_FAILURE() << "progress went back: " << object.dump();
      bytes = now;
    }
  }
  EXPECT_TRUE(bootloader);
  EXPECT_EQ(bytes, total);
  EXPECT_GT(total, 130000u);
  const std::vector<int> path = {2, 3, 4, 5, 6, 8, 9};
  EXPECT_EQ(path, states);
  EXPECT_EQ("result", objects.back()["event"]);
  EXPECT_EQ(0, objects.back()["exit_status"]);
  EXPECT_EQ("updated", objects.back()["result"]);
}

// --help and --version answer and touch nothing: no log folder, no file.
TEST(ProgramScriptTest, HelpAndVersionStartQuietly) {
  for (const char* option : {"--help", "-h", "--version", "-V"}) {
    ScriptRun run({option}, false);
    EXPECT_EQ(0, run.finish()) << option;
    EXPECT_FALSE(run.out().empty()) << option;
    EXPECT_TRUE(run.err().empty()) << option << ": " << run.err().substr(0, 500);
    EXPECT_FALSE(std::filesystem::exists(run.home() / "state")) << option;
  }
}

}  // namespace
}  // namespace mirel
