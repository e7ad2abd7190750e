#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace rodiz::test {

// A fresh directory for one test, removed with everything in it at the end.
// It can also stand in for environment variables (TMPDIR, XDG_CONFIG_HOME...)
// for its lifetime; the old values come back afterwards.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // Sets `variable` to `value` until destruction.
  void set_env(const std::string& variable, const std::string& value);

 private:
  std::filesystem::path path_;
  std::map<std::string, std::optional<std::string>> saved_;
};

void set_env_var(const std::string& variable, const std::optional<std::string>& value);

}  // namespace rodiz::test
