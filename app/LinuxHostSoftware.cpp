#include "app/LinuxHostSoftware.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "app/AppTrace.h"
#include "app/DeviceNodeUsers.h"
#include "app/ProcEntry.h"

namespace mirel {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kAskWait = std::chrono::milliseconds(1000);
constexpr auto kKillWait = std::chrono::milliseconds(1000);

int open_pidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int send_signal(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  // /proc files report no size: read them to their end. (A chunked read, not
  // istreambuf_iterator, whose inlined code GCC 12 at -O3 reports as a
  // possible null dereference.)
  std::string text;
  char chunk[4096];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) text.append(chunk, static_cast<std::size_t>(in.gcount()));
  return text;
}

std::string read_link(const std::string& path) {
  char target[4096];
  const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// Waits until `pidfd` reports the end of its process, at most until `deadline`.
bool wait_for_end(int pidfd, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd fd{pidfd, POLLIN, 0};
    const int ready = ::poll(&fd, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

LinuxHostSoftware::LinuxHostSoftware(std::string image_name) : m_imageName(std::move(image_name)) {}

std::vector<LinuxHostSoftware::Instance> LinuxHostSoftware::FindInstances() const {
  std::vector<Instance> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) {
    Trace("Failed to list the processes: %s\n", std::strerror(errno));
    return found;
  }
  const pid_t self = ::getpid();
  const uid_t user = ::getuid();
  std::vector<pid_t> pids;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == self) continue;
    pids.push_back(static_cast<pid_t>(pid));
  }
  ::closedir(proc);
  std::sort(pids.begin(), pids.end());

  for (const pid_t pid : pids) {
    // The descriptor first: what is read below then describes the process it
    // holds, even if the id was reused after the listing.
    const int pidfd = open_pidfd(pid);
    if (pidfd < 0) continue;  // gone already
    const std::string dir = "/proc/" + std::to_string(pid);
    unsigned long real = 0;
    unsigned long effective = 0;
    const bool own =
        ProcEntry::UidsOf(read_file(dir + "/status"), &real, &effective) && real == user && effective == user;
    const char state = ProcEntry::StateOf(read_file(dir + "/stat"));
    Instance instance;
    instance.pid = pid;
    instance.pidfd = pidfd;
    if (own && state != 0 && state != 'Z' && state != 'X') {
      instance.executable = read_link(dir + "/exe");
      instance.arguments = ProcEntry::Arguments(read_file(dir + "/cmdline"));
    }
    const bool named = (!instance.executable.empty() &&
                        ProcEntry::SameNameIgnoringCase(ProcEntry::BaseName(instance.executable), m_imageName)) ||
                       (!instance.arguments.empty() &&
                        ProcEntry::SameNameIgnoringCase(ProcEntry::BaseName(instance.arguments[0]), m_imageName));
    if (named) {
      found.push_back(std::move(instance));
    } else {
      ::close(pidfd);
    }
  }
  return found;
}

std::string LinuxHostSoftware::ShutDown(bool* was_running) {
  if (was_running) *was_running = false;
  std::vector<Instance> instances = FindInstances();
  if (instances.empty()) return std::string();

  m_executable = instances.front().executable;
  m_commandLine = instances.front().arguments;
  if (was_running) *was_running = true;

  for (const Instance& instance : instances) {
    Trace("Asking %s (process %d) to quit...\n", m_imageName.c_str(), static_cast<int>(instance.pid));
    if (send_signal(instance.pidfd, SIGTERM) != 0 && errno != ESRCH) {
      Trace("Failed to ask process %d to quit: %s\n", static_cast<int>(instance.pid), std::strerror(errno));
    }
  }
  const auto asked_until = Clock::now() + kAskWait;
  for (const Instance& instance : instances) wait_for_end(instance.pidfd, asked_until);

  for (Instance& instance : instances) {
    if (!wait_for_end(instance.pidfd, Clock::now())) {
      Trace("Terminating %s...\n", m_imageName.c_str());
      if (send_signal(instance.pidfd, SIGKILL) != 0 && errno != ESRCH) {
        Trace("Failed to terminate process %s...\n", m_imageName.c_str());
      } else {
        wait_for_end(instance.pidfd, Clock::now() + kKillWait);
      }
    }
    ::close(instance.pidfd);
    instance.pidfd = -1;
  }
  return m_executable;
}

void LinuxHostSoftware::Relaunch(const std::string& path) {
  if (path.empty()) return;
  std::vector<std::string> arguments =
      path == m_executable && !m_commandLine.empty() ? m_commandLine : std::vector<std::string>{path};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  // Prepared before fork: only async-signal-safe calls happen in the children.
  int status_pipe[2];
  if (::pipe2(status_pipe, O_CLOEXEC) != 0) return;
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(status_pipe[0]);
    ::close(status_pipe[1]);
    return;
  }
  if (child == 0) {
    // The middle process: a new session, then the program in a grandchild so
    // that it outlives this program without becoming its zombie.
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      if (null > 2) ::close(null);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(path.c_str(), argv.data());
    const int error = errno;
    ssize_t ignored = ::write(status_pipe[1], &error, sizeof error);
    (void)ignored;
    ::_exit(127);
  }
  ::close(status_pipe[1]);
  int reaped = 0;
  while (::waitpid(child, &reaped, 0) < 0 && errno == EINTR) {
  }
  // The pipe closes on a successful exec; an error number arrives otherwise.
  int error = 0;
  ssize_t got = 0;
  do {
    got = ::read(status_pipe[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  ::close(status_pipe[0]);
  if (got == static_cast<ssize_t>(sizeof error)) {
    Trace("Failed to start %s again: %s\n", path.c_str(), std::strerror(error));
  }
}

void LinuxHostSoftware::TraceOtherUsers(const std::string& device_path) {
  for (const DeviceNodeUsers::User& user : DeviceNodeUsers::Find(DeviceNodeUsers::NodesOf(device_path))) {
    Trace("  %s is also open in %s (process %d)\n", user.node.c_str(), user.name.c_str(), user.pid);
  }
}

}  // namespace mirel
