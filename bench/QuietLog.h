#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "log/XLogTesting.h"
#include "runtime/SettingsKey.h"

namespace rodiz::bench {

// Turns the library's log off for the lifetime of the object, so that a
// benchmark measures the code and not the synchronous log file. The setting
// lives in a private configuration folder that is removed afterwards.
class QuietLog {
 public:
  QuietLog() {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    if (old) old_config_ = old;
    had_config_ = old != nullptr;
    dir_ = std::filesystem::temp_directory_path() / ("rodiz-bench-" + std::to_string(std::rand()));
    std::filesystem::create_directories(dir_);
    ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    if (auto key = SettingsKey::create(kKey)) key->set_dword("logging", 0);
    XLogTesting::reset(kKey);
  }
  ~QuietLog() {
    XLogTesting::reset();
    if (had_config_) {
      ::setenv("XDG_CONFIG_HOME", old_config_.c_str(), 1);
    } else {
      ::unsetenv("XDG_CONFIG_HOME");
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

 private:
  static constexpr const char* kKey = "Software\\Orvantis\\xLog\\rodiz\\bench-quiet";
  std::filesystem::path dir_;
  std::string old_config_;
  bool had_config_ = false;
};

}  // namespace rodiz::bench
