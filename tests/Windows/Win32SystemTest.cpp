#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "Windows/WideText.h"
#include "Windows/Win32System.h"
#include "runtime/RodizException.h"

namespace rodiz::test {
namespace {

// The message of the exception `call` throws, or "" when it throws none.
std::string thrown_by(const std::function<void()>& call, ErrorCode* code = nullptr) {
  try {
    call();
  } catch (const RodizException& e) {
    if (code != nullptr) *code = e.code;
    return e.message;
  }
  return "";
}

TEST(Win32SystemTest, TheRealHidLibraryAnswers) {
  Win32System system;
  GUID guid{};
  system.HidD_GetHidGuid(&guid);
  const GUID hid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
  EXPECT_TRUE(::IsEqualGUID(guid, hid));
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  // Not a HID handle: a failure, not an exception.
  EXPECT_FALSE(system.HidD_GetAttributes(::GetCurrentProcess(), &attributes));
}

TEST(Win32SystemTest, MissingLibrariesAndEntryPointsThrowTheirTexts) {
  Win32System::Modules missing;
  missing.hid = L"rodiz-no-such-hid.dll";
  missing.setupapi = L"rodiz-no-such-setupapi.dll";
  missing.cfgmgr32 = L"rodiz-no-such-cfgmgr32.dll";
  missing.bthprops = L"rodiz-no-such-bthprops.cpl";
  // Libraries that load but lack the functions.
  Win32System::Modules wrong;
  wrong.hid = wrong.setupapi = wrong.cfgmgr32 = wrong.bthprops = L"kernel32.dll";
  Win32System no_libraries(missing);
  Win32System no_functions(wrong);

  struct Case {
    std::function<void(IWin32System&)> call;
    const char* library_text;
    const char* function_text;
  } cases[] = {
      {[](IWin32System& s) { s.HidD_GetAttributes(nullptr, nullptr); }, "LoadLibrary hid.dll failed",
       "HidD_GetAttributes ProcAddress Missing"},
      {[](IWin32System& s) { s.HidP_GetCaps(nullptr, nullptr); }, "LoadLibrary hid.dll failed",
       "HidP_GetCaps ProcAddress Missing"},
      {[](IWin32System& s) { s.SetupDiGetClassDevsW(nullptr, nullptr, nullptr, 0); }, "LoadLibrary setupapi.dll failed",
       "SetupDiGetClassDevsW ProcAddress Missing"},
      {[](IWin32System& s) { s.CM_Get_Parent(nullptr, 0, 0); }, "LoadLibrary cfgmgr32.dll failed",
       "CM_Get_Parent ProcAddress Missing"},
      {[](IWin32System& s) { s.BluetoothGetDeviceInfo(nullptr, nullptr); }, "LoadLibrary bthprops.cpl failed",
       "BluetoothGetDeviceInfo ProcAddress Missing"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.function_text);
    ErrorCode code = NoError;
    EXPECT_EQ(thrown_by([&] { test.call(no_libraries); }, &code), test.library_text);
    EXPECT_EQ(code, SystemLibraryMissing);
    EXPECT_EQ(thrown_by([&] { test.call(no_functions); }, &code), test.function_text);
    EXPECT_EQ(code, SystemLibraryMissing);
  }
  EXPECT_EQ(thrown_by([&] { no_libraries.cfgmgr32_module(); }), "LoadLibrary cfgmgr32.dll failed");
  // Composed operations of a missing library throw too, rather than guess.
  EXPECT_EQ(thrown_by([&] { no_libraries.setupdi_parent("usb\\x"); }), "LoadLibrary setupapi.dll failed");
}

// The composed operations over a configuration manager that the test plays.
class ScriptedSystem : public Win32System {
 public:
  CONFIGRET CM_Get_Device_ID_Size(PULONG length, DEVINST node, ULONG) override {
    if (node != 7) return CR_NO_SUCH_DEVNODE;
    *length = static_cast<ULONG>(id.size());
    return CR_SUCCESS;
  }
  CONFIGRET CM_Get_Device_IDW(DEVINST, PWSTR buffer, ULONG length, ULONG) override {
    given_length = length;
    if (length < id.size() + 1) return CR_BUFFER_SMALL;
    std::memcpy(buffer, id.c_str(), (id.size() + 1) * sizeof(wchar_t));
    return CR_SUCCESS;
  }
  std::wstring id = L"USB\\VID_046D&PID_C087\\5&1A2B";
  ULONG given_length = 0;
};

TEST(Win32SystemTest, InstanceIdsAreReadWithRoomForTheirEndAndLowerCased) {
  ScriptedSystem system;
  EXPECT_EQ(system.setupdi_instance_from_devnode(7), "usb\\vid_046d&pid_c087\\5&1a2b");
  EXPECT_EQ(system.given_length, system.id.size() + 1);
  EXPECT_EQ(system.setupdi_instance_from_devnode(8), "");  // a failing step: empty, logged
  EXPECT_EQ(system.setupdi_parent(""), "");
  EXPECT_EQ(system.setupdi_instance_from_path(""), "");
  EXPECT_EQ(system.setupdi_path_from_instance("", GUID{}), "");
}

TEST(Win32SystemTest, UnknownInstancesAndPathsGiveEmptyResults) {
  Win32System system;
  EXPECT_EQ(system.setupdi_parent("root\\rodiz-no-such-device\\0000"), "");
  EXPECT_EQ(system.setupdi_instance_from_path("\\\\?\\hid#rodiz-no-such-device#{0}"), "");
}

TEST(WideTextTest, ConvertsAndLowerCasesWithinItsBounds) {
  EXPECT_EQ(WideText::lower_utf8(L"\\\\?\\HID#VID_046D"), "\\\\?\\hid#vid_046d");
  EXPECT_EQ(WideText::lower_utf8(L"M\u00dcSE"), "m\xc3\x9cse");  // only ASCII letters change
  const wchar_t unterminated[3] = {L'A', L'B', L'C'};
  EXPECT_EQ(WideText::lower_utf8(unterminated, 2), "ab");
  const wchar_t lone_surrogate[2] = {0xD800, 0};
  EXPECT_EQ(WideText::lower_utf8(lone_surrogate, 2), "");
  EXPECT_EQ(WideText::lower_utf8(nullptr, 5), "");
  EXPECT_EQ(WideText::widen("a\xc3\xbc"), L"a\u00fc");
  EXPECT_EQ(WideText::widen("\xff"), L"");
}

}  // namespace
}  // namespace rodiz::test
