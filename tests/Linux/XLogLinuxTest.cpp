#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "log/LogBuffer.h"
#include "log/LogTestFixture.h"
#include "log/XLogPlatformSpecific.h"
#include "log/xLog.h"

namespace rodiz::test {
namespace {

using ::testing::Contains;

// /dev/full accepts the open and fails every write that reaches it: a full disk.
// In the synchronous mode the message that meets it finds it.
TEST_F(LogTest, FailingFileClosesItAndTheConsoleGoesOn) {
  start();
  LogBuffer::shutdown();
  clear_console();
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

// The log's folder is the user's own: below $XDG_STATE_HOME (default
// ~/.local/state), private, and never another user's folder or a link that
// someone planted to have the log written, or the purge delete, elsewhere.
TEST_F(LogTest, TheFolderIsPrivateAndBelowTheStateDirectory) {
  dir_.set_env("XDG_STATE_HOME", "");
  dir_.set_env("HOME", dir_.str());
  start();
  const auto folder = dir_.path() / ".local" / "state" / "xlog_orvantis";
  ASSERT_EQ(std::filesystem::path(XLogTesting::log_file_path()).parent_path(), folder);
  const auto perms = std::filesystem::status(folder).permissions() & std::filesystem::perms::all;
  EXPECT_EQ(perms, std::filesystem::perms::owner_all);
  XLogTesting::reset();

  // An existing folder that others could read is made private.
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_exec);
  start();
  EXPECT_FALSE(XLogTesting::log_file_path().empty());
  EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
}

TEST_F(LogTest, AFolderThatIsALinkOrAnotherUsersIsRefused) {
  namespace fs = std::filesystem;
  // Another place holding files that look like old logs of this program.
  const fs::path victim = dir_.path() / "victim";
  fs::create_directories(victim);
  const std::string old_log = "xlog_20200101_000000_1_logtests_rodiz.dblog";
  std::ofstream(victim / old_log) << "not the log's\n";
  fs::last_write_time(victim / old_log, fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
  std::ofstream(victim / "xlog_20990101_000000_2_x_rodiz.dblog") << "newest\n";

  struct Case {
    const char* name;
    std::function<void()> plant;
  };
  const Case cases[] = {
      {"a link to another folder", [&] { fs::create_directory_symlink(victim, log_folder()); }},
      {"another user's folder",
       [&] {
         fs::create_directory(log_folder());
         // Only the superuser can give a folder away; others test the link.
         ASSERT_EQ(::chown(log_folder().c_str(), 65534, 65534), 0);
       }},
  };
  for (const Case& c : cases) {
    if (std::string(c.name) == "another user's folder" && ::geteuid() != 0) continue;
    c.plant();
    XLogTesting::reset(key_);
    clear_console();
    xLogWrite("Device", LogError, "rodiz::Device::open", "kept out");
    EXPECT_TRUE(XLogTesting::log_file_path().empty()) << c.name;
    EXPECT_THAT(console(2), Contains(::testing::HasSubstr("ERROR - xLogInit Could not create log file "))) << c.name;
    XLogPlatformSpecific::purgeOldLogFiles("logtests", "rodiz");
    EXPECT_TRUE(fs::exists(victim / old_log)) << c.name;
    EXPECT_EQ(std::distance(fs::directory_iterator(victim), fs::directory_iterator()), 2) << c.name;
    XLogTesting::reset();
    fs::remove_all(log_folder());
  }
}

// The log thread's priority: a few steps below its creator, never raised,
// never below nice 19, and only for the thread that asks.
TEST(LogThreadPriorityTest, NiceFiveAboveTheThreadsOwnAtMostNineteen) {
  errno = 0;
  const int own = ::getpriority(PRIO_PROCESS, 0);
  ASSERT_FALSE(own == -1 && errno != 0);
  struct Case {
    int start;  // the thread's nice before; raising it needs no privilege
    int expected;
  };
  const Case cases[] = {
      {own, std::min(own + 5, 19)},
      {std::max(own, 16), 19},
      {19, 19},
  };
  for (const Case& c : cases) {
    int before = 0;
    int after = 0;
    std::thread([&] {
      (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), c.start);
      before = ::getpriority(PRIO_PROCESS, 0);
      XLogPlatformSpecific::lower_thread_priority();
      after = ::getpriority(PRIO_PROCESS, 0);
    }).join();
    EXPECT_EQ(c.start, before);
    EXPECT_EQ(c.expected, after) << "from nice " << c.start;
  }
  EXPECT_EQ(own, ::getpriority(PRIO_PROCESS, 0));  // the calling thread keeps its own
}

}  // namespace
}  // namespace rodiz::test
