#include <gtest/gtest.h>

#include <climits>

#include "app/CMirelDFUApp.h"
#include "app/CommandLine.h"
#include "app/SimFaultList.h"
#include "support/ScopedTempDir.h"

namespace mirel {
namespace {

AppOptions parse(std::vector<std::string> args, bool* ok = nullptr, std::string* error = nullptr) {
  AppOptions options;
  std::string message;
  const bool result = CommandLine::Parse(args, &options, &message);
  if (ok) *ok = result;
  if (error) *error = message;
  return options;
}

TEST(CommandLineTest, WholeArgumentOptionsIgnoreCase) {
  const AppOptions options = parse({"/force", "/Log", "/SKIPmouse", "/skipdongle", "/ForceRepairing"});
  EXPECT_TRUE(options.force);
  EXPECT_TRUE(options.logEnabled);
  EXPECT_TRUE(options.skipMouse);
  EXPECT_TRUE(options.skipReceiver);
  EXPECT_TRUE(options.forceRepairing);
  EXPECT_FALSE(parse({"/LOGS"}).logEnabled);
}

TEST(CommandLineTest, ValueOptionsAreFoundInsideArgumentsWithCase) {
  EXPECT_FALSE(parse({"/forcedir=c:\\x"}).force);  // lower case is not the option
  const AppOptions empty = parse({"/FORCEDIR="});
  EXPECT_FALSE(empty.force);
  EXPECT_TRUE(empty.forceDirectory.empty());

  const AppOptions both = parse({"/FORCEDIR=C:\\a/FAILMOUSE=3"});
  EXPECT_EQ("C:\\a/FAILMOUSE=3", both.forceDirectory);
  EXPECT_TRUE(both.force);
  EXPECT_EQ(3, both.failMouse);

  const AppOptions mouse_first = parse({"/FAILMOUSE=1/FAILDONGLE=2"});
  EXPECT_EQ(1, mouse_first.failMouse);
  EXPECT_EQ(0, mouse_first.failReceiver);
  EXPECT_EQ(2, parse({"x/FAILDONGLE=2"}).failReceiver);
}

TEST(CommandLineTest, OddNumbersNeitherStopNorOverflow) {
  EXPECT_EQ(0, parse({"/FAILMOUSE=abc"}).failMouse);
  EXPECT_EQ(-7, parse({"/FAILMOUSE=  -7x"}).failMouse);
  EXPECT_EQ(INT_MAX, parse({"/FAILMOUSE=99999999999999999999"}).failMouse);
  EXPECT_EQ(INT_MIN, parse({"/FAILDONGLE=-99999999999999999999"}).failReceiver);
  EXPECT_EQ(0, parse({"/FAILMOUSE="}).failMouse);
}

TEST(CommandLineTest, PortOptionsAndTheirErrors) {
  bool ok = false;
  std::string error;
  AppOptions options = parse({"--simulate", "--sim-version=14.1.9", "--sim-faults=drop=5", "--console", "--yes"}, &ok);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(options.simulate && options.console && options.yes);
  EXPECT_EQ("14.1.9", options.simVersion);
  EXPECT_EQ("drop=5", options.simFaults);
  EXPECT_EQ("corded", options.simConnection);

  for (const char* how : {"corded", "receiver", "both"}) {
    options = parse({std::string("--simulate=") + how, "--sim-receiver-faults=storm=2"}, &ok);
    EXPECT_TRUE(ok && options.simulate) << how;
    EXPECT_EQ(how, options.simConnection);
    EXPECT_EQ("storm=2", options.simReceiverFaults);
  }
  options = parse({"--simulate=bluetooth"}, &ok, &error);
  EXPECT_FALSE(ok);
  EXPECT_NE(std::string::npos, error.find("corded, receiver or both"));

  options = parse({"--bogus", "/FORCE"}, &ok, &error);
  EXPECT_FALSE(ok);
  EXPECT_NE(std::string::npos, error.find("--bogus"));
  EXPECT_TRUE(options.force);  // the tool's own options still count

  parse({"--console=1"}, &ok, &error);
  EXPECT_FALSE(ok);
  parse({"--sim-version"}, &ok, &error);
  EXPECT_FALSE(ok);
  parse({"--sim-latency-us=fast"}, &ok, &error);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(parse({"--help"}).help);
  EXPECT_TRUE(parse({"--version"}).version);
}

// Scripts hear about every word the program does not understand; the tool's
// own "/" options keep their rules, which ignore what they do not know.
TEST(CommandLineTest, StrictParsing) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    const char* named;  // the error names this (for failures)
    bool (*holds)(const AppOptions&);
  };
  const Case cases[] = {
      {{"-h"}, true, nullptr, [](const AppOptions& o) { return o.help; }},
      {{"-?"}, true, nullptr, [](const AppOptions& o) { return o.help; }},
      {{"-V"}, true, nullptr, [](const AppOptions& o) { return o.version; }},
      {{"-y"}, true, nullptr, [](const AppOptions& o) { return o.yes && o.EffectiveTimeoutSeconds() == 120; }},
      {{"--yes", "--timeout=3"}, true, nullptr, [](const AppOptions& o) { return o.EffectiveTimeoutSeconds() == 3; }},
      {{"--timeout", "7"}, true, nullptr, [](const AppOptions& o) { return o.EffectiveTimeoutSeconds() == 7; }},
      {{"-y", "--timeout=0"}, true, nullptr, [](const AppOptions& o) { return o.EffectiveTimeoutSeconds() == 0; }},
      {{}, true, nullptr, [](const AppOptions& o) { return o.EffectiveTimeoutSeconds() == 0; }},
      {{"--check", "--json"}, true, nullptr, [](const AppOptions& o) { return o.check && o.json; }},
      {{"/UNKNOWN", "/force"}, true, nullptr, [](const AppOptions& o) { return o.force; }},
      {{"x/FAILDONGLE=2"}, true, nullptr, [](const AppOptions& o) { return o.failReceiver == 2; }},
      {{"stray"}, false, "'stray'", nullptr},
      {{""}, false, "''", nullptr},
      {{"-"}, false, "'-'", nullptr},
      {{"-x"}, false, "'-x'", nullptr},
      {{"-yV"}, false, "'-yV'", nullptr},
      {{"--"}, false, "'--'", nullptr},
      {{"-v"}, false, "'-v'", nullptr},  // not -V: short options are matched with case
      {{"--timeout"}, false, "--timeout", nullptr},
      {{"--timeout=-1"}, false, "'-1'", nullptr},
      {{"--timeout=86401"}, false, "86400", nullptr},
      {{"--timeout=99999999999"}, false, "99999999999", nullptr},
      {{"--timeout= 5"}, false, "' 5'", nullptr},
      {{"--check=1"}, false, "--check", nullptr},
      {{"--json=yes"}, false, "--json", nullptr},
      // The first problem is the one named.
      {{"first", "-x"}, false, "'first'", nullptr},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& arg : c.args) joined += "[" + arg + "]";
    bool ok = false;
    std::string error;
    const AppOptions options = parse(c.args, &ok, &error);
    EXPECT_EQ(c.ok, ok) << joined << ": " << error;
    if (c.named) {
      EXPECT_NE(std::string::npos, error.find(c.named)) << joined << ": " << error;
    }
    if (c.holds) {
      EXPECT_TRUE(c.holds(options)) << joined;
    }
  }
}

TEST(CommandLineTest, HelpListsEveryOptionAndExitStatus) {
  const std::string usage = CommandLine::Usage("prog");
  for (const char* text : {"-h, -?, --help", "-V, --version", "-y, --yes", "--timeout=SECONDS", "--check", "--json",
                           "--console", "/LOG", "/FORCE"}) {
    EXPECT_NE(std::string::npos, usage.find(text)) << text;
  }
  for (ExitStatus status :
       {ExitStatus::Updated, ExitStatus::Failed, ExitStatus::BadCommandLine, ExitStatus::ClosedEarly,
        ExitStatus::UpToDate, ExitStatus::NoDevice, ExitStatus::UpdateNeeded}) {
    EXPECT_NE(std::string::npos, usage.find("\n  " + std::to_string(ToInt(status)) + "  ")) << ToInt(status);
  }
}

TEST(CommandLineTest, UsbFrameOption) {
  struct Case {
    std::string arg;
    bool ok;
    int frame_us;
  };
  const Case cases[] = {
      {"--sim-usb-frames", true, 1000},        {"--sim-usb-frames=125", true, 125}, {"--sim-usb-frames=0", false, 0},
      {"--sim-usb-frames=", false, 0},         {"--sim-usb-frames=1ms", false, 0},  {"--sim-usb-frames=-5", false, 0},
      {"--sim-usb-frames=99999999", false, 0},
  };
  for (const Case& c : cases) {
    bool ok = false;
    std::string error;
    const AppOptions options = parse({c.arg}, &ok, &error);
    EXPECT_EQ(c.ok, ok) << c.arg;
    EXPECT_TRUE(options.simulate) << c.arg;
    if (c.ok) {
      EXPECT_EQ(c.frame_us, options.simFrameUs) << c.arg;
    } else {
      EXPECT_NE(std::string::npos, error.find("--sim-usb-frames")) << c.arg;
    }
  }
  EXPECT_EQ(0, parse({"--simulate"}).simFrameUs);
}

TEST(CommandLineTest, TestImageAndTraceOptions) {
  bool ok = false;
  const AppOptions options = parse({"--allow-test-images", "--trace"}, &ok);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(options.allowTestImages);
  EXPECT_TRUE(options.trace);
  EXPECT_FALSE(parse({}).allowTestImages);
  parse({"--allow-test-images=yes"}, &ok);
  EXPECT_FALSE(ok);
  const std::string usage = CommandLine::Usage("prog");
  for (const char* documented : {"--allow-test-images", "--trace", "MIREL_TRACE", "countdown", "refuse-restart"}) {
    EXPECT_NE(std::string::npos, usage.find(documented)) << documented;
  }
  for (std::size_t start = 0, end; start < usage.size(); start = end + 1) {
    end = usage.find('\n', start);
    if (end == std::string::npos) end = usage.size();
    EXPECT_LE(end - start, 80u) << usage.substr(start, end - start);
  }
}

// Only the simulated mouse, or a rig the user vouches for, receives test images.
TEST(CommandLineTest, TestImagesAreFlashedOnlyWhereAllowed) {
  struct Case {
    bool test_images, simulated, allowed, may_flash;
  };
  const Case cases[] = {
      {false, false, false, true}, {true, false, false, false}, {true, true, false, true}, {true, false, true, true}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.may_flash, CMirelDFUApp::MayFlash(c.test_images, c.simulated, c.allowed))
        << c.test_images << c.simulated << c.allowed;
  }
}

TEST(CommandLineTest, TraceEnvironmentVariable) {
  rodiz::test::ScopedTempDir dir;
  const std::pair<const char*, bool> cases[] = {{"", false}, {"0", false}, {"1", true}, {"yes", true}};
  for (const auto& [value, asked] : cases) {
    dir.set_env("MIREL_TRACE", value);
    EXPECT_EQ(asked, CMirelDFUApp::TraceRequestedByEnvironment()) << value;
  }
}

TEST(SimFaultListTest, EveryItemIsCheckedAndEveryMistakeNamed) {
  struct Case {
    const char* text;
    const char* complaint;  // nullptr: accepted
  };
  const Case cases[] = {
      {"", nullptr},
      {"drop=120,image=1,", nullptr},
      {"stay-away,refuse-restart,foreign-swid,silent", nullptr},
      {"reappear-ms=-1,late=3,late-ms=0,status=0,status-value=255", nullptr},
      {"status-value=300", "'status-value=300' is not allowed: status-value takes a whole number from 0 to 255"},
      {"image=3", "'image=3' is not allowed: image takes a whole number from 1 to 2"},
      {"drop=0x10", "'drop=0x10' is not allowed: drop takes a whole number"},
      {"drop= 5", "'drop= 5' is not allowed"},
      {"drop=", "'drop=' is not allowed"},
      {"drop=99999999999999999999", "is not allowed"},
      {"reappear-ms=-2", "from -1 to"},
      {"silent=1", "'silent=1' is not allowed: silent takes no value"},
      {"drop=1,,vanishh=2", "'vanishh=2' is not a fault of the simulated mouse; the faults are drop,"},
  };
  for (const Case& c : cases) {
    std::string error;
    const bool ok = SimFaultList::Check(c.text, &error);
    EXPECT_EQ(c.complaint == nullptr, ok) << c.text << ": " << error;
    if (c.complaint) {
      EXPECT_EQ(0u, error.find("option --sim-faults: ")) << error;
      EXPECT_NE(std::string::npos, error.find(c.complaint)) << error;
    }
  }
}

}  // namespace
}  // namespace mirel
