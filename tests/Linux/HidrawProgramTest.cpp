// The whole Linux program, unchanged and without --simulate, updating the
// simulated mouse through emulated hidraw nodes: umockdev's preload library
// gives the program the testbed's sysfs, udev events and device files, and
// the simulated mouse answers on the nodes' device side.
#include <gtest/gtest.h>
#include <link.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "Linux/EmulatedMouse.h"
#include "Linux/HidrawTestbed.h"
#include "app/ProgramProcess.h"
#include "sim/SimFaults.h"
#include "support/ScopedTempDir.h"

namespace rodiz::test {
namespace {

using std::chrono::seconds;
using Process = mirel::test::ProgramProcess;

// The program runs with short images (the first packets of the shipped ones):
// a few seconds for a whole update under the sanitizers. The limit only ends
// a run that has stopped.
constexpr auto kRunLimit = seconds(90);
const std::vector<std::string> kUpdate = {"--allow-test-images", "--console", "--yes", "/LOG"};
const char* const kConnect = "Please connect the";
const char* const kSuccess = "You have successfully updated the firmware";
const char* const kUpToDate = "No update is needed.";

// A sanitizer's runtime wants to come first among the preloaded libraries;
// the program is built like this test, so the test's own runtime is the one.
std::string preload_list() {
  std::string runtime;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* found) {
        const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
        if (name.find("/libasan.so") != std::string::npos || name.find("/libtsan.so") != std::string::npos) {
          *static_cast<std::string*>(found) = name;
          return 1;
        }
        return 0;
      },
      &runtime);
  return runtime.empty() ? "libumockdev-preload.so.0" : runtime + ":libumockdev-preload.so.0";
}

bool exited_with(int status, int code) { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code; }

std::string describe(int status) {
  if (status < 0) return "still running at the limit";
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exit " + std::to_string(WEXITSTATUS(status));
}

// The images the program carries, as the mouse's bootloader expects them.
std::vector<sim::SimImage> embedded_images() {
  std::vector<sim::SimImage> images;
  for (const char* path : {MIREL_SHORT_IMAGE_1, MIREL_SHORT_IMAGE_2}) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 16) continue;
    sim::SimImage image;
    image.hardware_code = bytes.substr(2, 8);
    image.bytes.assign(bytes.begin(), bytes.end());
    images.push_back(std::move(image));
  }
  return images;
}

class HidrawProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    // The testbed's own calls go through the preload library too.
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
      GTEST_SKIP() << "needs umockdev-wrapper";
    }
    testbed_ = std::make_unique<HidrawTestbed>();
  }
  void TearDown() override {
    program_.reset();
    mouse_.reset();
    testbed_.reset();
  }

  static sim::SimMouseConfig config() {
    sim::SimMouseConfig config;
    config.latency = std::chrono::microseconds(0);
    config.reboot_delay = std::chrono::milliseconds(100);
    config.restart_delay = std::chrono::milliseconds(100);
    config.expected_images = embedded_images();
    return config;
  }
  void make_mouse(const sim::SimMouseConfig& config, bool boot_mouse_interface = true) {
    mouse_ = std::make_unique<EmulatedMouse>(*testbed_, config, boot_mouse_interface);
  }
  void start_program(const std::vector<std::string>& launcher = {}) {
    program_ = std::make_unique<Process>(
        kUpdate,
        std::map<std::string, std::string>{{"LD_PRELOAD", preload_list()},
                                           {"HOME", home_.str()},
                                           {"XDG_CONFIG_HOME", (home_.path() / "config").string()},
                                           {"XDG_STATE_HOME", (home_.path() / "state").string()},
                                           {"XDG_CACHE_HOME", (home_.path() / "cache").string()},
                                           {"LC_ALL", "C"},
                                           {"MIREL_TRACE", ""},
                                           // No system bus: the program must not reach the machine's.
                                           {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + home_.str() + "/no-bus"}},
        false, launcher, MIREL_SHORT_IMAGE_PROGRAM);
  }
  // Runs the program to its end; its wait status.
  int finish() {
    const int status = program_->wait(kRunLimit);
    return status;
  }
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
  void expect_updated_with_settings_back(const std::vector<std::vector<std::uint8_t>>& sectors) {
    sim::SimMouse& mouse = mouse_->mouse();
    const sim::SimVersion version = mouse.version();
    EXPECT_EQ(7, version.build);
    EXPECT_EQ(3, mouse.type6_build());
    EXPECT_EQ(sectors, mouse.sectors()) << "profiles not restored";
    EXPECT_EQ(3, mouse.active_profile());
    EXPECT_EQ((std::vector<std::uint8_t>{1, 0, 0}), mouse.nv_config(1)) << "LED setting not restored";
  }
  std::string output() const { return program_->out + "\n--- stderr:\n" + program_->err.substr(0, 4000); }

  ScopedTempDir home_;
  std::unique_ptr<HidrawTestbed> testbed_;
  std::unique_ptr<EmulatedMouse> mouse_;
  std::unique_ptr<Process> program_;
};

TEST_F(HidrawProgramTest, UpdatesTheMouseThatArrivesAndRestoresItsProfiles) {
  make_mouse(config());
  const auto sectors = mouse_->mouse().sectors();
  start_program();
  ASSERT_TRUE(program_->wait_for_output(kConnect, kRunLimit)) << output();
  mouse_->plug();
  ASSERT_FALSE(mouse_->history().empty()) << "the testbed did not take the mouse";
  const int status = finish();
  ASSERT_TRUE(exited_with(status, 0)) << describe(status) << "\n" << output();
  EXPECT_NE(std::string::npos, program_->out.find(kSuccess)) << output();
  EXPECT_NE(std::string::npos, app_log().find("called from 8 to 9"));
  expect_updated_with_settings_back(sectors);
  // The application's node, its bootloader's as a new node, the application's again.
  EXPECT_EQ((std::vector<std::string>{"+/dev/hidraw1 c087", "-/dev/hidraw1", "+/dev/hidraw2 aadb", "-/dev/hidraw2",
                                      "+/dev/hidraw4 c087"}),
            mouse_->history());
  // The boot-mouse interface beside it was looked at and left alone.
  EXPECT_GT(mouse_->boot_mouse_queries(), 0);
  EXPECT_EQ(0, mouse_->boot_mouse_writes());

  // A second run finds the mouse through the feature cache the first one
  // left: served from the file, discovery sends nothing, so the first report
  // the program writes is a ping, whose answer must still reach it.
  const int requests = mouse_->mouse().requests();
  start_program();
  const int again = finish();
  ASSERT_TRUE(exited_with(again, 4)) << describe(again) << "\n" << output();  // up to date
  EXPECT_NE(std::string::npos, program_->out.find(kUpToDate)) << output();
  EXPECT_GT(mouse_->mouse().requests(), requests);
}

struct FaultCase {
  const char* name;
  const char* faults;
  std::vector<std::string> history;
};

class HidrawProgramFaultTest : public HidrawProgramTest, public testing::WithParamInterface<FaultCase> {};

// Each fault happens once; the update goes through in the same run.
TEST_P(HidrawProgramFaultTest, TheUpdateGoesThroughAFaultOnTheNode) {
  const FaultCase& c = GetParam();
  sim::SimFaults faults;
  std::string error;
  ASSERT_TRUE(sim::SimFaults::parse(c.faults, &faults, &error)) << error;
  make_mouse(config());
  mouse_->mouse().set_faults(faults);
  const auto sectors = mouse_->mouse().sectors();
  start_program();
  ASSERT_TRUE(program_->wait_for_output(kConnect, kRunLimit)) << output();
  mouse_->plug();
  ASSERT_FALSE(mouse_->history().empty()) << "the testbed did not take the mouse";
  const int status = finish();
  ASSERT_TRUE(exited_with(status, 0)) << describe(status) << "\n" << output();
  EXPECT_NE(std::string::npos, program_->out.find(kSuccess)) << output();
  expect_updated_with_settings_back(sectors);
  EXPECT_EQ(c.history, mouse_->history());
}

INSTANTIATE_TEST_SUITE_P(Faults, HidrawProgramFaultTest,
                         testing::Values(
                             // The answer to a packet never comes: the exchange is given up and the image sent again.
                             FaultCase{"LostAnswer",
                                       "drop=100,image=1",
                                       {"+/dev/hidraw1 c087", "-/dev/hidraw1", "+/dev/hidraw2 aadb", "-/dev/hidraw2",
                                        "+/dev/hidraw4 c087"}},
                             // The bootloader drops off the bus mid-image and comes back as a new node.
                             FaultCase{"BootloaderVanishesMidImage",
                                       "vanish=150,image=1,reappear-ms=300",
                                       {"+/dev/hidraw1 c087", "-/dev/hidraw1", "+/dev/hidraw2 aadb", "-/dev/hidraw2",
                                        "+/dev/hidraw3 aadb", "-/dev/hidraw3", "+/dev/hidraw5 c087"}}),
                         [](const testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

TEST_F(HidrawProgramTest, AMouseFoundInItsBootloaderIsUpdatedAtOnce) {
  sim::SimMouseConfig start_in_bootloader = config();
  start_in_bootloader.start_in_bootloader = true;
  make_mouse(start_in_bootloader);
  mouse_->plug();
  ASSERT_FALSE(mouse_->history().empty()) << "the testbed did not take the mouse";
  start_program();
  const int status = finish();
  ASSERT_TRUE(exited_with(status, 0)) << describe(status) << "\n" << output();
  EXPECT_NE(std::string::npos, program_->out.find(kSuccess)) << output();
  EXPECT_EQ(7, mouse_->mouse().version().build);
  EXPECT_EQ((std::vector<std::string>{"+/dev/hidraw0 aadb", "-/dev/hidraw0", "+/dev/hidraw2 c087"}), mouse_->history());
}

TEST_F(HidrawProgramTest, ANodeThatStaysClosedIsToldWithTheRuleAndOpensOnceItIsTriggered) {
  // The superuser opens any file; without the capability to pass over file
  // modes it is refused like any user.
  std::vector<std::string> launcher;
  if (::geteuid() == 0) {
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv (util-linux) to run as root";
    launcher = {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search",
                "--inh-caps=-dac_override,-dac_read_search", "--"};
  }
  make_mouse(config());
  mouse_->set_node_mode(0);
  start_program(launcher);
  ASSERT_TRUE(program_->wait_for_output(kConnect, kRunLimit)) << output();
  mouse_->plug();
  ASSERT_FALSE(mouse_->history().empty()) << "the testbed did not take the mouse";
  ASSERT_TRUE(program_->wait_for_output("70-mirel-mouse.rules", kRunLimit)) << output();
  EXPECT_NE(std::string::npos, program_->out.find("> No permission to open the mouse's hidraw device node."))
      << output();
  EXPECT_NE(std::string::npos, program_->out.find("udevadm control --reload && sudo udevadm trigger")) << output();
  EXPECT_EQ(0, mouse_->mouse().requests());
  // The user installs the rule and triggers udev; the mouse stays plugged.
  mouse_->trigger_rules(0600);
  const int status = finish();
  ASSERT_TRUE(exited_with(status, 0)) << describe(status) << "\n" << output();
  EXPECT_NE(std::string::npos, program_->out.find(kSuccess)) << output();
  EXPECT_NE(std::string::npos, app_log().find("70-mirel-mouse.rules"));
}

}  // namespace
}  // namespace rodiz::test
