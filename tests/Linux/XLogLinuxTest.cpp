#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "log/LogBuffer.h"
#include "log/LogTestFixture.h"
#include "log/XLogPlatformSpecific.h"
#include "log/xLog.h"

namespace rodiz::test {
namespace {

using ::testing::Contains;
namespace fs = std::filesystem;

constexpr std::uint64_t kMB = XLogPlatformSpecific::kBytesPerMB;

// A file of `bytes` that takes no disk (sparse), last written `age` ago.
void make_file(const fs::path& path, std::uint64_t bytes, std::chrono::minutes age) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << path;
  EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(bytes)), 0);
  ::close(fd);
  fs::last_write_time(path, fs::file_time_type::clock::now() - age);
}

std::vector<std::string> lines_with(const std::vector<std::string>& lines, const std::string& text) {
  std::vector<std::string> found;
  for (const std::string& line : lines) {
    if (line.find(text) != std::string::npos) found.push_back(line);
  }
  return found;
}

// An open file with a shared lock, as a running log holds its own file.
class HeldFile {
 public:
  explicit HeldFile(const fs::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    EXPECT_EQ(::flock(fd_, LOCK_SH | LOCK_NB), 0) << path;
  }
  ~HeldFile() { ::close(fd_); }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

 private:
  int fd_;
};

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

std::string cap_log(int number) { return "xlog_20260101_000000_" + std::to_string(number) + "_CapProc_rodiz.dblog"; }

TEST_F(LogTest, TheFolderIsKeptUnderItsSizeCap) {
  start();
  using std::chrono::minutes;
  enum Kind { kPlain, kLinkToOutside, kHeldByAnotherLog };
  struct File {
    std::string name;
    std::uint64_t megabytes;
    minutes age;
    bool kept;
    Kind kind = kPlain;
  };
  struct Case {
    const char* what;
    std::vector<File> files;  // the last is the running process's
  };
  const std::string current = cap_log(99);
  const Case cases[] = {
      {"over the cap the oldest go until it is under",
       {{cap_log(1), 40, minutes(300), false},
        {cap_log(2), 40, minutes(200), true},
        {cap_log(3), 40, minutes(100), true},
        {current, 10, minutes(0), true}}},
      {"at the cap nothing goes", {{cap_log(1), 60, minutes(300), true}, {current, 40, minutes(0), true}}},
      {"the current file stays even when it alone is over the cap",
       {{cap_log(1), 1, minutes(300), false}, {current, 150, minutes(0), true}}},
      {"other files neither count nor go",
       {{"huge.bin", 5000, minutes(900), true},
        {"xlog_20260101_000000_5_OtherProc_rodiz.dblog", 500, minutes(900), true},
        {cap_log(1), 60, minutes(300), true},
        {current, 30, minutes(0), true}}},
      {"a link is neither followed nor counted nor deleted",
       {{cap_log(1), 500, minutes(900), true, kLinkToOutside},
        {cap_log(2), 60, minutes(300), true},
        {current, 30, minutes(0), true}}},
      {"a file another log writes stays and the next oldest goes",
       {{cap_log(1), 80, minutes(300), true, kHeldByAnotherLog},
        {cap_log(2), 30, minutes(200), false},
        {current, 10, minutes(0), true}}},
  };
  const fs::path outside = dir_.path() / "outside.bin";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::unique_ptr<HeldFile>> held;
    for (const File& file : c.files) {
      const fs::path path = log_folder() / file.name;
      if (file.kind == kLinkToOutside) {
        make_file(outside, file.megabytes * kMB, file.age);
        fs::create_symlink(outside, path);
      } else {
        make_file(path, file.megabytes * kMB, file.age);
      }
      if (file.kind == kHeldByAnotherLog) held.push_back(std::make_unique<HeldFile>(path));
    }
    const std::size_t purged_before = lines_with(file_lines(), "Purging").size();

    XLogPlatformSpecific::capLogFolder("CapProc", "rodiz", 100 * kMB, current);

    std::size_t deleted = 0;
    for (const File& file : c.files) {
      EXPECT_EQ(fs::exists(fs::symlink_status(log_folder() / file.name)), file.kept) << file.name;
      if (!file.kept) ++deleted;
    }
    EXPECT_TRUE(!fs::exists(outside) || fs::file_size(outside) == 500 * kMB);
    const auto lines = file_lines();
    EXPECT_EQ(lines_with(lines, "Purging").size() - purged_before, deleted);
    for (const File& file : c.files) {
      if (!file.kept) {
        EXPECT_EQ(lines_with(lines, "Purging " + std::to_string(file.megabytes * kMB) + " byte log file " +
                                        (log_folder() / file.name).string() + " over the 100 MB cap")
                      .size(),
                  1u);
      }
      if (file.kind == kHeldByAnotherLog) {
        EXPECT_EQ(lines_with(lines, "DeleteFile failed on " + (log_folder() / file.name).string() +
                                        ", err=" + std::to_string(EBUSY))
                      .size(),
                  1u);
      }
      fs::remove(log_folder() / file.name);
    }
    fs::remove(outside);
  }
}

// What the purge meets between listing a file and deleting it.
TEST_F(LogTest, DeletingALogFile) {
  start();
  const fs::path outside = dir_.path() / "outside.bin";
  make_file(outside, 1, std::chrono::minutes(0));
  const fs::path link = log_folder() / cap_log(1);
  fs::create_symlink(outside, link);
  const fs::path held_path = log_folder() / cap_log(2);
  make_file(held_path, 1, std::chrono::minutes(0));
  HeldFile held(held_path);
  const fs::path plain = log_folder() / cap_log(3);
  make_file(plain, 1, std::chrono::minutes(0));

  struct Case {
    fs::path path;
    bool deleted;
    bool vanished;
  };
  const Case cases[] = {
      {log_folder() / cap_log(4), false, true},  // gone since it was listed
      {link, false, false},
      {held_path, false, false},
      {plain, true, false},
  };
  for (const Case& c : cases) {
    unsigned error = 0;
    EXPECT_EQ(XLogPlatformSpecific::delete_file(c.path.string(), &error), c.deleted) << c.path;
    if (!c.deleted) {
      EXPECT_EQ(XLogPlatformSpecific::file_vanished(error), c.vanished) << c.path << " " << error;
    }
  }
  EXPECT_TRUE(fs::exists(fs::symlink_status(link)));
  EXPECT_TRUE(fs::exists(outside));
  EXPECT_TRUE(fs::exists(held_path));
  EXPECT_FALSE(fs::exists(plain));
  // The log's own file is held while it is open.
  unsigned error = 0;
  EXPECT_FALSE(XLogPlatformSpecific::delete_file(XLogTesting::log_file_path(), &error));
  EXPECT_EQ(error, static_cast<unsigned>(EBUSY));
}

// Both rules at the start of the log, the cap read from "logFolderCapMB".
TEST_F(LogTest, TheStartPurgesOldFilesAndKeepsTheCap) {
  using std::chrono::minutes;
  // File times are taken from a coarse clock: whole days need a margin.
  const minutes day(24 * 60);
  const minutes hour(60);
  struct File {
    std::uint64_t bytes;
    minutes age;
    bool kept;
    const char* line;  // the purge's line for it
  };
  struct Case {
    const char* what;
    std::map<std::string, std::uint32_t> settings;
    std::vector<File> files;
  };
  const Case cases[] = {
      {"a cap of 1 MB",
       {{"logFolderCapMB", 1}},
       {{1024, 8 * day + hour, false, "Purging 8 day old log file "},
        {2 * kMB, minutes(120), false, "Purging 2097152 byte log file "},
        {kMB / 2, minutes(60), true, nullptr}}},
      {"the default of 100 MB",
       {},
       {{1024, 10 * day + hour, false, "Purging 10 day old log file "},
        {101 * kMB, minutes(60), false, "Purging 105906176 byte log file "}}},
      {"no cap", {{"logFolderCapMB", 0}}, {{1024, 8 * day, false, nullptr}, {2000 * kMB, minutes(60), true, nullptr}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::create_directories(log_folder());
    fs::permissions(log_folder(), fs::perms::owner_all);
    std::vector<fs::path> paths;
    for (const File& file : c.files) {
      paths.push_back(log_folder() /
                      ("xlog_20260101_00000" + std::to_string(paths.size()) + "_7_logtests_rodiz.dblog"));
      make_file(paths.back(), file.bytes, file.age);
    }
    start(c.settings);
    const auto lines = file_lines();
    for (std::size_t i = 0; i < c.files.size(); ++i) {
      EXPECT_EQ(fs::exists(paths[i]), c.files[i].kept) << paths[i];
      if (c.files[i].line != nullptr) {
        EXPECT_EQ(lines_with(lines, c.files[i].line + paths[i].string()).size(), 1u) << paths[i];
      }
    }
    EXPECT_TRUE(fs::exists(XLogTesting::log_file_path()));
    XLogTesting::reset();
    SettingsKey::remove(key_);
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
