#include "app/ProgramProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace mirel::test {

ProgramProcess::ProgramProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                               bool stdin_pipe, const std::vector<std::string>& launcher, const std::string& program) {
  // Everything the child needs is made before fork: after it only
  // async-signal-safe calls are allowed.
  std::vector<std::string> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const std::string entry = *variable;
    const std::string name = entry.substr(0, entry.find('='));
    if (env.count(name) == 0) environment.push_back(entry);
  }
  for (const auto& [name, value] : env) environment.push_back(name + "=" + value);
  std::vector<char*> argv;
  for (const std::string& part : launcher) argv.push_back(const_cast<char*>(part.c_str()));
  argv.push_back(const_cast<char*>(program.empty() ? MIREL_PROGRAM : program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int in[2] = {-1, -1};
  int output[2];
  int error[2];
  if ((stdin_pipe && ::pipe2(in, O_CLOEXEC) != 0) || ::pipe2(output, O_CLOEXEC) != 0 ||
      ::pipe2(error, O_CLOEXEC) != 0) {
    return;
  }
  const int null_input = stdin_pipe ? -1 : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(stdin_pipe ? in[0] : null_input, 0);
    ::dup2(output[1], 1);
    ::dup2(error[1], 2);
    // The test runner may ignore signals the program must see as a shell
    // leaves them.
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGHUP, SIG_DFL);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  if (null_input >= 0) ::close(null_input);
  if (stdin_pipe) {
    ::close(in[0]);
    in_ = in[1];
  }
  ::close(output[1]);
  ::close(error[1]);
  out_ = output[0];
  err_ = error[0];
}

ProgramProcess::~ProgramProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) ::close(fd);
  }
}

bool ProgramProcess::pump(std::chrono::milliseconds timeout) {
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  if (out_ < 0 && err_ < 0) return false;
  const int ready = ::poll(fds, 2, static_cast<int>(timeout.count()));
  if (ready <= 0) return true;
  int* ends[2] = {&out_, &err_};
  std::string* texts[2] = {&out, &err};
  for (int i = 0; i < 2; ++i) {
    if (*ends[i] < 0 || fds[i].revents == 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(*ends[i], buffer, sizeof buffer);
    if (n > 0) {
      texts[i]->append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(*ends[i]);
      *ends[i] = -1;
    }
  }
  return true;
}

bool ProgramProcess::reap(bool block) {
  if (pid_ <= 0) return true;
  const pid_t done = ::waitpid(pid_, &status_, block ? 0 : WNOHANG);
  if (done == pid_) {
    pid_ = -1;
    return true;
  }
  return false;
}

bool ProgramProcess::wait_for_output(const std::string& text, std::chrono::milliseconds limit) {
  return wait_for(out, text, limit);
}

bool ProgramProcess::wait_for_error(const std::string& text, std::chrono::milliseconds limit) {
  return wait_for(err, text, limit);
}

bool ProgramProcess::wait_for(const std::string& stream, const std::string& text, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (stream.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (!pump(std::chrono::milliseconds(20)) && reap(false)) return stream.find(text) != std::string::npos;
    const int end = &stream == &out ? out_ : err_;
    if (end < 0 && pid_ <= 0) return stream.find(text) != std::string::npos;
  }
  return true;
}

std::size_t ProgramProcess::lines_read() const {
  return static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
}

void ProgramProcess::send_signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

void ProgramProcess::write_input(const std::string& text) {
  if (in_ >= 0) (void)!::write(in_, text.data(), text.size());
}

void ProgramProcess::close_input() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

void ProgramProcess::close_output() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

int ProgramProcess::wait(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!reap(false)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      reap(true);
      return -1;
    }
    if (!pump(std::chrono::milliseconds(20))) ::usleep(20000);
  }
  // What the program wrote last; its pipes end with it.
  for (int i = 0; i < 100 && (out_ >= 0 || err_ >= 0); ++i) pump(std::chrono::milliseconds(10));
  return status_;
}

}  // namespace mirel::test
