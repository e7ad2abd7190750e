#include "support/DbusMockSession.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

namespace rodiz::test {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartLimit = std::chrono::seconds(20);

// Runs `argv` with `variable`=`value` added to the environment and, when
// `address_fd` >= 0, that descriptor as its descriptor 3.
pid_t spawn(std::vector<std::string> argv, const std::string& variable, const std::string& value, int address_fd) {
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  // The environment is made before fork: the child only calls async-signal-safe functions.
  std::string assignment = variable + "=" + value;
  std::vector<char*> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (variable.empty() || std::string(*entry).rfind(variable + "=", 0) != 0) env.push_back(*entry);
  }
  if (!variable.empty()) env.push_back(assignment.data());
  env.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (address_fd >= 0) ::dup2(address_fd, 3);
  // Their chatter (every call the mock answers) would bury the test's output.
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) {
    ::dup2(null, 1);
    ::dup2(null, 2);
  }
  ::execvpe(args[0], args.data(), env.data());
  ::_exit(127);
}

}  // namespace

DbusMockSession::DbusMockSession(const std::string& template_name, const std::string& bus_name, bool system_bus) {
  int address_pipe[2];
  if (::pipe(address_pipe) != 0) {
    error_ = "pipe failed";
    return;
  }
  daemon_ =
      spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=3"}, "", "", address_pipe[1]);
  ::close(address_pipe[1]);
  const auto deadline = Clock::now() + kStartLimit;
  while (address_.empty() || address_.back() != '\n') {
    pollfd fd{address_pipe[0], POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || ::poll(&fd, 1, static_cast<int>(left)) <= 0) break;
    char buffer[256];
    const ssize_t got = ::read(address_pipe[0], buffer, sizeof buffer);
    if (got <= 0) break;
    address_.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(address_pipe[0]);
  if (address_.empty() || address_.back() != '\n') {
    error_ = "dbus-daemon did not start (is dbus-daemon installed?)";
    return;
  }
  address_.pop_back();
  // The system interpreter: python-dbusmock is a package of the distribution.
  std::vector<std::string> mock = {"/usr/bin/python3", "-m", "dbusmock", "--template", template_name};
  if (system_bus) mock.insert(mock.begin() + 3, "--system");
  mock_ = spawn(mock, system_bus ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS", address_, -1);
  ready_ = wait_for_name(bus_name);
  if (!ready_)
    error_ = "python-dbusmock's template " + template_name + " did not appear (is python3-dbusmock installed?)";
}

DbusMockSession::~DbusMockSession() {
  stop(mock_);
  stop(daemon_);
}

void DbusMockSession::stop(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

sd_bus* DbusMockSession::connect() const {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) return nullptr;
  if (sd_bus_set_address(bus, address_.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0) {
    sd_bus_unref(bus);
    return nullptr;
  }
  return bus;
}

bool DbusMockSession::wait_for_name(const std::string& bus_name) {
  sd_bus* bus = connect();
  if (bus == nullptr) return false;
  bool owned = false;
  const auto deadline = Clock::now() + kStartLimit;
  while (!owned && Clock::now() < deadline) {
    int status = 0;
    if (mock_ > 0 && ::waitpid(mock_, &status, WNOHANG) == mock_) {
      mock_ = -1;  // it ended: it will never own the name
      break;
    }
    sd_bus_message* reply = nullptr;
    int has_owner = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                           nullptr, &reply, "s", bus_name.c_str()) >= 0 &&
        sd_bus_message_read(reply, "b", &has_owner) >= 0) {
      owned = has_owner != 0;
    }
    sd_bus_message_unref(reply);
    if (!owned) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  sd_bus_flush_close_unref(bus);
  return owned;
}

}  // namespace rodiz::test
