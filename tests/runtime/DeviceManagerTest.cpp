#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/IDevice.h"
#include "device/LastError.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"
#include "support/FakeBus.h"
#include "support/FakeChannel.h"
#include "support/RunLoopPump.h"
#include "transport/HidBusFactory.h"

namespace rodiz {
namespace {

using test::FakeBus;
using test::FakeChannel;

// A timer the test fires by hand; it records every period it was started with.
class ManualTimer : public ITimer, public Producer<ITimer::TimerEvent> {
 public:
  bool trigger(int ms) override { return start(ms); }
  bool start(int ms) override {
    starts.push_back(ms);
    return true;
  }
  bool stop() override { return true; }
  std::vector<int> starts;
};

class Listener : public Subscriber<IDeviceManager::ArrivalRemoval>,
                 public Subscriber<IDeviceManager::ActiveChanged>,
                 public Subscriber<IDeviceManager::UnreportedError> {
 public:
  ~Listener() override {
    Subscriber<IDeviceManager::ArrivalRemoval>::leave_all();
    Subscriber<IDeviceManager::ActiveChanged>::leave_all();
    Subscriber<IDeviceManager::UnreportedError>::leave_all();
  }
  void onDeviceArrival(std::shared_ptr<IDevice> device) override { events.push_back("+" + hex(device->pid())); }
  void onDeviceRemoval(std::shared_ptr<IDevice> device) override { events.push_back("-" + hex(device->pid())); }
  void onActiveChanged(bool active) override { actives.push_back(active); }
  void onUnreportedError(const char* context, ErrorCode code, const char* message, unsigned long) override {
    errors.push_back(std::string(context) + "/" + std::to_string(code) + "/" + (message ? message : ""));
  }
  static std::string hex(int pid) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(pid));
    return text;
  }
  std::vector<std::string> events;
  std::vector<bool> actives;
  std::vector<std::string> errors;
};

class DeviceManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    bus_ = std::make_shared<FakeBus>();
    HidBusFactory::use_bus([this](std::weak_ptr<IDeviceManager>) {
      ++buses_made_;
      return bus_;
    });
    manager_ = facade().getimpl();
    pump_ = std::make_unique<test::RunLoopPump>(manager_);
  }
  void TearDown() override {
    listener_.reset();
    pump_.reset();
    manager_.reset();
    facade().reset();
    HidBusFactory::use_bus(nullptr);
  }
  // Subscribes the listener to arrivals (this starts the buses) and drains.
  void listen() {
    listener_ = std::make_unique<Listener>();
    ASSERT_TRUE(listener_->Subscriber<IDeviceManager::ArrivalRemoval>::subscribe(manager_, DeliveryRunLoop));
    pump_->drain();
  }
  std::shared_ptr<FakeChannel> channel(int pid, int bus_type, const std::string& path) {
    return std::make_shared<FakeChannel>(pid, bus_type, path);
  }

  std::shared_ptr<FakeBus> bus_;
  int buses_made_ = 0;
  std::shared_ptr<DeviceManager> manager_;
  std::unique_ptr<test::RunLoopPump> pump_;
  std::unique_ptr<Listener> listener_;
};

TEST_F(DeviceManagerTest, AcceptsDevicesByTransportKindAndConfiguration) {
  // The receiver below stays silent when it becomes a receiver bus.
  manager_->set_device_timeout_ms(10);
  ASSERT_TRUE(manager_->config_set(5, true));
  listen();
  bus_->plug(channel(0xC087, 0, "corded"));
  bus_->plug(channel(0xC534, 0, "receiver"));    // item 4 off: a receiver is just a device
  bus_->plug(channel(0x4082, 1, "paired"));      // behind a receiver: item 4 decides
  bus_->plug(channel(0xB023, 2, "classic"));     // item 0
  bus_->plug(channel(0xB024, 3, "low-energy"));  // item 1
  bus_->plug(channel(0xB025, 4, "gatt"));        // always
  pump_->drain();
  EXPECT_EQ((std::vector<std::string>{"+c087", "+c534", "+b025"}), listener_->events);

  // The same receiver with item 4 set (and item 5 clear) is still taken.
  ASSERT_TRUE(manager_->config_set(5, false));
  ASSERT_TRUE(manager_->config_set(4, true));
  pump_->drain();
  const auto devices = manager_->devices();
  std::vector<int> pids;
  for (const auto& device : devices) pids.push_back(device->pid());
  std::sort(pids.begin(), pids.end());
  EXPECT_EQ((std::vector<int>{0x4082, 0xB025, 0xC534}), pids);
}

TEST_F(DeviceManagerTest, SecondPlugOfAKnownPathMakesNoSecondDevice) {
  ASSERT_TRUE(manager_->config_set(5, true));
  listen();
  auto first = channel(0xC087, 0, "same-path");
  bus_->plug(first);
  bus_->plug(channel(0xC087, 0, "same-path"));  // another object for the same channel
  pump_->drain();
  EXPECT_EQ(std::vector<std::string>{"+c087"}, listener_->events);
  bus_->unplug(channel(0xC087, 0, "same-path"));  // removal may carry a fresh object too
  pump_->drain();
  EXPECT_EQ((std::vector<std::string>{"+c087", "-c087"}), listener_->events);
  EXPECT_TRUE(manager_->devices().empty());
  EXPECT_EQ(NoError, last_error_code());
}

TEST_F(DeviceManagerTest, ConfigurationChangesRebuildTheBusesOnlyOnceTheyExist) {
  ASSERT_TRUE(manager_->config_set(5, true));
  EXPECT_EQ(0, buses_made_);
  bus_->plug(channel(0xC087, 0, "corded"));
  listen();
  EXPECT_EQ(1, buses_made_);
  // Devices already there arrive before the first subscriber is stored: it
  // asks for them.
  EXPECT_TRUE(listener_->events.empty());
  EXPECT_EQ(1u, manager_->devices().size());

  ASSERT_TRUE(manager_->config_set(5, true));  // unchanged: nothing happens
  EXPECT_EQ(1, buses_made_);
  ASSERT_TRUE(manager_->config_set(0, true));  // changed: every device goes and comes back
  pump_->drain();
  EXPECT_EQ(2, buses_made_);
  EXPECT_EQ((std::vector<std::string>{"-c087", "+c087"}), listener_->events);

  bool value = true;
  EXPECT_FALSE(manager_->config_set(9, true));
  EXPECT_EQ(InvalidConfigItem, last_error_code());
  EXPECT_FALSE(manager_->config_get(9, &value));
  EXPECT_FALSE(manager_->config_default(9, &value));
  EXPECT_TRUE(manager_->config_default(7, &value));
  EXPECT_TRUE(value);
  EXPECT_TRUE(manager_->config_default(5, &value));
  EXPECT_FALSE(value);
}

TEST_F(DeviceManagerTest, FailingEnumerationRefusesTheFirstSubscription) {
  bus_->fail_enumeration(SystemCallFailed);
  Listener listener;
  EXPECT_FALSE(listener.Subscriber<IDeviceManager::ArrivalRemoval>::subscribe(manager_, DeliveryRunLoop));
  EXPECT_EQ(SystemCallFailed, last_error_code());
  EXPECT_TRUE(manager_->devices().empty());
  EXPECT_EQ(SystemCallFailed, last_error_code());
  bus_->fail_enumeration(NoError);  // nothing is remembered: the next call tries again
  EXPECT_TRUE(listener.Subscriber<IDeviceManager::ArrivalRemoval>::subscribe(manager_, DeliveryRunLoop));
}

TEST_F(DeviceManagerTest, ActiveFlagRaisesOnEveryActivationAndOnRealChanges) {
  listen();
  ASSERT_TRUE(listener_->Subscriber<IDeviceManager::ActiveChanged>::subscribe(manager_, DeliveryImmediate));
  manager_->set_active(true);
  manager_->set_active(false);
  manager_->set_active(false);
  manager_->set_active(true);
  EXPECT_EQ((std::vector<bool>{true, false, true}), listener_->actives);
  EXPECT_TRUE(manager_->is_active());
  pump_->drain();
}

TEST_F(DeviceManagerTest, SoftwareIdAndPersistentDirectory) {
  const int swid = manager_->swid();
  EXPECT_GE(swid, 10);
  EXPECT_LE(swid, 14);
  EXPECT_EQ(swid, manager_->swid());
  manager_->swid(0x1F);
  EXPECT_EQ(0xF, manager_->swid());
  manager_->swid(0x23);
  EXPECT_EQ(3, manager_->swid());
  // The separator is added once and kept whatever its kind; empty stays empty.
  manager_->persistent_data_directory("/var/lib/mirel");
  manager_->persistent_data_directory("C:\\data\\");
  manager_->persistent_data_directory("");
}

TEST_F(DeviceManagerTest, FailingReceiverBusIsRetriedNineTimesThenReported) {
  auto timer = std::make_shared<ManualTimer>();
  manager_->set_timer_factory([timer](int) { return timer; });
  listen();
  ASSERT_TRUE(listener_->Subscriber<IDeviceManager::UnreportedError>::subscribe(manager_, DeliveryImmediate));
  auto receiver = std::make_shared<FakeBus>();
  receiver->fail_enumeration(NoResponse);
  manager_->retry_bus_later(receiver);
  manager_->retry_bus_later(receiver);  // a new failure while pending does not restart the timer
  ASSERT_EQ(std::vector<int>{2000}, timer->starts);

  for (int attempt = 0; attempt < 9; ++attempt) manager_->onTimerEvent(DeviceManager::addbusRetryTimerId);
  std::vector<int> seconds_since_first;
  int total = 0;
  for (int ms : timer->starts) seconds_since_first.push_back((total += ms) / 1000);
  EXPECT_EQ((std::vector<int>{2, 10, 26, 58, 122, 250, 506, 1018, 2042}), seconds_since_first);
  EXPECT_EQ(9, receiver->enumerations());
  ASSERT_EQ(2u, listener_->errors.size());
  EXPECT_EQ("VireonBus/77/Vireon device enumeration failed after max retry attempts", listener_->errors[0]);
  EXPECT_EQ(
      "DeviceManager::addBus retry failed all attempts/77/Vireon device enumeration failed after max retry attempts",
      listener_->errors[1]);
  EXPECT_TRUE(manager_->retry_busses().empty());

  manager_->onTimerEvent(DeviceManager::addbusRetryTimerId);  // nothing left to retry
  manager_->onTimerEvent(7);                                  // not ours
  EXPECT_EQ(9, receiver->enumerations());
}

TEST_F(DeviceManagerTest, ReceiverBusThatRecoversLeavesTheRetryList) {
  auto timer = std::make_shared<ManualTimer>();
  manager_->set_timer_factory([timer](int) { return timer; });
  listen();
  auto receiver = std::make_shared<FakeBus>();
  receiver->fail_enumeration(NoResponse);
  manager_->retry_bus_later(receiver);
  manager_->onTimerEvent(DeviceManager::addbusRetryTimerId);
  receiver->fail_enumeration(NoError);
  manager_->onTimerEvent(DeviceManager::addbusRetryTimerId);
  EXPECT_TRUE(manager_->retry_busses().empty());
  EXPECT_EQ((std::vector<int>{2000, 8000}), timer->starts);
}

TEST_F(DeviceManagerTest, ResumeFromSleepConfirmsEveryDevice) {
  ASSERT_TRUE(manager_->config_set(5, true));
  listen();
  auto corded = channel(0xC087, 0, "corded");
  bus_->plug(corded);
  pump_->drain();
  bus_->power_change(true);
  bus_->power_change(false);
  pump_->drain();
  EXPECT_EQ(std::vector<std::string>{"+c087"}, listener_->events);  // no removal, no second arrival
}

// A bus thread that raises an event holds the manager for a moment inside the
// bus's lock (queuing the event does). A reset meanwhile must end the manager
// on the resetting thread: ending it leaves that bus, whose lock the bus
// thread holds, so ending it there would wait for ever.
TEST_F(DeviceManagerTest, AResetWhileABusThreadHoldsTheManagerEndsItOnTheResettingThread) {
  listen();
  class Holder : public Subscriber<IHardwareBus::PlugUnplug> {
   public:
    ~Holder() override { leave_all(); }
    void onPlug(std::shared_ptr<IHardwareDevice>) override {
      std::shared_ptr<DeviceManager> held = facade().getimpl();
      holding = true;
      // Until the reset has taken the manager out of the facade.
      while (facade().getimpl() == held) std::this_thread::yield();
    }
    std::atomic<bool> holding{false};
  };
  Holder holder;
  ASSERT_TRUE(holder.subscribe(bus_, DeliveryImmediate));
  const std::weak_ptr<DeviceManager> watch = manager_;
  listener_.reset();
  pump_.reset();
  manager_.reset();

  std::thread bus_thread([this] { bus_->plug(channel(0xC087, 0, "corded")); });
  while (!holder.holding) std::this_thread::yield();
  facade().reset();
  EXPECT_TRUE(watch.expired());
  bus_thread.join();
}

}  // namespace
}  // namespace rodiz
