#include <gtest/gtest.h>

#include <climits>

#include "app/CommandLine.h"

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
  parse({"stray", "/UNKNOWN", ""}, &ok);
  EXPECT_TRUE(ok);  // other arguments are ignored, as they always were
}

}  // namespace
}  // namespace mirel
