#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "device/Device.h"
#include "features/IFeature0003FirmwareInfo.h"
#include "features/IFeature00c2DFUControl.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"
#include "sim/SimBus.h"
#include "sim/SimHarness.h"
#include "sim/SimReceiver.h"
#include "support/RunLoopPump.h"
#include "transport/HidBusFactory.h"
#include "transport/VireonBus.h"

namespace rodiz {
namespace {

std::string hex(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(value));
  return text;
}

// The application's view through the facade, delivered by the run loop.
class Application : public Subscriber<IDeviceManager::ArrivalRemoval>,
                    public Subscriber<IDevice::Connect>,
                    public Subscriber<IReceiver::LockingChange> {
 public:
  ~Application() override {
    Subscriber<IDeviceManager::ArrivalRemoval>::leave_all();
    Subscriber<IDevice::Connect>::leave_all();
    Subscriber<IReceiver::LockingChange>::leave_all();
  }
  void onDeviceArrival(std::shared_ptr<IDevice> device) override {
    log.push_back("+" + hex(device->pid()));
    devices.push_back(device);
  }
  void onDeviceRemoval(std::shared_ptr<IDevice> device) override { log.push_back("-" + hex(device->pid())); }
  void onConnect(std::shared_ptr<IDevice>, bool) override { log.push_back("connect"); }
  void onDisconnect(std::shared_ptr<IDevice>) override { log.push_back("disconnect"); }
  void onLockingChange(std::shared_ptr<IDevice>, IReceiver::State state, IReceiver::ErrorType error) override {
    log.push_back("lock " + std::to_string(static_cast<int>(state)) + "/" + std::to_string(static_cast<int>(error)));
  }
  std::shared_ptr<IDevice> find(int pid) {
    for (auto it = devices.rbegin(); it != devices.rend(); ++it) {
      if ((*it)->pid() == pid) return *it;
    }
    return nullptr;
  }
  std::vector<std::string> log;
  std::vector<std::shared_ptr<IDevice>> devices;
};

// A simulated receiver with a simulated mouse in its first slot on the
// simulated bus, and the library's facade with receivers accepted.
class ReceiverEndToEndTest : public testing::Test {
 protected:
  void start(const sim::SimReceiverFaults& faults = sim::SimReceiverFaults()) {
    sim::SimReceiver::Config config;
    config.latency = std::chrono::microseconds(200);
    config.lock_timeout = std::chrono::milliseconds(100);
    receiver_ = std::make_shared<sim::SimReceiver>(config);
    receiver_->set_faults(faults);
    mouse_ = std::make_shared<sim::SimMouse>(test::SimHarness::fast_config());
    ASSERT_EQ(0, receiver_->pair(mouse_, "Mirel"));
    bus_ = std::make_shared<sim::SimBus>();
    bus_->add_device(receiver_);
    receiver_->plug();
    HidBusFactory::use_bus([this](std::weak_ptr<IDeviceManager>) { return bus_; });
    manager_ = facade().getimpl();
    manager_->set_device_timeout_ms(150);
    pump_ = std::make_unique<test::RunLoopPump>(manager_);
    ASSERT_TRUE(facade().config_set(4, true));
    ASSERT_TRUE(app_.Subscriber<IDeviceManager::ArrivalRemoval>::subscribe(manager_, DeliveryRunLoop));
    // Like the application: the devices found while subscribing are taken from the list.
    for (const auto& device : facade().devices()) app_.onDeviceArrival(device);
    ASSERT_TRUE(pump_->run_until([&] { return app_.find(0xC087) != nullptr; }));
  }
  void TearDown() override {
    app_.devices.clear();
    pump_.reset();
    manager_.reset();
    facade().reset();
    HidBusFactory::use_bus(nullptr);
    if (bus_) {
      bus_->remove_device(receiver_);
      bus_->wait_idle();
    }
    EXPECT_EQ(0, VireonBus::instances());
    EXPECT_EQ(0, VireonDevice::instances());
  }
  std::shared_ptr<VireonBus> receiver_bus() { return std::dynamic_pointer_cast<VireonBus>(app_.find(0xC52B)); }

  std::shared_ptr<sim::SimReceiver> receiver_;
  std::shared_ptr<sim::SimMouse> mouse_;
  std::shared_ptr<sim::SimBus> bus_;
  std::shared_ptr<DeviceManager> manager_;
  std::unique_ptr<test::RunLoopPump> pump_;
  Application app_;
};

TEST_F(ReceiverEndToEndTest, MouseIsDiscoveredAndSwitchingItOffAndOnIsFollowed) {
  start();
  EXPECT_EQ((std::vector<std::string>{"+c52b", "+c087"}), app_.log);
  std::shared_ptr<IDevice> mouse = app_.find(0xC087);
  ASSERT_TRUE(mouse);
  EXPECT_EQ(1, mouse->bus_type());
  EXPECT_EQ(1, mouse->transport_variant());
  EXPECT_EQ("Mirel", mouse->name());
  auto info = mouse->feature<IFeature0003FirmwareInfo>();
  ASSERT_TRUE(info);
  std::string version;
  ASSERT_TRUE(info->GetFwFormattedVersion(&version));
  EXPECT_EQ("14.2.6", version);
  EXPECT_GT(receiver_->activity(0), 0);

  ASSERT_TRUE(app_.Subscriber<IDevice::Connect>::subscribe(mouse, DeliveryRunLoop));
  EXPECT_TRUE(mouse->connected());
  app_.log.clear();
  for (auto link : {sim::SimReceiver::Link::SwitchedOff, sim::SimReceiver::Link::OutOfRange}) {
    receiver_->set_link(0, link);
    ASSERT_TRUE(pump_->run_until([&] { return app_.log.size() == 1; }));
    receiver_->set_link(0, sim::SimReceiver::Link::Connected);
    ASSERT_TRUE(pump_->run_until([&] { return app_.log.size() == 2; }));
    EXPECT_EQ((std::vector<std::string>{"disconnect", "connect"}), app_.log);
    app_.log.clear();
  }
  // Asleep: back by itself.
  receiver_->sleep(0, std::chrono::milliseconds(20));
  ASSERT_TRUE(pump_->run_until([&] { return app_.log.size() == 2; }));
  EXPECT_EQ((std::vector<std::string>{"disconnect", "connect"}), app_.log);
  ASSERT_TRUE(info->GetFwFormattedVersion(&version));
}

TEST_F(ReceiverEndToEndTest, PairingLockNewDeviceAndUnpairing) {
  start();
  std::shared_ptr<VireonBus> bus = receiver_bus();
  ASSERT_TRUE(bus);
  ASSERT_TRUE(app_.Subscriber<IReceiver::LockingChange>::subscribe(bus, DeliveryRunLoop));
  app_.log.clear();
  // Opened and left alone: it times out.
  ASSERT_TRUE(bus->open_lock());
  ASSERT_TRUE(pump_->run_until([&] { return app_.log.size() == 2; }));
  EXPECT_EQ((std::vector<std::string>{"lock 1/0", "lock 0/1"}), app_.log);
  app_.log.clear();
  // Opened, and a second mouse pairs.
  ASSERT_TRUE(bus->open_lock());
  ASSERT_TRUE(pump_->run_until([&] { return app_.log.size() == 1; }));
  auto second = std::make_shared<sim::SimMouse>(test::SimHarness::fast_config());
  ASSERT_EQ(1, receiver_->pair_through_lock(second, "Second"));
  ASSERT_TRUE(pump_->run_until([&] { return app_.log.size() == 3; }));
  // The arrival takes one more pass through the run loop (the bus's plug
  // event, then the manager's arrival), so the closing lock may come first.
  std::sort(app_.log.begin() + 1, app_.log.end());
  EXPECT_EQ((std::vector<std::string>{"lock 1/0", "+c087", "lock 0/0"}), app_.log);
  EXPECT_EQ(2u, bus->paired_devices().size());
  ASSERT_TRUE(bus->read_activity());
  app_.log.clear();
  // Unpairing the first mouse while it is in use.
  std::shared_ptr<IDevice> first = bus->paired_devices().front();
  ASSERT_TRUE(first);
  ASSERT_TRUE(bus->unpair(1));
  ASSERT_TRUE(pump_->run_until([&] { return app_.log.size() == 1; }));
  EXPECT_EQ(std::vector<std::string>{"-c087"}, app_.log);
  EXPECT_TRUE(first->removed());
  auto info = first->feature<IFeature0003FirmwareInfo>();
  std::string version;
  EXPECT_FALSE(info && info->GetFwFormattedVersion(&version));
  EXPECT_EQ(1u, bus->paired_devices().size());
}

TEST_F(ReceiverEndToEndTest, MouseRebootsIntoItsBootloaderThroughTheReceiver) {
  start();
  std::shared_ptr<IDevice> mouse = app_.find(0xC087);
  ASSERT_TRUE(mouse);
  auto control = mouse->feature<IFeature00c2DFUControl>();
  ASSERT_TRUE(control);
  app_.log.clear();
  ASSERT_TRUE(control->SetDfuControl(1, 0));
  ASSERT_TRUE(pump_->run_until([&] { return app_.log.size() >= 2; }));
  EXPECT_EQ((std::vector<std::string>{"-c087", "+aadb"}), app_.log);
  EXPECT_TRUE(mouse->removed());
}

TEST_F(ReceiverEndToEndTest, ReceiverFaultsLeaveTheMouseUsable) {
  struct Case {
    const char* faults;
  };
  for (const Case& c : {Case{"lose-register=1"}, Case{"error-register=2"}, Case{"storm=4,storm-count=20"},
                        Case{"stray-index=3"}, Case{"error-register=0,error-byte=2"}}) {
    SCOPED_TRACE(c.faults);
    sim::SimReceiverFaults faults;
    std::string error;
    ASSERT_TRUE(sim::SimReceiverFaults::parse(c.faults, &faults, &error)) << error;
    start(faults);
    std::shared_ptr<IDevice> mouse = app_.find(0xC087);
    ASSERT_TRUE(mouse);
    auto info = mouse->feature<IFeature0003FirmwareInfo>();
    ASSERT_TRUE(info);
    std::string version;
    EXPECT_TRUE(info->GetFwFormattedVersion(&version));
    info.reset();
    mouse.reset();
    TearDown();
    app_.log.clear();
    bus_.reset();
  }
}

TEST(SimReceiverFaultsTest, ParsesTheCommandLineForm) {
  sim::SimReceiverFaults faults;
  std::string error;
  ASSERT_TRUE(sim::SimReceiverFaults::parse("lose-register=3,storm=0x10,storm-count=5,error-byte=7", &faults, &error));
  EXPECT_EQ(3, faults.lose_register_answer);
  EXPECT_EQ(16, faults.storm_after_register);
  EXPECT_EQ(5, faults.storm_count);
  EXPECT_EQ(7, faults.register_error);
  for (const char* bad : {"lose-register", "storm=-1", "error-byte=300", "sparks=1", "stray-index=1x"}) {
    EXPECT_FALSE(sim::SimReceiverFaults::parse(bad, &faults, &error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace rodiz
