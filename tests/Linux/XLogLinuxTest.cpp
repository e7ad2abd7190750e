#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "log/LogTestFixture.h"
#include "log/xLog.h"

namespace rodiz::test {
namespace {

using ::testing::Contains;

// /dev/full accepts the open and fails every write that reaches it: a full disk.
TEST_F(LogTest, FailingFileClosesItAndTheConsoleGoesOn) {
  start();
  ASSERT_TRUE(XLogTesting::replace_log_file("/dev/full"));
  EXPECT_TRUE(xLogWrite("Device", LogError, "rodiz::Device::open", "lost on disk"));
  const auto shown = console(2);
  EXPECT_THAT(shown,
              Contains("ERROR - LogFpErrorAndClose fflush failed in insert, errno=" + std::to_string(ENOSPC) + "\n"));
  EXPECT_THAT(shown, Contains("ERROR - Device::open lost on disk\n"));
  EXPECT_TRUE(XLogTesting::log_file_path().empty());

  clear_console();
  EXPECT_TRUE(xLogWrite("Device", LogError, "rodiz::Device::open", "still shown"));
  EXPECT_THAT(console(2), ::testing::ElementsAre("ERROR - Device::open still shown\n"));
}

// The log's own key on Linux: a file below $XDG_CONFIG_HOME named after the
// executable. A damaged line costs that value only, and the store's warning,
// met while the log reads its settings, is logged once the log runs.
TEST_F(LogTest, SettingsComeFromTheExecutablesKeyFile) {
  const auto folder = dir_.path() / "config" / "SOFTWARE" / "Orvantis" / "xLog" / "rodiz";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "log_tests.reg") << "Windows Registry Editor Version 5.00\n\n"
                                             "[HKEY_CURRENT_USER\\SOFTWARE\\Orvantis\\xLog\\rodiz\\log_tests]\n"
                                             "\"loggingoutput\"=dword:00000003\n"
                                             "\"logTagLevel\"=dword:zz\n"
                                             "\"LogTags\"=\"+Device\"\n";
  XLogTesting::reset();
  xLogWrite("Device", LogDebug, "rodiz::Device::open", "shown");
  xLogWrite("Other", LogDebug, "rodiz::Other::open", "hidden");
  const auto shown = console(2);
  EXPECT_THAT(shown, Contains("DEBUG - Device::open shown\n"));
  EXPECT_THAT(shown, ::testing::Not(Contains("DEBUG - Other::open hidden\n")));
  EXPECT_THAT(shown, Contains(::testing::HasSubstr("line 5: a line that cannot be read is ignored")));
  EXPECT_EQ(console(1), console(2));
  EXPECT_TRUE(XLogTesting::log_file_path().empty());
}

}  // namespace
}  // namespace rodiz::test
