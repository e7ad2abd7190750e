#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "log/XLogTesting.h"
#include "log/xLog.h"
#include "runtime/SettingsKey.h"
#include "support/ScopedTempDir.h"

namespace rodiz::test {

// Runs the process-wide log afresh for one test: its settings in a key of
// the test's own, its folder in the test's temporary directory, its console
// lines captured.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Linux reads XDG_STATE_HOME, Windows TMP and TEMP.
    dir_.set_env("XDG_STATE_HOME", dir_.str());
    dir_.set_env("TMP", dir_.str());
    dir_.set_env("TEMP", dir_.str());
    dir_.set_env("XDG_CONFIG_HOME", (dir_.path() / "config").string());
    // The folder's name is unique to this process and test.
    key_ = "Software\\Orvantis\\rodiz-tests\\" + dir_.path().filename().string();
    XLogTesting::set_console_sink([this](unsigned output, const std::string& line) {
      std::lock_guard<std::mutex> guard(lock_);
      lines_[output].push_back(line);
    });
  }

  void TearDown() override {
    // The file must be closed before its folder goes.
    XLogTesting::reset();
    XLogTesting::set_console_sink({});
    SettingsKey::remove(key_);
  }

  // Writes the log's settings (nothing: no key at all) and starts the log
  // again with them.
  void start(const std::map<std::string, std::uint32_t>& dwords = {},
             const std::optional<std::string>& tags = std::nullopt) {
    if (!dwords.empty() || tags) {
      auto key = SettingsKey::create(key_);
      ASSERT_TRUE(key);
      for (const auto& [name, value] : dwords) {
        ASSERT_TRUE(key->set_dword(name, value));
      }
      if (tags) {
        ASSERT_TRUE(key->set_string("LogTags", *tags));
      }
    }
    XLogTesting::reset(key_);
    // The first call starts the log and writes its header.
    xLogWrite("", 4, "rodiz::test", "started");
    clear_console();
  }

  // Console lines of one output (1: standard output, 2: debugger output).
  std::vector<std::string> console(unsigned output = 2) {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_[output];
  }
  void clear_console() {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.clear();
  }

  // The lines of the open log file, without their CR LF.
  std::vector<std::string> file_lines() {
    XLogTesting::flush();
    std::ifstream in(XLogTesting::log_file_path(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    std::vector<std::string> lines;
    std::string text = content.str();
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find("\r\n", start);
      if (end == std::string::npos) {
        lines.push_back(text.substr(start) + "<no CR LF>");
        break;
      }
      lines.push_back(text.substr(start, end - start));
      start = end + 2;
    }
    return lines;
  }

  // The tab-separated columns of a file line.
  static std::vector<std::string> columns(const std::string& line) {
    std::vector<std::string> result;
    std::stringstream stream(line);
    std::string column;
    while (std::getline(stream, column, '\t')) result.push_back(column);
    return result;
  }

  std::filesystem::path log_folder() const { return dir_.path() / "xlog_orvantis"; }

  ScopedTempDir dir_;
  std::string key_;

 private:
  std::mutex lock_;
  std::map<unsigned, std::vector<std::string>> lines_;
};

}  // namespace rodiz::test
