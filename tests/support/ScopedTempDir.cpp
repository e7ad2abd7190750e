#include "support/ScopedTempDir.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace rodiz::test {

namespace {
std::atomic<unsigned> g_counter{0};

long process_id() {
#if defined(_WIN32)
  return _getpid();
#else
  return static_cast<long>(::getpid());
#endif
}
}  // namespace

void set_env_var(const std::string& variable, const std::optional<std::string>& value) {
#if defined(_WIN32)
  _putenv_s(variable.c_str(), value ? value->c_str() : "");
#else
  if (value) {
    ::setenv(variable.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(variable.c_str());
  }
#endif
}

ScopedTempDir::ScopedTempDir() {
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = base / ("rodiz-test-" + std::to_string(process_id()) + "-" + std::to_string(g_counter++) + "-" +
                    std::to_string(stamp % 100000));
    if (std::filesystem::create_directories(path_)) break;
  }
}

ScopedTempDir::~ScopedTempDir() {
  for (const auto& [variable, value] : saved_) set_env_var(variable, value);
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void ScopedTempDir::set_env(const std::string& variable, const std::string& value) {
  if (saved_.count(variable) == 0) {
    const char* old = std::getenv(variable.c_str());
    saved_[variable] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  set_env_var(variable, value);
}

}  // namespace rodiz::test
