#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/AppTrace.h"
#include "app/LogindInhibitor.h"
#include "support/DbusMockSession.h"
#include "support/ScopedTempDir.h"

namespace mirel {
namespace {

using rodiz::test::DbusMockSession;
using Inhibitor = std::tuple<std::string, std::string, std::string, std::string>;  // what, who, why, mode

// The locks the mocked login manager holds.
std::vector<Inhibitor> list_inhibitors(const DbusMockSession& bus) {
  std::vector<Inhibitor> result;
  sd_bus* client = bus.connect();
  if (client == nullptr) return result;
  sd_bus_message* reply = nullptr;
  if (sd_bus_call_method(client, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                         "ListInhibitors", nullptr, &reply, "") >= 0 &&
      sd_bus_message_enter_container(reply, 'a', "(ssssuu)") > 0) {
    const char* what = nullptr;
    const char* who = nullptr;
    const char* why = nullptr;
    const char* mode = nullptr;
    unsigned uid = 0;
    unsigned pid = 0;
    while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0) {
      result.emplace_back(what, who, why, mode);
    }
  }
  sd_bus_message_unref(reply);
  sd_bus_flush_close_unref(client);
  return result;
}

// The mock drops a lock when it sees its descriptor close, a moment later.
bool released_soon(const DbusMockSession& bus) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!list_inhibitors(bus).empty()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class LogindInhibitorTest : public testing::Test {
 protected:
  void SetUp() override {
    AppTrace::SetDebugOutputEnabled(true);
    AppTrace::SetDebugOutputForTesting([this](const std::string& line) { trace_ += line; });
  }
  void TearDown() override {
    AppTrace::SetDebugOutputForTesting(nullptr);
    AppTrace::SetDebugOutputEnabled(false);
  }
  rodiz::test::ScopedTempDir env_;
  std::string trace_;
};

TEST_F(LogindInhibitorTest, TheLockIsHeldUntilReleasedOrDestroyed) {
  DbusMockSession bus("logind", "org.freedesktop.login1");
  ASSERT_TRUE(bus.ready()) << bus.error();
  env_.set_env("DBUS_SYSTEM_BUS_ADDRESS", bus.address());
  {
    LogindInhibitor inhibitor;
    ASSERT_TRUE(inhibitor.Acquire("Updating the mouse")) << trace_;
    EXPECT_TRUE(inhibitor.Acquire("a second time holds the same lock"));
    EXPECT_EQ((std::vector<Inhibitor>{{"sleep:shutdown:idle", "Mirel Firmware Update", "Updating the mouse", "block"}}),
              list_inhibitors(bus));
    inhibitor.Release();
    EXPECT_FALSE(inhibitor.held());
    EXPECT_TRUE(released_soon(bus));
    ASSERT_TRUE(inhibitor.Acquire("Updating the mouse"));
    EXPECT_EQ(1u, list_inhibitors(bus).size());
  }
  EXPECT_TRUE(released_soon(bus));
}

// No system bus, or a bus without a login manager: a trace line, no lock,
// and the caller goes on.
TEST_F(LogindInhibitorTest, WithoutALoginManagerTheUpdateGoesOn) {
  env_.set_env("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (env_.path() / "no-bus").string());
  LogindInhibitor without_bus;
  EXPECT_FALSE(without_bus.Acquire("Updating the mouse"));
  EXPECT_FALSE(without_bus.held());
  EXPECT_NE(std::string::npos, trace_.find("the update goes on")) << trace_;

  DbusMockSession other("timedated", "org.freedesktop.timedate1");
  ASSERT_TRUE(other.ready()) << other.error();
  env_.set_env("DBUS_SYSTEM_BUS_ADDRESS", other.address());
  trace_.clear();
  LogindInhibitor without_logind;
  EXPECT_FALSE(without_logind.Acquire("Updating the mouse"));
  EXPECT_NE(std::string::npos, trace_.find("The login manager cannot keep the machine awake")) << trace_;
}

}  // namespace
}  // namespace mirel
