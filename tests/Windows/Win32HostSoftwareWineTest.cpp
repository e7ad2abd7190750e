#include <windows.h>
// After windows.h.
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/HostSoftware.h"
#include "app/ProcEntry.h"
#include "app/Win32HostSoftware.h"
#include "app/Win32HostSystem.h"
#include "app/Win32UpdateInhibitor.h"
#include "support/ScopedTempDir.h"

namespace mirel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path own_folder() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(path).parent_path();
}

// One stand-in "Moxel.exe" started by the test.
class StandIn {
 public:
  StandIn(const fs::path& program, const std::wstring& mode) {
    std::wstring command = L"\"" + program.wstring() + L"\" " + mode;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                         &info_)) {
      ::CloseHandle(info_.hThread);
    } else {
      info_.hProcess = nullptr;
    }
  }
  ~StandIn() {
    if (info_.hProcess == nullptr) return;
    ::TerminateProcess(info_.hProcess, 99);
    ::WaitForSingleObject(info_.hProcess, 5000);
    ::CloseHandle(info_.hProcess);
  }
  bool started() const { return info_.hProcess != nullptr; }
  // The exit code once it has ended within `ms`; -1 while it runs.
  long exit_code(DWORD ms) const {
    if (::WaitForSingleObject(info_.hProcess, ms) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    ::GetExitCodeProcess(info_.hProcess, &code);
    return static_cast<long>(code);
  }

 private:
  PROCESS_INFORMATION info_{};
};

// The stand-in has made its event: it is ready to be asked.
bool event_appears() {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    if (HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\Moxel_1.00_GlobalShutdown")) {
      ::CloseHandle(event);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::vector<DWORD> running_host_processes() {
  std::vector<DWORD> found;
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
    if (::_wcsicmp(entry.szExeFile, L"Moxel.exe") == 0) found.push_back(entry.th32ProcessID);
  }
  ::CloseHandle(snapshot);
  return found;
}

class Win32HostSoftwareWineTest : public testing::Test {
 protected:
  void SetUp() override {
    program_ = own_folder() / HOST_STANDIN;
    ASSERT_TRUE(fs::exists(program_)) << program_.string();
    host_.Kill();  // nothing left from an earlier run
  }
  void TearDown() override {
    host_.Kill();
    EXPECT_TRUE(running_host_processes().empty());
  }

  fs::path program_;
  Win32HostSoftware host_{std::make_shared<Win32HostSystem>()};
};

TEST_F(Win32HostSoftwareWineTest, NothingRunningFindsNothing) {
  bool was_running = true;
  EXPECT_EQ("", host_.ShutDown(&was_running));
  EXPECT_FALSE(was_running);
}

// One stand-in quits on the event, the other ignores it and is terminated
// (exit code 0); the one found first gives the path, and the shell starts
// it again.
TEST_F(Win32HostSoftwareWineTest, FoundAskedKilledAndStartedAgain) {
  StandIn waiting(program_, L"wait");
  ASSERT_TRUE(waiting.started());
  ASSERT_TRUE(event_appears());
  StandIn ignoring(program_, L"ignore");
  ASSERT_TRUE(ignoring.started());
  ASSERT_EQ(2u, running_host_processes().size());

  bool was_running = false;
  const std::string path = host_.ShutDown(&was_running);
  EXPECT_TRUE(was_running);
  EXPECT_TRUE(ProcEntry::SameNameIgnoringCase(path, program_.string())) << path << " " << program_.string();
  EXPECT_EQ(7, waiting.exit_code(5000));
  EXPECT_EQ(0, ignoring.exit_code(5000));
  EXPECT_TRUE(running_host_processes().empty());

  host_.Relaunch(path);
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (running_host_processes().empty() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(1u, running_host_processes().size());
}

TEST_F(Win32HostSoftwareWineTest, AnUpperCaseImageNameIsFound) {
  rodiz::test::ScopedTempDir dir;
  const fs::path upper = dir.path() / "MOXEL.EXE";
  fs::copy_file(program_, upper);
  {
    StandIn waiting(upper, L"wait");
    ASSERT_TRUE(waiting.started());
    ASSERT_TRUE(event_appears());
    bool was_running = false;
    const std::string path = host_.ShutDown(&was_running);
    EXPECT_TRUE(was_running);
    EXPECT_TRUE(ProcEntry::SameNameIgnoringCase(path, upper.string())) << path;
    EXPECT_EQ(7, waiting.exit_code(5000));
  }
}

// The execution state through the real calls (this thread has no window, so
// no shutdown-block reason is set).
TEST(Win32UpdateInhibitorWineTest, TheExecutionStateIsSetAndCleared) {
  Win32UpdateInhibitor inhibitor(std::make_shared<Win32HostSystem>());
  EXPECT_TRUE(inhibitor.Acquire("Updating the mouse"));
  EXPECT_TRUE(inhibitor.held());
  inhibitor.Release();
  EXPECT_FALSE(inhibitor.held());
}

}  // namespace
}  // namespace mirel
