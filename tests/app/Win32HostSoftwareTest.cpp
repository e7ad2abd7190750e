#include <gtest/gtest.h>

#include <memory>

#include "app/AppTrace.h"
#include "app/FakeWin32HostSystem.h"
#include "app/Win32HostSoftware.h"
#include "app/Win32UpdateInhibitor.h"

namespace mirel {
namespace {

using test::FakeWin32HostSystem;
using Process = FakeWin32HostSystem::Process;

class Win32HostSoftwareTest : public testing::Test {
 protected:
  void SetUp() override {
    AppTrace::SetDebugOutputEnabled(true);
    AppTrace::SetDebugOutputForTesting([this](const std::string& line) {
      // Without the time prefix "%09.3f: ".
      trace_.push_back(line.size() > 11 ? line.substr(11) : line);
    });
    system_->dos_devices = {{"C:", "\\Device\\HarddiskVolume1"}, {"D:", "\\Device\\HarddiskVolume10"}};
  }
  void TearDown() override {
    AppTrace::SetDebugOutputForTesting(nullptr);
    AppTrace::SetDebugOutputEnabled(false);
    EXPECT_EQ(0, system_->open_handles());
  }
  std::string shut_down(bool* was_running) { return host_.ShutDown(was_running); }

  std::shared_ptr<FakeWin32HostSystem> system_ = std::make_shared<FakeWin32HostSystem>();
  Win32HostSoftware host_{system_};
  std::vector<std::string> trace_;
};

TEST_F(Win32HostSoftwareTest, NothingRunningAsksNothingKillsNothing) {
  system_->processes = {{4, "System", "", false}, {300, "explorer.exe", "C:\\Windows\\explorer.exe", false}};
  bool was_running = true;
  EXPECT_EQ("", shut_down(&was_running));
  EXPECT_FALSE(was_running);
  EXPECT_EQ(std::vector<std::string>{"open event Global\\Moxel_1.00_GlobalShutdown"}, system_->calls);
  EXPECT_TRUE(trace_.empty());
}

// One instance quits when the event is set, the other is terminated; the path
// of the first one found is kept, whatever the case of its name.
TEST_F(Win32HostSoftwareTest, TheEventIsSetThenWhatRemainsIsTerminated) {
  system_->event_exists = true;
  system_->processes = {{10, "explorer.exe", "C:\\Windows\\explorer.exe", false},
                        {20, "MOXEL.EXE", "\\Device\\HarddiskVolume10\\Games\\Moxel\\MOXEL.EXE", true},
                        {30, "Moxel.exe", "C:\\Other\\Moxel.exe", false}};
  bool was_running = false;
  EXPECT_EQ("D:\\Games\\Moxel\\MOXEL.EXE", shut_down(&was_running));
  EXPECT_TRUE(was_running);
  EXPECT_EQ((std::vector<std::string>{"open event Global\\Moxel_1.00_GlobalShutdown", "set event", "sleep 1000",
                                      "terminate 30 0", "wait 30 1000"}),
            system_->calls);
  EXPECT_EQ((std::vector<std::string>{"Setting Shutdown Event...\n", "Terminating Moxel.exe...\n"}), trace_);
  EXPECT_FALSE(system_->running(30));
  EXPECT_TRUE(system_->running(10));
}

// Without the event nothing is asked or killed, but the path is still found.
TEST_F(Win32HostSoftwareTest, WithoutTheEventTheProgramIsLeftRunning) {
  system_->processes = {{20, "moxel.exe", "C:\\Moxel\\moxel.exe", true}};
  bool was_running = true;
  EXPECT_EQ("C:\\Moxel\\moxel.exe", shut_down(&was_running));
  EXPECT_FALSE(was_running);
  EXPECT_TRUE(system_->running(20));
}

TEST_F(Win32HostSoftwareTest, EveryFailureIsTracedAndTheWalkGoesOn) {
  struct Case {
    const char* what;
    bool snapshot_fails;
    bool first_fails;
    std::vector<Process> processes;
    std::string path;
    std::vector<std::string> trace;
  } cases[] = {
      {"snapshot",
       true,
       false,
       {{20, "Moxel.exe", "C:\\M\\Moxel.exe"}},
       "",
       {"Failed to get a snapshot\n", "Setting Shutdown Event...\n", "Failed to get a snapshot\n"}},
      {"first process",
       false,
       true,
       {{20, "Moxel.exe", "C:\\M\\Moxel.exe"}},
       "",
       {"Failed to get first process!\n", "Setting Shutdown Event...\n", "Failed to get first process!\n"}},
      {"open, image path, terminate",
       false,
       false,
       {{20, "Moxel.exe", "C:\\A\\Moxel.exe", false, false, false},
        {30, "Moxel.exe", "", false, true, true, true},
        {40, "Moxel.exe", "C:\\C\\Moxel.exe", false}},
       "C:\\C\\Moxel.exe",
       {"Failed to get process handle!\n", "Setting Shutdown Event...\n", "Failed to get process handle!\n",
        "Terminating Moxel.exe...\n", "Failed to terminate process Moxel.exe...\n", "Terminating Moxel.exe...\n"}},
  };
  for (const Case& c : cases) {
    auto system = std::make_shared<FakeWin32HostSystem>();
    system->event_exists = true;
    system->snapshot_fails = c.snapshot_fails;
    system->first_fails = c.first_fails;
    system->processes = c.processes;
    Win32HostSoftware host(system);
    trace_.clear();
    bool was_running = false;
    EXPECT_EQ(c.path, host.ShutDown(&was_running)) << c.what;
    EXPECT_TRUE(was_running) << c.what;
    EXPECT_EQ(c.trace, trace_) << c.what;
    EXPECT_EQ(0, system->open_handles()) << c.what;
  }
}

TEST_F(Win32HostSoftwareTest, ADeviceFormPathTakesTheDriveWhoseWholeNameLeadsIt) {
  system_->dos_devices["E:"] = "";
  EXPECT_EQ("C:\\Moxel.exe", host_.FromDeviceForm("\\Device\\HarddiskVolume1\\Moxel.exe"));
  EXPECT_EQ("D:\\x\\Moxel.exe", host_.FromDeviceForm("\\Device\\HarddiskVolume10\\x\\Moxel.exe"));
  EXPECT_EQ("C:\\Games\\Moxel.exe", host_.FromDeviceForm("C:\\Games\\Moxel.exe"));
  EXPECT_EQ("\\\\server\\share\\Device\\HarddiskVolume1\\Moxel.exe",
            host_.FromDeviceForm("\\\\server\\share\\Device\\HarddiskVolume1\\Moxel.exe"));
}

TEST_F(Win32HostSoftwareTest, RelaunchOpensThePathWithTheShell) {
  host_.Relaunch("");
  host_.Relaunch("C:\\Moxel\\Moxel.exe");
  EXPECT_EQ(std::vector<std::string>{"C:\\Moxel\\Moxel.exe"}, system_->shell_opened);
}

TEST_F(Win32HostSoftwareTest, TheInhibitorKeepsTheSystemAwakeAndBlocksShutdownOnTheThreadsWindows) {
  system_->windows = {0x40, 0x44};
  {
    Win32UpdateInhibitor inhibitor(system_);
    EXPECT_TRUE(inhibitor.Acquire("Updating"));
    EXPECT_TRUE(inhibitor.Acquire("again"));
    EXPECT_TRUE(system_->system_required);
    EXPECT_EQ((std::map<IWin32HostSystem::Handle, std::string>{{0x40, "Updating"}, {0x44, "Updating"}}),
              system_->block_reasons);
    inhibitor.Release();
    EXPECT_FALSE(inhibitor.held());
    EXPECT_FALSE(system_->system_required);
    EXPECT_TRUE(system_->block_reasons.empty());
    // Destroyed while held: released all the same.
    system_->windows.clear();
    EXPECT_TRUE(inhibitor.Acquire("Updating"));
  }
  EXPECT_FALSE(system_->system_required);
  system_->execution_state_fails = true;
  Win32UpdateInhibitor failing(system_);
  EXPECT_FALSE(failing.Acquire("Updating"));
  EXPECT_FALSE(failing.held());
}

}  // namespace
}  // namespace mirel
