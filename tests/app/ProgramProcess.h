#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace mirel::test {

// The real program in a child process, with its standard input, output and
// error on pipes of the test's own, as a shell would run it.
class ProgramProcess {
 public:
  // Starts the program (or `program`, another copy of it) with `args`;
  // `env` is added to the test's own environment. With `stdin_pipe` the test
  // writes the program's input, otherwise it reads /dev/null. A non-empty
  // `launcher` (a command and its arguments, the first an absolute path) runs
  // the program.
  ProgramProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env, bool stdin_pipe,
                 const std::vector<std::string>& launcher = {}, const std::string& program = std::string());
  // Kills a program that is still running; leaves no child behind.
  ~ProgramProcess();
  ProgramProcess(const ProgramProcess&) = delete;
  ProgramProcess& operator=(const ProgramProcess&) = delete;

  // Reads output until `text` has appeared on standard output (true) or the
  // program ended or `limit` passed (false).
  bool wait_for_output(const std::string& text, std::chrono::milliseconds limit);
  // The same for standard error.
  bool wait_for_error(const std::string& text, std::chrono::milliseconds limit);
  // The number of whole lines read from standard output so far.
  std::size_t lines_read() const;
  void send_signal(int signal);
  void write_input(const std::string& text);
  void close_input();
  // Closes the reading end of the program's standard output, as `| head` does.
  void close_output();
  // Waits for the end (reading what comes meanwhile); the raw wait status,
  // or -1 when `limit` passed and the program had to be killed.
  int wait(std::chrono::milliseconds limit);
  bool running() const { return pid_ > 0; }

  std::string out;
  std::string err;

 private:
  // Reads what is there within `timeout`; false when both pipes are closed.
  bool pump(std::chrono::milliseconds timeout);
  bool reap(bool block);
  bool wait_for(const std::string& stream, const std::string& text, std::chrono::milliseconds limit);

  pid_t pid_ = -1;
  int status_ = 0;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
};

}  // namespace mirel::test
