#pragma once

#include <string>
#include <vector>

namespace mirel {

// What the command line asks of the program.
struct AppOptions {
  // The options of the update tool itself.
  bool force = false;
  std::string forceDirectory;
  bool skipMouse = false;
  bool skipReceiver = false;
  bool forceRepairing = false;
  bool logEnabled = false;
  int failMouse = 0;
  int failReceiver = 0;

  // Options for running without hardware and without a window.
  bool simulate = false;
  // How the simulated mouse is reached: "corded" (its cable), "receiver"
  // (paired to a simulated receiver) or "both".
  std::string simConnection = "corded";
  std::string simReceiverFaults;  // "lose-register=3"
  std::string simVersion;         // "14.2.6"
  std::string simFaults;          // "drop=120,image=1"
  int simLatencyUs = -1;          // -1: the simulated mouse's default
  // The simulated mouse's USB frame interval in microseconds: its reports
  // move only at frame boundaries. 0: no timing model.
  int simFrameUs = 0;
  // The file in which the simulated mouse keeps its state between runs.
  std::string simState;
  // For fault tests: the program stops itself (as a debugger would) when its
  // trace writes the N-th line holding this text, for the test to kill it.
  std::string simStopAt;
  int simStopAtCount = 1;
  bool console = false;
  bool yes = false;  // answer Start (and Close) without a user
  // Let a build whose images are the project's test images write them to a
  // mouse that is not the simulated one (an emulated test rig).
  bool allowTestImages = false;
  bool trace = false;  // the trace also on standard error
  bool help = false;
  bool version = false;
  // Read the mouse's version and say whether it needs the update; write
  // nothing.
  bool check = false;
  // One JSON object per line on standard output instead of the console's
  // texts.
  bool json = false;
  // --timeout=SECONDS; -1 when not given.
  int timeoutSeconds = -1;

  // How long an unattended run may wait for a usable mouse, in seconds:
  // --timeout when given (0: for ever), else kDefaultYesTimeout with --yes,
  // else 0 (an interactive run waits until it is closed).
  int EffectiveTimeoutSeconds() const;
  static constexpr int kDefaultYesTimeout = 120;
  static constexpr int kMaxTimeout = 86400;
};

// Reads the command line. The tool's own options ("/FORCE", "/LOG",
// "/FORCEDIR=", ...) follow their historic rules and never fail; a "/"
// argument they do not recognise is ignored. The options of this port start
// with "--" (on Windows also "/"), the short ones -h, -?, -V and -y with one
// dash; an unknown or malformed option and a word that is neither an option
// nor holds one of the tool's value options are errors.
class CommandLine {
 public:
  // `args` are the program's arguments without the program name. False with
  // a message in `error` (the first problem) for a bad option or a stray
  // word; the historic options are stored either way.
  static bool Parse(const std::vector<std::string>& args, AppOptions* options, std::string* error);
  // The historic rules for one argument.
  static void ParseToolArgument(const std::string& arg, AppOptions* options);
  static std::string Usage(const std::string& program);
};

}  // namespace mirel
