// The hidraw bus's resume notification against a real D-Bus daemon: logind's
// PrepareForSleep signal from python-dbusmock's logind template on a private
// system bus, and the bus without any system bus.
#include <gtest/gtest.h>

#include <systemd/sd-bus.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "Linux/HidrawBus.h"
#include "Linux/HidrawSystem.h"
#include "log/LogTestFixture.h"
#include "runtime/Subscriber.h"
#include "support/DbusMockSession.h"
#include "support/ScopedTempDir.h"

namespace rodiz {
namespace {

class PowerRecorder : public Subscriber<IHardwareBus::PlugUnplug> {
 public:
  ~PowerRecorder() override { leave_all(); }
  void onPowerChange(bool stand_by) override {
    std::lock_guard<std::mutex> guard(lock_);
    changes_.push_back(stand_by);
    changed_.notify_all();
  }
  std::vector<bool> wait_for(std::size_t count) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::seconds(10), [&] { return changes_.size() >= count; });
    return changes_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<bool> changes_;
};

// logind's PrepareForSleep, as the mock emits it on its bus.
bool emit_prepare_for_sleep(const test::DbusMockSession& system_bus, bool going_to_sleep) {
  sd_bus* client = system_bus.connect();
  if (client == nullptr) return false;
  const int result = sd_bus_call_method(
      client, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.DBus.Mock", "EmitSignal", nullptr,
      nullptr, "sssav", "org.freedesktop.login1.Manager", "PrepareForSleep", "b", 1, "b", going_to_sleep ? 1 : 0);
  sd_bus_flush_close_unref(client);
  return result >= 0;
}

TEST(HidrawResumeTest, AWakeUpSignalledOnTheSystemBusIsRaisedAsAPowerChange) {
  test::DbusMockSession system_bus("logind", "org.freedesktop.login1");
  ASSERT_TRUE(system_bus.ready()) << system_bus.error();
  test::ScopedTempDir scope;
  scope.set_env("DBUS_SYSTEM_BUS_ADDRESS", system_bus.address());
  auto bus = std::make_shared<HidrawBus>(std::weak_ptr<IDeviceManager>(), std::make_shared<HidrawSystem>());
  PowerRecorder recorder;
  // Subscribing starts the bus, which is listening when this returns.
  ASSERT_TRUE(recorder.subscribe(bus, DeliveryImmediate));

  // Going to sleep is not a wake-up; each wake-up is one notification.
  ASSERT_TRUE(emit_prepare_for_sleep(system_bus, true));
  ASSERT_TRUE(emit_prepare_for_sleep(system_bus, false));
  EXPECT_EQ(std::vector<bool>{false}, recorder.wait_for(1));
  ASSERT_TRUE(emit_prepare_for_sleep(system_bus, false));
  EXPECT_EQ((std::vector<bool>{false, false}), recorder.wait_for(2));
  bus.reset();
}

class HidrawNoSystemBusTest : public test::LogTest {};

TEST_F(HidrawNoSystemBusTest, WithoutASystemBusTheBusSaysSoOnceAndCarriesOn) {
  start({{"loggingoutput", 2}, {"logginglevel", 2}});
  dir_.set_env("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir_.str() + "/no-system-bus");
  auto bus = std::make_shared<HidrawBus>(std::weak_ptr<IDeviceManager>(), std::make_shared<HidrawSystem>());
  PowerRecorder recorder;
  ASSERT_TRUE(recorder.subscribe(bus, DeliveryImmediate));
  // Listing goes on as before; asking again does not say it again.
  bus->devices();
  bus->devices();
  bus.reset();
  const auto lines = console();
  const auto said = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("no system bus") != std::string::npos;
  });
  EXPECT_EQ(1, said);
  // The bus went on: its notification thread ran until the bus was destroyed.
  const auto ran = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("HidrawBus::notification_thread start") != std::string::npos;
  });
  EXPECT_EQ(1, ran);
}

}  // namespace
}  // namespace rodiz
