#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "app/AppTrace.h"
#include "app/DeviceNodeUsers.h"
#include "app/LinuxHostSoftware.h"
#include "app/ProcEntry.h"
#include "support/ScopedTempDir.h"

namespace mirel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// One stand-in process, started by the test; killed and reaped at the end
// whatever happened.
class StandIn {
 public:
  // Runs `program` with `argv`; as `uid` when it is not -1 (root only).
  StandIn(const fs::path& program, std::vector<std::string> argv, uid_t uid = static_cast<uid_t>(-1)) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(ready[1], 1);
      ::close(ready[0]);
      if (uid != static_cast<uid_t>(-1) && (::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
      ::execv(program.c_str(), args.data());
      ::_exit(127);
    }
    ::close(ready[1]);
    char answer[8] = {};
    ready_ = ::read(ready[0], answer, sizeof answer) > 0;
    ::close(ready[0]);
  }
  ~StandIn() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  // The wait status once it has ended; -1 while it runs.
  int status() {
    if (!reaped_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
    return reaped_ ? status_ : -1;
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
  bool reaped_ = false;
  int status_ = 0;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The processes whose parent is this test and whose command line is `argv`.
std::vector<pid_t> children_running(const std::vector<std::string>& argv) {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = read_file(entry.path() / "stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || std::atoi(stat.c_str() + close + 4) != ::getpid()) continue;
    if (ProcEntry::StateOf(stat) == 'Z') continue;
    if (ProcEntry::Arguments(read_file(entry.path() / "cmdline")) == argv) found.push_back(std::stoi(name));
  }
  return found;
}

class LinuxHostSoftwareTest : public testing::Test {
 protected:
  void SetUp() override {
    // Relaunched programs are grandchildren that leave their parent: they
    // come back to this process, which reaps them.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    // A name of this test's own, so that no other program is ever touched.
    name_ = "moxel-test-" + std::to_string(::getpid()) + ".exe";
    ::chmod(dir_.str().c_str(), 0755);
    AppTrace::SetDebugOutputEnabled(true);
    AppTrace::SetDebugOutputForTesting([this](const std::string& line) { trace_ += line; });
  }
  void TearDown() override {
    AppTrace::SetDebugOutputForTesting(nullptr);
    AppTrace::SetDebugOutputEnabled(false);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
  // A copy of the stand-in named `file` in the folder `folder`.
  fs::path install(const std::string& folder, const std::string& file) {
    const fs::path target = dir_.path() / folder / file;
    fs::create_directories(target.parent_path());
    fs::permissions(target.parent_path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::copy_file(HOST_STANDIN, target);
    return target;
  }

  rodiz::test::ScopedTempDir dir_;
  std::string name_;
  std::string trace_;
};

TEST_F(LinuxHostSoftwareTest, NothingRunningFindsNothingAndSignalsNothing) {
  LinuxHostSoftware host(name_);
  bool was_running = true;
  EXPECT_EQ("", host.ShutDown(&was_running));
  EXPECT_FALSE(was_running);
  EXPECT_EQ("", trace_);
}

// The first instance quits when asked, the second ignores the request and is
// killed; the path and command line kept are the first one's.
TEST_F(LinuxHostSoftwareTest, AnInstanceThatIgnoresTheRequestIsKilled) {
  const fs::path quitting = install("a", name_);
  const fs::path stubborn = install("b", name_);
  StandIn first(quitting, {quitting.string(), "quit"});
  StandIn second(stubborn, {stubborn.string(), "ignore"});
  ASSERT_TRUE(first.ready() && second.ready());
  ASSERT_LT(first.pid(), second.pid());

  LinuxHostSoftware host(name_);
  bool was_running = false;
  const auto start = Clock::now();
  EXPECT_EQ(quitting.string(), host.ShutDown(&was_running));
  const auto took = Clock::now() - start;
  EXPECT_TRUE(was_running);
  EXPECT_EQ((std::vector<std::string>{quitting.string(), "quit"}), host.command_line());

  const int asked = first.status();
  const int killed = second.status();
  ASSERT_TRUE(asked != -1 && killed != -1) << trace_;
  EXPECT_TRUE(WIFSIGNALED(asked) && WTERMSIG(asked) == SIGTERM);
  EXPECT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL);
  // The full second of grace for the one that stayed, then the kill.
  EXPECT_GE(took, std::chrono::milliseconds(1000));
  EXPECT_LT(took, std::chrono::milliseconds(2900));
  EXPECT_NE(std::string::npos, trace_.find("Terminating " + name_ + "...")) << trace_;
}

// The name is compared ignoring case, on the executable and on the first
// word of the command line (a program under Wine shows its Windows path
// there, with the loader as its executable); an instance that quits at once
// does not hold the caller up for the whole second.
TEST_F(LinuxHostSoftwareTest, TheNameIsFoundInAnyCaseInTheExecutableOrTheCommandLine) {
  std::string upper = name_;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case {
    const char* what;
    std::string file;
    std::string argv0;
  } cases[] = {
      {"upper-case executable", upper, ""},
      {"Windows path as the first word", "loader", "C:\\Program Files\\Moxel\\" + upper},
  };
  for (const Case& c : cases) {
    const fs::path program = install(c.what, c.file);
    StandIn instance(program, {c.argv0.empty() ? program.string() : c.argv0, "quit"});
    ASSERT_TRUE(instance.ready()) << c.what;
    LinuxHostSoftware host(name_);
    bool was_running = false;
    const auto start = Clock::now();
    EXPECT_EQ(program.string(), host.ShutDown(&was_running)) << c.what;
    EXPECT_TRUE(was_running) << c.what;
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900)) << c.what;
    EXPECT_NE(-1, instance.status()) << c.what;
  }
}

TEST_F(LinuxHostSoftwareTest, AnotherUsersInstanceIsNeverSignalled) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  // The other user must reach the program: a folder of its own in /tmp,
  // whatever the test's temporary folder allows.
  char folder[] = "/tmp/mirel-host-test-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(folder));
  struct Remove {
    std::string path;
    ~Remove() { fs::remove_all(path); }
  } remove{folder};
  ::chmod(folder, 0755);
  const fs::path program = fs::path(folder) / name_;
  fs::copy_file(HOST_STANDIN, program);
  StandIn other(program, {program.string(), "quit"}, 65534);
  ASSERT_TRUE(other.ready());
  LinuxHostSoftware host(name_);
  bool was_running = true;
  EXPECT_EQ("", host.ShutDown(&was_running));
  EXPECT_FALSE(was_running);
  EXPECT_EQ(-1, other.status());
}

// The program is started again with the command line it had, on its own.
TEST_F(LinuxHostSoftwareTest, RelaunchStartsTheRememberedCommandLineDetached) {
  const fs::path program = install("app", name_);
  const std::vector<std::string> argv = {program.string(), "quit", "--tray"};
  {
    StandIn instance(program, argv);
    ASSERT_TRUE(instance.ready());
    LinuxHostSoftware host(name_);
    bool was_running = false;
    ASSERT_EQ(program.string(), host.ShutDown(&was_running));
    host.Relaunch(host.executable());
  }
  // The middle process is reaped by Relaunch; the program itself is left.
  std::vector<pid_t> again;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while ((again = children_running(argv)).empty() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(1u, again.size());
  EXPECT_NE(::getsid(0), ::getsid(again[0]));  // a session of its own
  LinuxHostSoftware cleanup(name_);
  bool was_running = false;
  cleanup.ShutDown(&was_running);
  EXPECT_TRUE(was_running);
  int status = 0;
  EXPECT_EQ(again[0], ::waitpid(again[0], &status, 0));
}

TEST_F(LinuxHostSoftwareTest, ARelaunchThatCannotStartIsTracedOnly) {
  LinuxHostSoftware host(name_);
  host.Relaunch((dir_.path() / "missing" / name_).string());
  EXPECT_NE(std::string::npos, trace_.find("Failed to start")) << trace_;
}

// The other holders of a device node are found whatever name they opened it
// by; this process itself is left out.
TEST_F(LinuxHostSoftwareTest, OtherHoldersOfTheDeviceNodeAreListed) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, ::grantpt(master));
  ASSERT_EQ(0, ::unlockpt(master));
  const std::string node = ::ptsname(master);
  const fs::path link = dir_.path() / "mouse-node";
  fs::create_symlink(node, link);
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::open(link.c_str(), O_RDWR | O_NOCTTY);
    ssize_t ignored = ::write(ready[1], "x", 1);
    (void)ignored;
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char answer = 0;
  ASSERT_EQ(1, ::read(ready[0], &answer, 1));
  ::close(ready[0]);
  const int own = ::open(node.c_str(), O_RDWR | O_NOCTTY);

  EXPECT_EQ(std::vector<std::string>{node}, DeviceNodeUsers::NodesOf(node));
  const std::vector<DeviceNodeUsers::User> users = DeviceNodeUsers::Find({node});
  ASSERT_EQ(1u, users.size());
  EXPECT_EQ(holder, users[0].pid);
  EXPECT_EQ(node, users[0].node);
  EXPECT_FALSE(users[0].name.empty());

  LinuxHostSoftware host(name_);
  host.TraceOtherUsers(node);
  EXPECT_NE(std::string::npos, trace_.find("(process " + std::to_string(holder) + ")")) << trace_;

  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ::close(own);
  ::close(master);
  EXPECT_TRUE(DeviceNodeUsers::Find({node}).empty());
  EXPECT_TRUE(DeviceNodeUsers::NodesOf((dir_.path() / "none").string()).empty());
}

// Texts from /proc are written by other programs: names with ')' and
// spaces, missing fields and overlong numbers give "nothing", not a fault.
TEST(ProcEntryTest, ReadsProcTextsThatOtherProgramsShape) {
  EXPECT_EQ('S', ProcEntry::StateOf("12 (a) b) c) S 1 2"));
  EXPECT_EQ('Z', ProcEntry::StateOf("12 (Moxel.exe) Z 1"));
  EXPECT_EQ(0, ProcEntry::StateOf("12 (Moxel.exe)"));
  EXPECT_EQ(0, ProcEntry::StateOf("12 no parenthesis S"));
  EXPECT_EQ((std::vector<std::string>{"a b", "", "c"}), ProcEntry::Arguments(std::string("a b\0\0c\0", 7)));
  EXPECT_TRUE(ProcEntry::Arguments("").empty());
  EXPECT_EQ("Moxel.exe", ProcEntry::BaseName("/opt/x/Moxel.exe (deleted)"));
  EXPECT_EQ("MOXEL.EXE", ProcEntry::BaseName("C:\\Games\\MOXEL.EXE"));
  EXPECT_TRUE(ProcEntry::SameNameIgnoringCase("MOXEL.EXE", "Moxel.exe"));
  EXPECT_FALSE(ProcEntry::SameNameIgnoringCase("Moxel.ex", "Moxel.exe"));
  unsigned long real = 0;
  unsigned long effective = 0;
  EXPECT_TRUE(ProcEntry::UidsOf("Name:\tx\nUid:\t1000\t0\t1000\t1000\n", &real, &effective));
  EXPECT_EQ(1000u, real);
  EXPECT_EQ(0u, effective);
  EXPECT_FALSE(ProcEntry::UidsOf("Uid:\t99999999999999999999999\t1\n", &real, &effective));
  EXPECT_FALSE(ProcEntry::UidsOf("Uid:\t1000\n", &real, &effective));
  EXPECT_FALSE(ProcEntry::UidsOf("", &real, &effective));
}

}  // namespace
}  // namespace mirel
