#include "log/xLog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <latch>
#include <regex>
#include <thread>

#include "log/LogBuffer.h"
#include "log/LogTestFixture.h"
#include "log/XLogPlatformSpecific.h"

namespace rodiz::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr const char* kFunction = "rodiz::DeviceManager::addBus";

// gtest's own regular expressions are too simple on Windows.
bool matches(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern));
}

// The file lines that carry `text` in their message column.
std::vector<std::string> lines_with(const std::vector<std::string>& lines, const std::string& text) {
  std::vector<std::string> found;
  for (const std::string& line : lines) {
    if (line.find(text) != std::string::npos) found.push_back(line);
  }
  return found;
}

TEST_F(LogTest, WithoutKeyTheDefaultsApply) {
  start();
  EXPECT_TRUE(xLogWrite("DeviceManager", LogWarning, kFunction, "tagged warning"));
  EXPECT_TRUE(xLogWrite("DeviceManager", LogInfo, kFunction, "tagged info"));
  EXPECT_TRUE(xLogWrite("DeviceManager", LogDebug, kFunction, "tagged debug"));
  EXPECT_TRUE(xLogWrite("", LogDebug, kFunction, "untagged debug"));
  EXPECT_TRUE(xLogWrite("", LogVerbose, kFunction, "untagged verbose"));
  EXPECT_TRUE(xLogWrite("Device", LogError, "rodiz::Device::open", "tagged error"));

  // Standard output is off; the debugger output shows levels 0 to 3, tagged
  // lines above level 1 only for enabled tags, and there are none.
  EXPECT_THAT(console(1), IsEmpty());
  EXPECT_THAT(console(2),
              ElementsAre("WARNING - DeviceManager::addBus tagged warning\n",
                          "DEBUG - DeviceManager::addBus untagged debug\n", "ERROR - Device::open tagged error\n"));

  // The file takes every level, without tag filter.
  const auto lines = file_lines();
  for (const char* message :
       {"tagged warning", "tagged info", "tagged debug", "untagged debug", "untagged verbose", "tagged error"}) {
    const auto count = std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      const std::string suffix = std::string(" ") + message;
      return line.size() > suffix.size() && line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0;
    });
    EXPECT_EQ(count, 1) << message;
  }
  const auto columns_of_info = columns(lines_with(lines, "tagged info").at(0));
  ASSERT_EQ(columns_of_info.size(), 7u);
  EXPECT_PRED2(matches, columns_of_info[0], "[0-9]+\\.[0-9]{6}");
  EXPECT_PRED2(matches, columns_of_info[1], "[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}");
  EXPECT_EQ(columns_of_info[2], std::to_string(XLogPlatformSpecific::process_id()));
  EXPECT_PRED2(matches, columns_of_info[3], "<[0-9]{5,}>\\.rodiz\\.logtests");
  EXPECT_EQ(columns_of_info[4], "2");
  EXPECT_EQ(columns_of_info[5], "-DeviceManager-     ");
  EXPECT_EQ(columns_of_info[6], "DeviceManager::addBus tagged info");
}

TEST_F(LogTest, HeaderAndFileNameDescribeTheProcess) {
  start({}, std::string("-* +xlog -Device"));
  const std::string path = XLogTesting::log_file_path();
  ASSERT_FALSE(path.empty());
  const std::filesystem::path file(path);
  EXPECT_TRUE(std::filesystem::equivalent(file.parent_path(), log_folder()));
  EXPECT_PRED2(
      matches, file.filename().string(),
      "xlog_[0-9]{8}_[0-9]{6}_" + std::to_string(XLogPlatformSpecific::process_id()) + "_logtests_rodiz\\.dblog");

  std::vector<std::string> header;
  for (const std::string& line : file_lines()) {
    const auto parts = columns(line);
    if (parts.size() == 7 && parts[6].rfind("xLogInit ", 0) == 0) header.push_back(parts[6].substr(9));
  }
  ASSERT_GE(header.size(), 7u);
  EXPECT_EQ(header[0], "----------------------------------------");
  EXPECT_EQ(header[2], "procname=logtests namespace=rodiz logginglevel=1 loggingoutput=6 fileLevel=4");
  EXPECT_EQ(header[3], "defaultEnabled=1, defaultOutput=6, defaultLevel=1, defaultFileLevel=4");
  EXPECT_EQ(header[4], "logfile=" + path);
  EXPECT_THAT(header, Contains(HasSubstr("exe=")));
  EXPECT_EQ(header.back(), "tags= -* +xlog -Device");
}

TEST_F(LogTest, TagTokensChooseWhatTheConsoleShows) {
  struct Case {
    std::string tags;
    std::vector<std::string> shown;
  };
  const std::vector<Case> cases = {
      {"+DeviceManager", {"DeviceManager"}},
      {"-Device", {"DeviceManager", "xlog"}},
      {"-* +xlog", {"xlog"}},
      {"+DeviceManager +xlog", {"DeviceManager", "xlog"}},
      {"+DeviceManager -Device", {"DeviceManager", "xlog"}},
      {"", {}},
  };
  for (const Case& c : cases) {
    start({{"loggingoutput", 2}}, c.tags);
    for (const char* tag : {"DeviceManager", "Device", "xlog"}) {
      xLogWrite(tag, LogInfo, "rodiz::f", "%s", tag);
      xLogWrite(tag, LogDebug, "rodiz::f", "%s", tag);
      // At or below logginglevel no tag is filtered.
      xLogWrite(tag, LogWarning, "rodiz::f", "warning");
    }
    std::vector<std::string> expected;
    for (const char* tag : {"DeviceManager", "Device", "xlog"}) {
      for (const char* level : {"INFO", "DEBUG"}) {
        if (std::find(c.shown.begin(), c.shown.end(), tag) != c.shown.end()) {
          expected.push_back(std::string(level) + " - f " + tag + "\n");
        }
      }
      expected.push_back("WARNING - f warning\n");
    }
    EXPECT_EQ(console(2), expected) << "LogTags \"" << c.tags << "\"";
  }
}

TEST_F(LogTest, LoggingOffWritesNothingAnywhere) {
  start({{"logging", 0}});
  EXPECT_TRUE(xLogWrite("Device", LogError, "rodiz::Device::open", "error"));
  EXPECT_TRUE(xAssert(false, "false", "file.cpp", 1));
  EXPECT_THAT(console(1), IsEmpty());
  EXPECT_THAT(console(2), IsEmpty());
  EXPECT_TRUE(XLogTesting::log_file_path().empty());
  EXPECT_FALSE(std::filesystem::exists(log_folder()));
}

TEST_F(LogTest, InlineTagReplacesTheTagOnConsoleAndFile) {
  start({{"loggingoutput", 6}}, std::string("+api"));
  xLogWrite("DeviceManager", LogInfo, "rodiz::DeviceManager::devices", "-api- exit, returned %d devices", 2);
  EXPECT_THAT(console(2), ElementsAre("INFO - DeviceManager::devices -api- exit, returned 2 devices\n"));
  const auto line = lines_with(file_lines(), "returned 2 devices");
  ASSERT_EQ(line.size(), 1u);
  const auto parts = columns(line[0]);
  ASSERT_EQ(parts.size(), 7u);
  EXPECT_EQ(parts[5], "-api-               ");
  EXPECT_EQ(parts[6], "DeviceManager::devices exit, returned 2 devices");

  // Filtered as "api", not as the tag argument.
  start({{"loggingoutput", 2}}, std::string("+DeviceManager"));
  xLogWrite("DeviceManager", LogInfo, "rodiz::DeviceManager::devices", "-api- exit, returned %d devices", 2);
  EXPECT_THAT(console(2), IsEmpty());
}

TEST_F(LogTest, MultiLineMessageGivesOneFileLinePerLine) {
  start();
  xLogWrite("Device", LogDebug, kFunction, "first\nsecond\nthird\n");
  const auto lines = file_lines();
  auto first = std::find_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("addBus first") != std::string::npos; });
  ASSERT_NE(first, lines.end());
  ASSERT_GE(lines.end() - first, 3);
  const auto a = columns(first[0]);
  const auto b = columns(first[1]);
  const auto c = columns(first[2]);
  ASSERT_EQ(b.size(), 7u);
  ASSERT_EQ(c.size(), 7u);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(a[i], b[i]);
    EXPECT_EQ(a[i], c[i]);
  }
  EXPECT_EQ(b[6], "> second");
  EXPECT_EQ(c[6], "> third");
  // The final newline starts no further line.
  EXPECT_TRUE(first + 3 == lines.end() || first[3].find("third") == std::string::npos);
  EXPECT_EQ(lines_with(lines, "> ").size(), 2u);
}

TEST_F(LogTest, LongMessageIsCutWithAMarkerOnEveryOutput) {
  start();
  const std::string long_text(2000, 'x');
  xLogWrite("", LogError, "rodiz::A::b", "%s", long_text.c_str());
  const auto shown = console(2);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].size(), 1023u);
  EXPECT_EQ(shown[0].substr(0, 16), "ERROR - A::b xxx");
  EXPECT_EQ(shown[0].substr(1010), " (truncated)\n");

  const auto line = lines_with(file_lines(), "A::b xxx");
  ASSERT_EQ(line.size(), 1u);
  EXPECT_EQ(line[0].size(), 1022u);  // 1023 with its LF, and the CR before it
  EXPECT_EQ(line[0].substr(1010), " (truncated)");
}

TEST_F(LogTest, AssertLogsOnlyFailures) {
  start();
  const auto before = file_lines().size();
  EXPECT_FALSE(xAssert(true, "x > 1", "file.cpp", 12));
  EXPECT_THAT(console(2), IsEmpty());
  EXPECT_EQ(file_lines().size(), before);

  EXPECT_TRUE(xAssert(false, "x > 1", "file.cpp", 12));
  EXPECT_THAT(console(2), ElementsAre("ERROR - xAssert file.cpp(12): ASSERT FAILURE! Expression: x > 1\n"));
  EXPECT_EQ(file_lines().size(), before + 1);
}

TEST_F(LogTest, SynchronousModeShowsEveryTag) {
  start({{"loggingoutput", 6}});
  xLogWrite("Device", LogInfo, "rodiz::Device::open", "hidden");
  LogBuffer::shutdown();
  xLogWrite("Device", LogInfo, "rodiz::Device::open", "shown");
  LogBuffer::shutdown();
  EXPECT_THAT(console(2), Contains("INFO - Device::open shown\n"));
  EXPECT_THAT(console(2), Contains("INFO - LogBuffer::shutdown already shut down\n"));
  EXPECT_THAT(console(2), ::testing::Not(Contains("INFO - Device::open hidden\n")));
  // Each message is in the file when the call returns.
  EXPECT_EQ(lines_with(file_lines(), "Device::open shown").size(), 1u);
}

TEST_F(LogTest, ConcurrentFirstCallsInitialiseOnce) {
  XLogTesting::reset(key_);
  constexpr int kThreads = 4;
  std::latch go(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&go, i] {
      go.arrive_and_wait();
      xLogWrite("", LogDebug, "rodiz::f", "from thread %d", i);
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = file_lines();
  EXPECT_EQ(lines_with(lines, "----------------------------------------").size(), 1u);
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(lines_with(lines, "from thread " + std::to_string(i)).size(), 1u);
  EXPECT_EQ(console(2).size(), static_cast<std::size_t>(kThreads) + 3);  // header lines 3 to 5 pass the filter
}

TEST_F(LogTest, WithoutAFolderTheConsoleGoesOn) {
  // A temporary directory too long for the log's file names.
  const std::string long_directory = dir_.str() + std::string(300, 'd');
  for (const char* variable : {"XDG_STATE_HOME", "TMP", "TEMP"}) dir_.set_env(variable, long_directory);
  start();
  EXPECT_THAT(console(2), ::testing::IsEmpty());
  XLogTesting::reset(key_);
  xLogWrite("Device", LogError, "rodiz::Device::open", "first");
  EXPECT_THAT(console(2), Contains("ERROR - xLogInit Could not get path for log files\n"));
  EXPECT_THAT(console(2), Contains("ERROR - Device::open first\n"));
  EXPECT_TRUE(XLogTesting::log_file_path().empty());

  // A file where the folder should be.
  for (const char* variable : {"XDG_STATE_HOME", "TMP", "TEMP"}) dir_.set_env(variable, dir_.str());
  std::ofstream(log_folder()) << "in the way";
  XLogTesting::reset(key_);
  clear_console();
  xLogWrite("Device", LogError, "rodiz::Device::open", "second");
  EXPECT_THAT(console(2), Contains(HasSubstr("ERROR - xLogInit Could not create log file ")));
  EXPECT_THAT(console(2), Contains("ERROR - Device::open second\n"));
  EXPECT_TRUE(XLogTesting::log_file_path().empty());
}

TEST_F(LogTest, OldLogFilesOfThisExecutableArePurged) {
  start();
  const auto folder = log_folder();
  using std::chrono::hours;
  using std::chrono::minutes;
  const auto newest = std::chrono::time_point_cast<std::chrono::seconds>(std::filesystem::file_time_type::clock::now());
  struct File {
    std::string name;
    std::filesystem::file_time_type time;
    bool kept;
  };
  const std::vector<File> files = {
      {"xlog_20240110_000000_1_PurgeProc_rodiz.dblog", newest, true},
      {"xlog_20240103_000000_2_PurgeProc_rodiz.dblog", newest - hours(165) - minutes(36), true},  // 6.9 days
      {"xlog_20240102_000000_3_PurgeProc_rodiz.dblog", newest - hours(168), false},               // 7.0 days
      {"xlog_20230101_000000_4_PurgeProc_rodiz.dblog", newest - hours(24 * 300), false},
      {"xlog_20230101_000000_5_OtherProc_rodiz.dblog", newest - hours(24 * 300), true},
      {"xlog_20230101_000000_6_XPurgeProc_rodiz.dblog", newest - hours(24 * 300), true},
      {"xlog_20230101_000000_7_PurgeProc_other.dblog", newest - hours(24 * 300), true},
  };
  for (const File& file : files) {
    std::ofstream(folder / file.name) << "old\n";
    std::filesystem::last_write_time(folder / file.name, file.time);
  }
  XLogPlatformSpecific::purgeOldLogFiles("PurgeProc", "rodiz");
  for (const File& file : files) EXPECT_EQ(std::filesystem::exists(folder / file.name), file.kept) << file.name;
  const auto lines = file_lines();
  EXPECT_EQ(lines_with(lines, "Keeping 6 day old log file").size(), 1u);
  EXPECT_EQ(lines_with(lines, "Purging 7 day old log file").size(), 1u);
  EXPECT_EQ(lines_with(lines, "Purging 300 day old log file").size(), 1u);
}

}  // namespace
}  // namespace rodiz::test
