#include "app/CommandLine.h"

#include <cctype>
#include <climits>

#include "app/ProductInfo.h"
#include "app/SimFaultList.h"

namespace mirel {

namespace {

bool equals_ignoring_case(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return i == a.size() && b[i] == '\0';
}

// Decimal with leading blanks and a sign, up to the first non-digit; values
// beyond int are held at its limits rather than overflowing.
int to_int(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// "--name=value" or, on Windows, "/name=value": the name and the value.
bool split_port_option(const std::string& arg, std::string* name, std::string* value, bool* has_value) {
  std::string body;
  if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') {
    body = arg.substr(2);
  }
#if defined(_WIN32)
  else if (arg.size() > 1 && arg[0] == '/') {
    body = arg.substr(1);
  }
#endif
  else {
    return false;
  }
  const std::size_t equals = body.find('=');
  *has_value = equals != std::string::npos;
  *name = body.substr(0, equals);
  for (char& c : *name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  *value = *has_value ? body.substr(equals + 1) : std::string();
  return true;
}

bool is_port_option(const std::string& name) {
  return name == "simulate" || name == "sim-version" || name == "sim-faults" || name == "sim-receiver-faults" ||
         name == "sim-latency-us" || name == "sim-usb-frames" || name == "sim-state" || name == "sim-stop-at" ||
         name == "console" || name == "yes" || name == "help" || name == "?" || name == "version" ||
         name == "allow-test-images" || name == "trace" || name == "check" || name == "json" || name == "timeout";
}

// Whether the historic rules find one of the tool's value options inside.
bool holds_tool_value_option(const std::string& arg) {
  return arg.find("/FORCEDIR=") != std::string::npos || arg.find("/FAILMOUSE=") != std::string::npos ||
         arg.find("/FAILDONGLE=") != std::string::npos;
}

}  // namespace

void CommandLine::ParseToolArgument(const std::string& arg, AppOptions* options) {
  if (equals_ignoring_case(arg, "/FORCE")) {
    options->force = true;
  } else if (equals_ignoring_case(arg, "/SKIPMOUSE")) {
    options->skipMouse = true;
  } else if (equals_ignoring_case(arg, "/SKIPDONGLE")) {
    options->skipReceiver = true;
  } else if (equals_ignoring_case(arg, "/FORCEREPAIRING")) {
    options->forceRepairing = true;
  } else if (equals_ignoring_case(arg, "/LOG")) {
    options->logEnabled = true;
  } else {
    static const std::string kForceDir = "/FORCEDIR=";
    static const std::string kFailMouse = "/FAILMOUSE=";
    static const std::string kFailDongle = "/FAILDONGLE=";
    const std::size_t dir = arg.find(kForceDir);
    if (dir != std::string::npos) {
      const std::string rest = arg.substr(dir + kForceDir.size());
      if (rest.empty()) return;
      options->forceDirectory = rest;
      options->force = true;
    }
    const std::size_t mouse = arg.find(kFailMouse);
    if (mouse != std::string::npos) {
      const std::string rest = arg.substr(mouse + kFailMouse.size());
      if (!rest.empty()) options->failMouse = to_int(rest);
      return;
    }
    const std::size_t dongle = arg.find(kFailDongle);
    if (dongle != std::string::npos) {
      const std::string rest = arg.substr(dongle + kFailDongle.size());
      if (!rest.empty()) options->failReceiver = to_int(rest);
    }
  }
}

int AppOptions::EffectiveTimeoutSeconds() const {
  if (timeoutSeconds >= 0) return timeoutSeconds;
  return yes ? kDefaultYesTimeout : 0;
}

bool CommandLine::Parse(const std::vector<std::string>& args, AppOptions* options, std::string* error) {
  bool ok = true;
  // The first problem is the one reported.
  auto fail = [&](const std::string& message) {
    if (ok) *error = message;
    ok = false;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    ParseToolArgument(arg, options);
    std::string name;
    std::string value;
    bool has_value = false;
    if (!split_port_option(arg, &name, &value, &has_value)) {
      if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
        if (arg == "-h" || arg == "-?") {
          options->help = true;
        } else if (arg == "-V") {
          options->version = true;
        } else if (arg == "-y") {
          options->yes = true;
        } else {
          fail("unknown option '" + arg + "'");
        }
      } else if (arg.empty() || (arg[0] != '/' && !holds_tool_value_option(arg))) {
        // The tool's own rules look for their value options anywhere in a
        // word; anything else is a mistake a script should hear about.
        fail("unexpected argument '" + arg + "'");
      }
      continue;
    }
    // A file name or a number may also follow as the next argument.
    if ((name == "sim-state" || name == "timeout") && !has_value && i + 1 < args.size()) {
      value = args[++i];
      has_value = true;
    }
    // Slash arguments that are not ours belong to the tool's own rules, which
    // ignore what they do not know.
    if (arg[0] == '/' && !is_port_option(name)) continue;
    std::string problem;
    auto flag = [&](bool* field) {
      if (has_value) {
        problem = "option --" + name + " takes no value";
        return false;
      }
      *field = true;
      return true;
    };
    auto text = [&](std::string* field) {
      if (!has_value || value.empty()) {
        problem = "option --" + name + " needs a value";
        return false;
      }
      *field = value;
      return true;
    };
    bool good = true;
    if (name == "simulate") {
      options->simulate = true;
      if (has_value) {
        if (value == "corded" || value == "receiver" || value == "both") {
          options->simConnection = value;
        } else {
          problem = "option --simulate takes corded, receiver or both, not '" + value + "'";
          good = false;
        }
      }
    } else if (name == "sim-receiver-faults") {
      good = text(&options->simReceiverFaults);
      options->simulate = true;
    } else if (name == "sim-version") {
      good = text(&options->simVersion);
      options->simulate = true;
    } else if (name == "sim-faults") {
      good = text(&options->simFaults) && SimFaultList::Check(options->simFaults, &problem);
      options->simulate = true;
    } else if (name == "sim-latency-us") {
      std::string number;
      good = text(&number);
      if (good) {
        options->simLatencyUs = to_int(number);
        if (options->simLatencyUs < 0 || number.find_first_not_of("0123456789") != std::string::npos) {
          problem = "option --sim-latency-us needs a number of microseconds";
          good = false;
        }
      }
      options->simulate = true;
    } else if (name == "sim-usb-frames") {
      // Alone: full-speed frames of 1 ms; with a value, that interval.
      options->simFrameUs = 1000;
      if (has_value) {
        options->simFrameUs = to_int(value);
        if (value.empty() || value.size() > 7 || value.find_first_not_of("0123456789") != std::string::npos ||
            options->simFrameUs < 1) {
          problem = "option --sim-usb-frames wants a frame interval of 1 to 9999999 microseconds";
          good = false;
        }
      }
      options->simulate = true;
    } else if (name == "sim-state") {
      good = text(&options->simState);
      options->simulate = true;
    } else if (name == "sim-stop-at") {
      good = text(&options->simStopAt);
      const std::size_t hash = options->simStopAt.rfind('#');
      if (good && hash != std::string::npos) {
        const std::string count = options->simStopAt.substr(hash + 1);
        options->simStopAtCount = to_int(count);
        options->simStopAt.resize(hash);
        if (count.empty() || count.size() > 7 || count.find_first_not_of("0123456789") != std::string::npos ||
            options->simStopAtCount < 1 || options->simStopAt.empty()) {
          problem = "option --sim-stop-at wants TEXT or TEXT#N with N from 1";
          good = false;
        }
      }
      options->simulate = true;
    } else if (name == "console") {
      good = flag(&options->console);
    } else if (name == "yes") {
      good = flag(&options->yes);
    } else if (name == "allow-test-images") {
      good = flag(&options->allowTestImages);
    } else if (name == "trace") {
      good = flag(&options->trace);
    } else if (name == "check") {
      good = flag(&options->check);
    } else if (name == "json") {
      good = flag(&options->json);
    } else if (name == "timeout") {
      std::string number;
      good = text(&number);
      if (good) {
        options->timeoutSeconds = to_int(number);
        if (number.size() > 6 || number.find_first_not_of("0123456789") != std::string::npos ||
            options->timeoutSeconds > AppOptions::kMaxTimeout) {
          problem = "option --timeout wants a whole number of seconds from 0 to " +
                    std::to_string(AppOptions::kMaxTimeout) + ", not '" + number + "'";
          options->timeoutSeconds = -1;
          good = false;
        }
      }
    } else if (name == "help" || name == "?") {
      good = flag(&options->help);
    } else if (name == "version") {
      good = flag(&options->version);
    } else {
      problem = "unknown option '" + arg + "'";
      good = false;
    }
    if (!good) fail(problem);
  }
  return ok;
}

std::string CommandLine::Usage(const std::string& program) {
  return "Usage: " + program +
         " [options]\n"
         "Updates the " +
         std::string(kProductName) + " to firmware " + kPackageVersion +
         ".\n"
         "\n"
         "Update options:\n"
         "  /FORCE              offer the update whatever version the mouse has\n"
         "  /FORCEDIR=<dir>     the same (the directory is kept, not used)\n"
         "  /LOG                write MirelFirmwareUpdate.log in the Documents folder\n"
         "  /SKIPMOUSE, /SKIPDONGLE, /FORCEREPAIRING, /FAILMOUSE=<n>, /FAILDONGLE=<n>\n"
         "                      accepted for compatibility; they change nothing\n"
         "  Other arguments that begin with / are ignored; any other word is an error.\n"
         "\n"
         "Running without hardware:\n"
         "  --simulate[=HOW]    update a simulated mouse instead of a real one, reached\n"
         "                      by its cable (HOW=corded, the default), through a\n"
         "                      simulated receiver (receiver), or both ways (both)\n"
         "  --sim-version=X.Y.Z firmware the simulated mouse starts with (default 14.2.6)\n"
         "  --sim-faults=LIST   faults of the simulated mouse, comma-separated, such as\n"
         "                      drop=120,image=1 (N: a packet of the image, from 0):\n" +
         SimFaultList::Describe(22) +
         "  --sim-receiver-faults=LIST\n"
         "                      faults of the simulated receiver: lose-register=N,\n"
         "                      error-register=N, error-byte=B, storm=N, storm-count=C,\n"
         "                      stray-index=N (N: a register request, from 0)\n"
         "  --sim-latency-us=N  answer time of the simulated mouse (default 1000)\n"
         "  --sim-usb-frames[=N]\n"
         "                      the simulated mouse's reports move only at USB frame\n"
         "                      boundaries N microseconds apart (default 1000): an\n"
         "                      answer comes at the start of the next frame\n"
         "  --sim-state=FILE    the simulated mouse keeps its state in FILE, so that a run\n"
         "                      killed midway can be followed by another on the same mouse\n"
         "  --sim-stop-at=TEXT[#N]\n"
         "                      for fault tests (Linux): the program stops (SIGSTOP)\n"
         "                      once its trace has written the N-th line (default the\n"
         "                      first) holding TEXT, for the test to kill it there\n"
         "\n"
         "Running from a script:\n"
         "  -y, --yes           start the update (and close at the end) without asking;\n"
         "                      gives up after 120 seconds without a usable mouse unless\n"
         "                      --timeout says otherwise\n"
         "  --timeout=SECONDS   give up after SECONDS without a usable mouse (none\n"
         "                      connected, not back after its restart, not answering),\n"
         "                      with exit status 5 and the reason on standard error;\n"
         "                      0 waits for ever (the default without --yes)\n"
         "  --check             read the mouse's firmware version, show it beside the\n"
         "                      version this tool installs and whether an update is\n"
         "                      needed; write nothing to the mouse (exit status 4 or 6)\n"
         "  --json              write one JSON object per line on standard output instead\n"
         "                      of the texts: \"device\" (product_id, mode, version),\n"
         "                      \"state\" (number, name), \"status\" (text), \"progress\"\n"
         "                      (bytes, total), \"check\" (current, carried,\n"
         "                      update_needed) and last \"result\" (exit_status, result,\n"
         "                      reason); each object names its kind in \"event\"\n"
         "  --console           show the update in this terminal, not in a window\n"
         "  --trace             also write the program's trace to standard error (so does\n"
         "                      the environment variable MIREL_TRACE=1)\n"
         "  --allow-test-images for emulated test rigs: a build that carries the project's\n"
         "                      test images writes them only to the simulated mouse unless\n"
         "                      this is given; never use it with a real mouse\n"
         "  -h, -?, --help      show this text\n"
         "  -V, --version       show the program's name and version\n"
         "\n"
         "Keys: Enter starts the update when it is offered and otherwise closes, as Escape\n"
         "and Ctrl-C do. While the mouse is being updated Enter and Escape are refused,\n"
         "and Ctrl-C (or SIGTERM) only says what stopping would do; a second Ctrl-C\n"
         "within 5 seconds stops the program anyway (exit status 3).\n"
         "\n"
         "Exit status:\n"
         "  0  the mouse was updated\n"
         "  1  the update failed (also after the ten-second countdown that follows a\n"
         "     failure and closes the window by itself), or a build with test images met\n"
         "     a mouse it may not write to\n"
         "  2  bad command line\n"
         "  3  closed (or stopped) before an update finished\n"
         "  4  the mouse already has this firmware; nothing was written\n"
         "  5  no usable mouse within the timeout\n"
         "  6  --check: the mouse needs the update\n";
}

}  // namespace mirel
