#include "Linux/FileSettingsKey.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>

#include "device/LastError.h"
#include "support/ScopedTempDir.h"

namespace rodiz::test {
namespace {

namespace fs = std::filesystem;

class FileSettingsKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.set_env("XDG_CONFIG_HOME", config_.string());
    file_ = config_ / "Software" / "Orvantis" / "Mirel Firmware Update v7.reg";
  }

  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }
  void write(const std::string& content) {
    fs::create_directories(file_.parent_path());
    std::ofstream(file_, std::ios::binary) << content;
  }
  std::vector<fs::path> siblings(const std::string& part) const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(file_.parent_path())) {
      if (entry.path().filename().string().find(part) != std::string::npos) found.push_back(entry.path());
    }
    return found;
  }

  ScopedTempDir dir_;
  const fs::path config_ = dir_.path() / "config";
  const std::string path_ = "Software\\Orvantis\\Mirel Firmware Update v7";
  const std::string header_ = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\" + path_ + "]\n";
  fs::path file_;
};

TEST_F(FileSettingsKeyTest, FileIsTheRegistryExportFormat) {
  auto key = SettingsKey::create(path_);
  ASSERT_TRUE(key);
  ASSERT_TRUE(key->set_dword("NumRetries", 10));
  ASSERT_TRUE(key->set_string("MoxelPath", "C:\\Program Files\\Moxel"));
  std::vector<Byte> bytes(40);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<Byte>(i);
  ASSERT_TRUE(key->set_binary("ProfileData", bytes));
  ASSERT_TRUE(key->set_string("Note", "a\nb"));
  ASSERT_TRUE(key->set_dword("NumRetries", 11));
  EXPECT_EQ(read(file_), header_ +
                             "\"NumRetries\"=dword:0000000b\n"
                             "\"MoxelPath\"=\"C:\\\\Program Files\\\\Moxel\"\n"
                             "\"ProfileData\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,\\\n"
                             "  14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27\n"
                             "\"Note\"=hex(1):61,00,0a,00,62,00,00,00\n"
                             "\n");
  // Only the key's file is left: no lock or temporary file beside it but the hidden lock.
  EXPECT_EQ(siblings(".tmp-").size(), 0u);
}

TEST_F(FileSettingsKeyTest, ReadsAFileExportedOnWindows) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Orvantis\\Mirel Firmware Update v7]\r\n"
      "; written by hand\r\n"
      "\"NumRetries\"=dword:00000003\r\n"
      "\"ProfileData\"=hex:01,02,\\\r\n  03,04\r\n"
      "\"Expand\"=hex(2):25,00,54,00,00,00\r\n"
      "@=\"default\"\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : text) {
    utf16 += c;
    utf16 += '\0';
  }
  write(utf16);
  auto key = SettingsKey::open(path_, true);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->get_dword("NumRetries"), 3u);
  EXPECT_EQ(key->get_binary("ProfileData"), (std::vector<Byte>{1, 2, 3, 4}));
  EXPECT_EQ(key->get_string(""), "default");
  // A type this store does not use reads as absent and survives a rewrite.
  EXPECT_EQ(key->get_string("Expand"), std::nullopt);
  ASSERT_TRUE(key->set_dword("ResIndex", 1));
  const std::string rewritten = read(file_);
  EXPECT_NE(rewritten.find("; written by hand\n"), std::string::npos);
  EXPECT_NE(rewritten.find("\"Expand\"=hex(2):25,00,54,00,00,00\n"), std::string::npos);
  EXPECT_NE(rewritten.find("[HKEY_CURRENT_USER\\SOFTWARE\\Orvantis\\Mirel Firmware Update v7]"), std::string::npos);
  EXPECT_EQ(siblings(".damaged-").size(), 0u);
}

TEST_F(FileSettingsKeyTest, DamagedFileReadsAsFarAsItParsesAndTheOriginalIsKept) {
  const std::string damaged = header_ +
                              "\"Good\"=dword:00000001\n"
                              "\"BadNumber\"=dword:xyz\n"
                              "garbage that is no value\n"
                              "\"Open\"=\"no closing quote\n"
                              "\"Text\"=\"fine\"\n"
                              "\"Bytes\"=hex:01,0g\n"
                              "[HKEY_CURRENT_USER\\Software\\Someone Else]\n"
                              "\"Foreign\"=dword:00000005\n";
  write(damaged);
  auto key = SettingsKey::open(path_, true);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->get_dword("Good"), 1u);
  EXPECT_EQ(key->get_string("Text"), "fine");
  for (const char* absent : {"BadNumber", "Open", "Bytes", "Foreign"}) {
    EXPECT_FALSE(key->get_dword(absent) || key->get_string(absent) || key->get_binary(absent)) << absent;
  }

  ASSERT_TRUE(key->set_dword("New", 2));
  const auto backups = siblings(".damaged-");
  ASSERT_EQ(backups.size(), 1u);
  EXPECT_EQ(read(backups[0]), damaged);
  EXPECT_EQ(read(file_), header_ + "\"Good\"=dword:00000001\n\"Text\"=\"fine\"\n\"New\"=dword:00000002\n\n");
  // The rewritten file is sound: no second copy.
  ASSERT_TRUE(key->set_dword("New", 3));
  EXPECT_EQ(siblings(".damaged-").size(), 1u);
}

TEST_F(FileSettingsKeyTest, HostileFilesNeitherHangNorCrashNorGetDestroyed) {
  std::string junk(4096, '\0');
  for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>((i * 131) % 256);
  for (const std::string& content : {junk, std::string("\xFF\xFE\x00", 3), header_ + "\"X\"=hex:\\\n\\\n\\"}) {
    write(content);
    auto key = SettingsKey::open(path_, true);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->get_dword("X"), std::nullopt);
    EXPECT_TRUE(key->set_dword("X", 7));
    EXPECT_EQ(key->get_dword("X"), 7u);
    const auto backups = siblings(".damaged-");
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(fs::file_size(backups[0]), content.size());
    fs::remove(backups[0]);
  }

  // A file too large to read is not rewritten: that would drop whatever it holds.
  const std::string huge = header_ + std::string(17u << 20, 'A');
  write(huge);
  {
    auto key = SettingsKey::open(path_, true);
    ASSERT_TRUE(key);
    EXPECT_FALSE(key->set_dword("X", 7));
    EXPECT_EQ(last_error().system, static_cast<std::uint32_t>(EFBIG));
    EXPECT_EQ(fs::file_size(file_), huge.size());
    EXPECT_TRUE(siblings(".damaged-").empty());
  }

  // Something else in the file's place is left alone.
  fs::remove(file_);
  fs::create_directory(file_);
  auto key = SettingsKey::open(path_, true);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->get_dword("X"), std::nullopt);
  EXPECT_FALSE(key->set_dword("X", 1));
  EXPECT_TRUE(fs::is_directory(file_));
  fs::remove(file_);
  ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0);
  EXPECT_EQ(key->get_dword("X"), std::nullopt);
  EXPECT_FALSE(key->set_dword("X", 1));
  EXPECT_TRUE(fs::is_fifo(file_));
}

// Runs `body` in a child process and returns its exit code.
int in_child(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(FileSettingsKeyTest, WritersInTwoProcessesLoseNothing) {
  ASSERT_TRUE(SettingsKey::create(path_));
  constexpr int kValues = 20;
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  auto write_values = [&](const std::string& prefix) {
    char byte = 0;
    if (::read(go[0], &byte, 1) != 1) return 1;
    auto key = SettingsKey::open(path_, true);
    for (int i = 0; i < kValues; ++i) {
      if (!key || !key->set_dword(prefix + std::to_string(i), static_cast<std::uint32_t>(i))) return 1;
    }
    return 0;
  };
  const pid_t child = ::fork();
  if (child == 0) ::_exit(write_values("child"));
  // Both start together.
  ASSERT_EQ(::write(go[1], "gg", 2), 2);
  const int parent_result = write_values("parent");
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(go[0]);
  ::close(go[1]);
  ASSERT_EQ(parent_result, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  auto key = SettingsKey::open(path_);
  for (int i = 0; i < kValues; ++i) {
    EXPECT_EQ(key->get_dword("child" + std::to_string(i)), static_cast<std::uint32_t>(i));
    EXPECT_EQ(key->get_dword("parent" + std::to_string(i)), static_cast<std::uint32_t>(i));
  }
}

TEST_F(FileSettingsKeyTest, CrashBeforeTheRenameLeavesTheOldFile) {
  ASSERT_TRUE(SettingsKey::create(path_)->set_dword("A", 1));
  const std::string before = read(file_);
  const int result = in_child([this] {
    // The process dies with the new file written but not yet in place.
    FileSettingsKey::set_before_rename_hook_for_testing([] { ::_exit(42); });
    SettingsKey::open(path_, true)->set_dword("B", 2);
    return 0;
  });
  ASSERT_EQ(result, 42);
  EXPECT_EQ(read(file_), before);
  EXPECT_EQ(siblings(".tmp-").size(), 1u);

  auto key = SettingsKey::open(path_, true);
  ASSERT_TRUE(key->set_dword("C", 3));
  EXPECT_EQ(siblings(".tmp-").size(), 0u);
  EXPECT_EQ(key->get_dword("A"), 1u);
  EXPECT_EQ(key->get_dword("B"), std::nullopt);
  EXPECT_EQ(key->get_dword("C"), 3u);
}

TEST_F(FileSettingsKeyTest, AWriteThatWouldOutgrowTheReaderFailsAndKeepsTheFile) {
  auto key = SettingsKey::create(path_);
  ASSERT_TRUE(key);
  ASSERT_TRUE(key->set_dword("ProfileId", 3));
  // A value that leaves the file a few kilobytes below the reader's limit,
  // less than a 4096-byte profile copy takes.
  const std::size_t empty = fs::file_size(file_);
  ASSERT_TRUE(key->set_binary("Filler", std::vector<Byte>(100000, 0xAB)));
  const double per_byte = static_cast<double>(fs::file_size(file_) - empty) / 100000.0;
  const auto filler =
      static_cast<std::size_t>(static_cast<double>(RegExportFile::kMaxFileSize - empty - 6000) / per_byte);
  ASSERT_TRUE(key->set_binary("Filler", std::vector<Byte>(filler, 0xAB)));
  ASSERT_LE(fs::file_size(file_), RegExportFile::kMaxFileSize);
  ASSERT_GT(fs::file_size(file_) + 4096 * 3, RegExportFile::kMaxFileSize);
  const std::string before = read(file_);
  EXPECT_FALSE(key->set_binary("ProfileData", std::vector<Byte>(4096, 1)));
  EXPECT_EQ(last_error().system, static_cast<std::uint32_t>(EFBIG));
  EXPECT_EQ(read(file_), before);
  // Nothing was dropped: the next small write keeps every value.
  ASSERT_TRUE(key->set_dword("ResIndex", 2));
  EXPECT_EQ(key->get_dword("ProfileId"), 3u);
  EXPECT_TRUE(key->get_binary("Filler"));
  EXPECT_TRUE(siblings(".damaged-").empty());
}

TEST_F(FileSettingsKeyTest, AReadOnlyFileIsRefusedAndASymlinkIsWrittenThrough) {
  ASSERT_TRUE(SettingsKey::create(path_)->set_dword("A", 1));
  ASSERT_EQ(::chmod(file_.c_str(), 0400), 0);
  const std::string before = read(file_);
  auto key = SettingsKey::open(path_, true);
  EXPECT_FALSE(key->set_dword("B", 2));
  EXPECT_EQ(last_error().system, static_cast<std::uint32_t>(EACCES));
  EXPECT_EQ(read(file_), before);
  EXPECT_EQ(fs::status(file_).permissions() & fs::perms::all, fs::perms::owner_read);

  // The key's file is a link to a file elsewhere (a dotfiles folder).
  ASSERT_EQ(::chmod(file_.c_str(), 0600), 0);
  const fs::path elsewhere = dir_.path() / "dotfiles" / "mirel.reg";
  fs::create_directories(elsewhere.parent_path());
  fs::rename(file_, elsewhere);
  fs::create_symlink(elsewhere, file_);
  ASSERT_TRUE(key->set_dword("B", 2));
  EXPECT_TRUE(fs::is_symlink(file_));
  EXPECT_EQ(key->get_dword("A"), 1u);
  EXPECT_EQ(key->get_dword("B"), 2u);
  EXPECT_NE(read(elsewhere).find("\"B\"=dword:00000002"), std::string::npos);
  EXPECT_TRUE(siblings(".tmp-").empty());
}

TEST_F(FileSettingsKeyTest, ALockHeldByAnotherProcessFailsSoonAsBusy) {
  ASSERT_TRUE(SettingsKey::create(path_)->set_dword("A", 1));
  const fs::path lock = file_.parent_path() / ("." + file_.filename().string() + ".lock");
  // flock(1) holds the lock until its input closes.
  int hold[2];
  ASSERT_EQ(::pipe(hold), 0);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::dup2(hold[0], 0);
    ::dup2(ready[1], 1);
    ::close(hold[1]);
    ::close(ready[0]);
    ::execlp("flock", "flock", lock.c_str(), "sh", "-c", "echo locked; cat >/dev/null", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(hold[0]);
  ::close(ready[1]);
  char answer[8] = {};
  ASSERT_GT(::read(ready[0], answer, sizeof answer), 0);
  const std::string before = read(file_);

  auto key = SettingsKey::open(path_, true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(key->set_dword("B", 2));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(last_error().system, static_cast<std::uint32_t>(EWOULDBLOCK));
  EXPECT_GE(waited, FileSettingsKey::kLockWait);
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(read(file_), before);

  ::close(hold[1]);
  ::close(ready[0]);
  int status = 0;
  ::waitpid(holder, &status, 0);
  EXPECT_TRUE(key->set_dword("B", 2));
}

TEST_F(FileSettingsKeyTest, KeysLiveBelowTheConfigurationFolder) {
  ASSERT_TRUE(SettingsKey::create("SOFTWARE\\Orvantis\\xLog\\rodiz\\tool.exe")->set_dword("logging", 0));
  ASSERT_TRUE(SettingsKey::create("Software\\orvantis\\XLOG\\Rodiz\\TOOL.EXE"));
  EXPECT_TRUE(fs::exists(config_ / "SOFTWARE" / "Orvantis" / "xLog" / "rodiz" / "tool.exe.reg"));
  EXPECT_FALSE(fs::exists(config_ / "Software"));

  // Without XDG_CONFIG_HOME: ~/.config.
  dir_.set_env("XDG_CONFIG_HOME", "");
  dir_.set_env("HOME", dir_.str());
  ASSERT_TRUE(SettingsKey::create("Software\\Orvantis\\Home"));
  EXPECT_TRUE(fs::exists(dir_.path() / ".config" / "Software" / "Orvantis" / "Home.reg"));
}

}  // namespace
}  // namespace rodiz::test
