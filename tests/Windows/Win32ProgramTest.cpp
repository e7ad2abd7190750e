#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <shlobj.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/res/resource.h"

namespace mirel {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const wchar_t kSettingsKey[] = L"Software\\Orvantis\\Mirel Firmware Update v7";

// A program's path as Windows sees it: the build hands over the path of the
// build machine, which Wine shows on drive Z.
std::wstring windows_path(const std::string& built) {
  std::wstring path = built.rfind('/', 0) == 0 ? L"Z:" : L"";
  for (char c : built) path += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
  return path;
}

// The program as it ships.
std::wstring program_path() { return windows_path(MIREL_PROGRAM); }
// The same program built around the first packets of each image, so that a
// whole update takes seconds under Wine.
std::wstring short_image_program_path() { return windows_path(MIREL_SHORT_IMAGE_PROGRAM); }

std::filesystem::path data_folder() {
  PWSTR local = nullptr;
  std::filesystem::path folder;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local))) {
    folder = std::filesystem::path(local) / L"Orvantis" / L"Mirel Firmware Update";
  }
  ::CoTaskMemFree(local);
  return folder;
}

bool wait_for(const std::function<bool()>& done, milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return true;
}

// The program in a process of its own, ended when the test ends. Its output
// goes to a pipe that the test reads when it has ended.
class Program {
 public:
  Program(const std::wstring& path, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE write = nullptr;
    if (!::CreatePipe(&read_, &write, &inherit, 1 << 16)) return;
    ::SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = write;
    startup.hStdError = write;
    std::wstring command = L"\"" + path + L"\" " + arguments;
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
      process_ = info.hProcess;
      pid_ = info.dwProcessId;
      ::CloseHandle(info.hThread);
    }
    ::CloseHandle(write);
    reader_ = std::thread([this] {
      char buffer[4096];
      DWORD got = 0;
      while (::ReadFile(read_, buffer, sizeof buffer, &got, nullptr) && got > 0) output_.append(buffer, got);
    });
  }
  ~Program() {
    if (process_ != nullptr) {
      if (::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process_, 99);
        ::WaitForSingleObject(process_, 10000);
      }
      ::CloseHandle(process_);
    }
    if (reader_.joinable()) reader_.join();
    if (read_ != nullptr) ::CloseHandle(read_);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool started() const { return process_ != nullptr; }
  // The program's visible top-level window, or null.
  HWND window() const {
    struct Search {
      DWORD pid;
      HWND found;
    } search{pid_, nullptr};
    ::EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
          auto* s = reinterpret_cast<Search*>(data);
          DWORD owner = 0;
          ::GetWindowThreadProcessId(window, &owner);
          if (owner != s->pid || !::IsWindowVisible(window)) return TRUE;
          s->found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }
  // The exit status, or -1 while it runs on after `limit`.
  long wait(milliseconds limit) {
    if (::WaitForSingleObject(process_, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    ::GetExitCodeProcess(process_, &code);
    if (reader_.joinable()) reader_.join();
    return static_cast<long>(code);
  }
  // Everything it wrote, once it has ended.
  const std::string& output() const { return output_; }

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  HANDLE read_ = nullptr;
  std::thread reader_;
  std::string output_;
};

// A control of another process: its text needs WM_GETTEXT, which the
// system carries across; GetWindowText would not ask it.
std::wstring text_of(HWND control) {
  wchar_t buffer[512] = {};
  DWORD_PTR copied = 0;
  ::SendMessageTimeoutW(control, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, &copied);
  return std::wstring(buffer, copied);
}

bool shown(HWND control) { return control != nullptr && (::GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0; }

void click(HWND button) {
  DWORD_PTR ignored = 0;
  ::SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
}

class Win32ProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    data_ = data_folder();
    data_existed_ = !data_.empty() && std::filesystem::exists(data_);
  }
  void TearDown() override {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    std::error_code ignored;
    if (!data_existed_ && !data_.empty()) std::filesystem::remove_all(data_, ignored);
  }

 private:
  std::filesystem::path data_;
  bool data_existed_ = false;
};

// Started with no view option, the program shows its dialog; Start pressed
// in it updates the simulated mouse, Close ends the program with status 0.
TEST_F(Win32ProgramTest, TheDialogUpdatesTheSimulatedMouseWithStartAndClose) {
  Program program(short_image_program_path(), L"--simulate --sim-latency-us=0");
  ASSERT_TRUE(program.started());
  HWND window = nullptr;
  ASSERT_TRUE(wait_for([&] { return (window = program.window()) != nullptr; }, seconds(30)));
  EXPECT_EQ(text_of(window), L"Orvantis Mirel VELOXA Wireless Gaming Mouse Update Tool v14.2.7");
  const HWND start = ::GetDlgItem(window, IDC_START);
  const HWND close = ::GetDlgItem(window, IDC_CLOSE);
  const HWND status = ::GetDlgItem(window, IDC_STATUS);
  const HWND progress = ::GetDlgItem(window, IDC_PROGRESS);
  ASSERT_TRUE(wait_for([&] { return shown(start); }, seconds(30)));
  EXPECT_EQ(text_of(status), L"Click 'Start' to begin the firmware update");
  EXPECT_FALSE(shown(close));

  click(start);
  EXPECT_FALSE(shown(start));
  EXPECT_TRUE(shown(progress));
  // (Closing mid-update is refused only while the mouse is held, which a
  // test from outside cannot time; win32_dialog_tests check it in process.)
  EXPECT_TRUE(wait_for([&] { return ::SendMessageW(progress, PBM_GETPOS, 0, 0) > 0; }, seconds(30)));
  ASSERT_TRUE(wait_for([&] { return shown(close); }, seconds(120)));
  EXPECT_EQ(text_of(status), L"You have successfully updated the firmware");
  click(close);
  EXPECT_EQ(program.wait(seconds(30)), 0) << program.output();
  // A window program writes nothing unless asked to use the console.
  EXPECT_EQ(program.output(), "");
}

// --console keeps the update in the console, here the pipe the program was
// given, and shows no window.
TEST_F(Win32ProgramTest, WithConsoleTheUpdateIsWrittenAndNoWindowShows) {
  Program program(program_path(), L"--simulate --sim-latency-us=0 --sim-version=14.2.7 --console --yes");
  ASSERT_TRUE(program.started());
  bool windowSeen = false;
  long status = -1;
  ASSERT_TRUE(wait_for(
      [&] {
        windowSeen = windowSeen || program.window() != nullptr;
        return (status = program.wait(milliseconds(0))) != -1;
      },
      seconds(60)));
  EXPECT_EQ(status, 4);  // already up to date
  EXPECT_FALSE(windowSeen);
  EXPECT_NE(program.output().find("No update is needed."), std::string::npos) << program.output();
}

// A window program started from a console has none of its own: --console
// and --version write into the console of the process that started it.
TEST_F(Win32ProgramTest, ItWritesIntoTheConsoleItWasStartedFrom) {
  // A console of the test's own to start the program from; the test's
  // output stays where it goes (a pipe).
  ::FreeConsole();
  ASSERT_TRUE(::AllocConsole());
  const HANDLE screen = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(screen, INVALID_HANDLE_VALUE);
  struct Case {
    const wchar_t* arguments;
    const wchar_t* expected;
    DWORD status;
  };
  const Case cases[] = {
      {L"--version", L" 14.2.7 (Mirel VELOXA Wireless Gaming Mouse firmware update)", 0},
      {L"--simulate --sim-latency-us=0 --sim-version=14.2.7 --console --yes", L"No update is needed.", 4},
  };
  for (const Case& c : cases) {
    std::wstring command = L"\"" + program_path() + L"\" " + c.arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(
        ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    ::CloseHandle(info.hThread);
    const bool ended = ::WaitForSingleObject(info.hProcess, 60000) == WAIT_OBJECT_0;
    if (!ended) ::TerminateProcess(info.hProcess, 99);
    DWORD code = 99;
    ::GetExitCodeProcess(info.hProcess, &code);
    ::CloseHandle(info.hProcess);
    EXPECT_TRUE(ended);
    EXPECT_EQ(code, c.status) << c.arguments;

    CONSOLE_SCREEN_BUFFER_INFO buffer{};
    ASSERT_TRUE(::GetConsoleScreenBufferInfo(screen, &buffer));
    std::wstring shown(static_cast<std::size_t>(buffer.dwSize.X) * static_cast<std::size_t>(buffer.dwSize.Y), L' ');
    DWORD read = 0;
    ::ReadConsoleOutputCharacterW(screen, shown.data(), static_cast<DWORD>(shown.size()), COORD{0, 0}, &read);
    EXPECT_NE(shown.find(c.expected), std::wstring::npos) << c.arguments;
  }
  ::CloseHandle(screen);
  ::FreeConsole();
}

// The executable is a window program with the manifest that asks for common
// controls 6 and per-monitor DPI awareness, and a version resource.
TEST_F(Win32ProgramTest, TheExecutableIsAWindowProgramWithItsManifestAndVersion) {
  std::ifstream file(std::filesystem::path(program_path()), std::ios::binary);
  ASSERT_TRUE(file);
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), sizeof(IMAGE_DOS_HEADER));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
  ASSERT_LT(static_cast<std::size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64), bytes.size());
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(bytes.data() + dos->e_lfanew);
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

  const HMODULE image =
      ::LoadLibraryExW(program_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr);
  const HRSRC found = ::FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr);
  const auto* data = static_cast<const char*>(::LockResource(::LoadResource(image, found)));
  const std::string manifest(data, ::SizeofResource(image, found));
  ::FreeLibrary(image);
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(manifest.find("PerMonitorV2"), std::string::npos);
  EXPECT_NE(manifest.find("true/pm"), std::string::npos);

  DWORD ignored = 0;
  std::vector<char> version(::GetFileVersionInfoSizeW(program_path().c_str(), &ignored));
  ASSERT_FALSE(version.empty());
  ASSERT_TRUE(::GetFileVersionInfoW(program_path().c_str(), 0, static_cast<DWORD>(version.size()), version.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(version.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, (14u << 16) | 2u);
  EXPECT_EQ(fixed->dwFileVersionLS, 7u << 16);
  wchar_t* product = nullptr;
  ASSERT_TRUE(::VerQueryValueW(version.data(), L"\\StringFileInfo\\040904b0\\ProductVersion",
                               reinterpret_cast<void**>(&product), &length));
  EXPECT_EQ(std::wstring(product), L"14.2.7");
}

}  // namespace
}  // namespace mirel
