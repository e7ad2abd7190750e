#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/AppTrace.h"
#include "support/ScopedTempDir.h"

namespace mirel {
namespace {

using rodiz::test::ScopedTempDir;

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The file's text after its byte order mark, as UTF-16 units.
std::u16string Utf16Body(const std::vector<std::uint8_t>& bytes) {
  std::u16string text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
  }
  return text;
}

// The line end of this platform's log file.
#if defined(_WIN32)
constexpr const char* kFileNewline = "\r\n";
#else
constexpr const char* kFileNewline = "\n";
#endif

// Only for checking ASCII parts with a regular expression.
std::string Narrow(const std::u16string& text) {
  std::string out;
  for (const char16_t unit : text) out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return out;
}

class AppTraceTest : public testing::Test {
 protected:
  void SetUp() override {
    AppTrace::SetDebugOutputForTesting([this](const std::string& line) { lines_.push_back(line); });
    AppTrace::SetClockForTesting([this] { return seconds_; });
  }
  void TearDown() override {
    AppTrace::CloseLogFile();
    AppTrace::SetDebugOutputForTesting(nullptr);
    AppTrace::SetClockForTesting(nullptr);
  }

  std::vector<std::string> lines_;
  double seconds_ = 12.345;
};

TEST_F(AppTraceTest, LineStartsWithSecondsSinceStart) {
  Trace("state %d to %d\n", 3, 4);
  seconds_ = 0.0004;
  AppTrace::Trace("%s", "x");
  ASSERT_EQ(lines_.size(), 2U);
  EXPECT_EQ(lines_[0], "00012.345: state 3 to 4\n");
  EXPECT_EQ(lines_[1], "00000.000: x");
}

TEST_F(AppTraceTest, LongMessagesAreCutAt1012Characters) {
  Trace("%s", std::string(5000, 'x').c_str());
  ASSERT_EQ(lines_.size(), 1U);
  EXPECT_EQ(lines_[0], "00012.345: " + std::string(1012, 'x'));

  // Characters, not bytes: 1012 two-byte characters all stay.
  std::string umlauts;
  for (int i = 0; i < 1020; ++i) umlauts += "\xC3\xBC";
  Trace("%s", umlauts.c_str());
  EXPECT_EQ(lines_[1].size(), 11U + 2 * 1012);

  // A character outside the basic plane is not split at the cut.
  Trace("%s\xF0\x9F\x98\x80tail", std::string(1011, 'a').c_str());
  EXPECT_EQ(lines_[2], "00012.345: " + std::string(1011, 'a'));
}

TEST_F(AppTraceTest, BadUtf8BecomesReplacementCharacters) {
  Trace(
      "a\xFF"
      "b\xC3");
  ASSERT_EQ(lines_.size(), 1U);
  EXPECT_EQ(lines_[0],
            "00012.345: a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
}

// Windows: every file. Linux: a file begun in UTF-16 (by the Windows
// program, or an earlier version) goes on in UTF-16.
TEST_F(AppTraceTest, Utf16LogFileGetsOneByteOrderMarkAndCrLfAcrossRuns) {
  ScopedTempDir dir;
  const auto path = dir.path() / AppTrace::kLogFileName;
#if !defined(_WIN32)
  std::ofstream(path, std::ios::binary) << "\xFF\xFE";
#endif

  ASSERT_TRUE(AppTrace::OpenLogFile(path));
  EXPECT_TRUE(AppTrace::IsLogFileOpen());
  Trace(
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC\n");
  AppTrace::CloseLogFile();
  Trace("not in the file\n");
  ASSERT_TRUE(AppTrace::OpenLogFile(path));  // the next run
  seconds_ = 1.5;
  Trace("second run\n");
  AppTrace::CloseLogFile();

  const std::vector<std::uint8_t> bytes = ReadBytes(path);
  ASSERT_GE(bytes.size(), 2U);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0xFE);
  const std::u16string text = Utf16Body(bytes);
  EXPECT_EQ(text.find(u'\uFEFF'), std::u16string::npos) << "a second byte order mark";
  EXPECT_NE(text.find(u"00012.345: Gr\u00FC\u00DFe \u20AC\r\n"), std::u16string::npos);
  EXPECT_NE(text.find(u"00001.500: second run\r\n"), std::u16string::npos);
  EXPECT_EQ(text.find(u"not in the file"), std::u16string::npos);

  const std::regex header(R"(\d{5}\.\d{3}: \r\n\r\n\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\]\r\n\r\n)");
  const std::string narrow = Narrow(text);
  EXPECT_EQ(std::distance(std::sregex_iterator(narrow.begin(), narrow.end(), header), std::sregex_iterator()), 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\n') {
      EXPECT_TRUE(i > 0 && text[i - 1] == u'\r') << "bare line feed at " << i;
    }
  }
  // The header also reaches the debugger output, as any trace line does.
  EXPECT_EQ(lines_.front().substr(0, 13), "00012.345: \n\n");
}

#if !defined(_WIN32)
// Linux: UTF-8 without a byte order mark, plain line feeds; the message's
// limit counts the same characters as in UTF-16 and cuts none in half.
TEST_F(AppTraceTest, LogFileIsUtf8WithLineFeeds) {
  ScopedTempDir dir;
  const auto path = dir.path() / AppTrace::kLogFileName;
  ASSERT_TRUE(AppTrace::OpenLogFile(path));
  const std::string text =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE6\x9B\xB4\xE6\x96\xB0 \xF0\x9F\x98\x80";  // German, CJK, outside the basic plane
  Trace("%s\n", text.c_str());
  std::string cjk;
  for (int i = 0; i < 1020; ++i) cjk += "\xE6\x96\xB0";
  Trace("%s", cjk.c_str());
  Trace("%s\xF0\x9F\x98\x80tail\n", std::string(1011, 'a').c_str());
  AppTrace::CloseLogFile();
  ASSERT_TRUE(AppTrace::OpenLogFile(path));  // the next run appends, no mark
  Trace("second run\n");
  AppTrace::CloseLogFile();

  const std::vector<std::uint8_t> bytes = ReadBytes(path);
  const std::string file(bytes.begin(), bytes.end());
  const std::regex header(R"(00012\.345: \n\n\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\]\n\n)");
  std::smatch first;
  ASSERT_TRUE(std::regex_search(file, first, header));
  EXPECT_EQ(first.position(0), 0) << "something before the first header";
  const std::string body = first.suffix();
  const std::string expected = "00012.345: " + text + "\n" +  //
                               "00012.345: " + cjk.substr(0, 3 * 1012) + "00012.345: " + std::string(1011, 'a') +
                               "00012.345: \n";
  EXPECT_EQ(body.substr(0, expected.size()), expected);
  EXPECT_EQ(std::distance(std::sregex_iterator(file.begin(), file.end(), header), std::sregex_iterator()), 2);
  EXPECT_EQ(file.substr(file.size() - 22), "00012.345: second run\n");
  EXPECT_EQ(file.find('\r'), std::string::npos);
}
#endif

TEST_F(AppTraceTest, UnopenableLogFileMeansNoLogFile) {
  ScopedTempDir dir;
  EXPECT_FALSE(AppTrace::OpenLogFile(dir.path()));  // a folder
  EXPECT_FALSE(AppTrace::OpenLogFile(dir.path() / "missing" / "x.log"));
  EXPECT_FALSE(AppTrace::OpenLogFile(std::filesystem::path()));
  EXPECT_FALSE(AppTrace::IsLogFileOpen());
  Trace("still traced\n");
  EXPECT_EQ(lines_.back(), "00012.345: still traced\n");
}

TEST_F(AppTraceTest, LinesFromSeveralThreadsStayWhole) {
  ScopedTempDir dir;
  const auto path = dir.path() / "threads.log";
  ASSERT_TRUE(AppTrace::OpenLogFile(path));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      const std::string payload(40, static_cast<char>('a' + t));
      for (int i = 0; i < 100; ++i) Trace("%d %s\n", t, payload.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  AppTrace::CloseLogFile();

#if defined(_WIN32)
  const std::string text = Narrow(Utf16Body(ReadBytes(path)));
#else
  const std::vector<std::uint8_t> bytes = ReadBytes(path);
  const std::string text(bytes.begin(), bytes.end());
#endif
  const std::regex line(std::string(R"(00012\.345: (\d) ([a-d])\2{39})") + kFileNewline);
  int whole = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it) {
    EXPECT_EQ((*it)[2].str()[0], 'a' + std::stoi((*it)[1].str()));
    ++whole;
  }
  EXPECT_EQ(whole, 400);
  EXPECT_EQ(lines_.size(), 401U);  // with the header
}

#if defined(_WIN32)
TEST_F(AppTraceTest, DefaultLogFileIsInTheDocumentsFolder) {
  const auto path = AppTrace::DefaultLogFilePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.filename(), AppTrace::kLogFileName);
  EXPECT_TRUE(path.is_absolute());
}
#else
class DocumentsFolderTest : public AppTraceTest {
 protected:
  void SetUp() override {
    AppTraceTest::SetUp();
    home_.set_env("HOME", home_.str());
    config_.set_env("XDG_CONFIG_HOME", config_.str());
  }
  void WriteUserDirs(const std::string& content) { std::ofstream(config_.path() / "user-dirs.dirs") << content; }

  ScopedTempDir home_;
  ScopedTempDir config_;
};

TEST_F(DocumentsFolderTest, FollowsTheDesktopsDocumentsEntry) {
  WriteUserDirs("# written by the desktop\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
  EXPECT_EQ(AppTrace::DefaultLogFilePath(), home_.path() / "Dokumente" / AppTrace::kLogFileName);

  WriteUserDirs("XDG_DOCUMENTS_DIR = \"" + home_.str() + "/My \\\"Files\\\"\"\n");
  EXPECT_EQ(AppTrace::DefaultLogFilePath(), home_.path() / "My \"Files\"" / AppTrace::kLogFileName);

  // Neither relative to $HOME nor absolute: ignored, as the desktop does.
  WriteUserDirs("XDG_DOCUMENTS_DIR=\"Documents2\"\n");
  EXPECT_EQ(AppTrace::DefaultLogFilePath(), home_.path() / "Documents" / AppTrace::kLogFileName);
}

TEST_F(DocumentsFolderTest, WithoutUserDirsItIsDocumentsInHomeAndIsCreated) {
  EXPECT_EQ(AppTrace::DefaultLogFilePath(), home_.path() / "Documents" / AppTrace::kLogFileName);
  EXPECT_FALSE(std::filesystem::exists(home_.path() / "Documents"));
  ASSERT_TRUE(AppTrace::OpenLogFile());
  AppTrace::CloseLogFile();
  EXPECT_TRUE(std::filesystem::is_regular_file(home_.path() / "Documents" / AppTrace::kLogFileName));

  // A relative XDG_CONFIG_HOME is not valid and falls back to ~/.config.
  config_.set_env("XDG_CONFIG_HOME", "relative");
  std::filesystem::create_directories(home_.path() / ".config");
  std::ofstream(home_.path() / ".config" / "user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n";
  EXPECT_EQ(AppTrace::DefaultLogFilePath(), home_.path() / "Docs" / AppTrace::kLogFileName);
}
#endif

}  // namespace
}  // namespace mirel
