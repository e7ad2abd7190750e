#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/Device.h"
#include "device/LastError.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"
#include "support/FakeBus.h"
#include "support/RunLoopPump.h"
#include "transport/FRP10Command.h"
#include "transport/HidBusFactory.h"
#include "transport/ScriptedReceiver.h"
#include "transport/VireonBus.h"

namespace rodiz {
namespace {

using test::ScriptedReceiver;

// What the bus and its devices raise, in order.
class Events : public Subscriber<IHardwareBus::PlugUnplug>,
               public Subscriber<IReceiver::LockingChange>,
               public Subscriber<IHardwareDevice::Connect>,
               public Subscriber<IDeviceManager::UnreportedError> {
 public:
  ~Events() override {
    Subscriber<IHardwareBus::PlugUnplug>::leave_all();
    Subscriber<IReceiver::LockingChange>::leave_all();
    Subscriber<IHardwareDevice::Connect>::leave_all();
    Subscriber<IDeviceManager::UnreportedError>::leave_all();
  }
  void onPlug(std::shared_ptr<IHardwareDevice> device) override { add("plug " + device->path(), device); }
  void onUnplug(std::shared_ptr<IHardwareDevice> device) override { add("unplug " + device->path(), device); }
  void onLockingChange(std::shared_ptr<IDevice>, IReceiver::State state, IReceiver::ErrorType error) override {
    add("lock " + std::to_string(static_cast<int>(state)) + "/" + std::to_string(static_cast<int>(error)), nullptr);
  }
  void onConnect(std::shared_ptr<IHardwareDevice> device) override { add("connect " + device->path(), nullptr); }
  void onDisconnect(std::shared_ptr<IHardwareDevice> device) override { add("disconnect " + device->path(), nullptr); }
  void onUnreportedError(const char* context, ErrorCode code, const char*, unsigned long) override {
    add(std::string("error ") + context + "/" + std::to_string(code), nullptr);
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::move(log_);
  }
  std::shared_ptr<IHardwareDevice> last_plugged() {
    std::lock_guard<std::mutex> guard(lock_);
    return plugged_;
  }

 private:
  void add(std::string line, std::shared_ptr<IHardwareDevice> device) {
    std::lock_guard<std::mutex> guard(lock_);
    log_.push_back(std::move(line));
    if (device) plugged_ = std::move(device);
  }
  std::mutex lock_;
  std::vector<std::string> log_;
  std::shared_ptr<IHardwareDevice> plugged_;
};

// A receiver bus on a scripted receiver, its run-loop events run by the test.
class VireonBusTest : public testing::Test {
 protected:
  void SetUp() override {
    manager_ = facade().getimpl();
    pump_ = std::make_unique<test::RunLoopPump>(manager_);
  }
  void TearDown() override {
    if (bus_) bus_->uninitDevice();
    events_.reset();
    bus_.reset();
    pump_->drain();
    pump_.reset();
    manager_.reset();
    facade().reset();
    EXPECT_EQ(0, VireonBus::instances());
    EXPECT_EQ(0, VireonDevice::instances());
  }
  void make_bus(int slots = 6, int protocol = 4) {
    receiver_ = std::make_unique<ScriptedReceiver>(0xC52B, protocol);
    bus_ = std::make_shared<VireonBus>(manager_, receiver_->channel(), protocol, slots);
    bus_->set_timeout_ms(100);
    bus_->set_max_retries(0);
    bus_->initDevice(manager_);
    events_ = std::make_unique<Events>();
    ASSERT_TRUE(events_->Subscriber<IHardwareBus::PlugUnplug>::subscribe(bus_, DeliveryImmediate));
    ASSERT_TRUE(events_->Subscriber<IReceiver::LockingChange>::subscribe(bus_, DeliveryImmediate));
    ASSERT_TRUE(events_->Subscriber<IDeviceManager::UnreportedError>::subscribe(manager_, DeliveryImmediate));
    receiver_->channel()->flush();
  }
  // Hands `report` to the bus as its channel's read thread would.
  void notify(const std::vector<Byte>& report) {
    receiver_->channel()->inject(report);
    receiver_->channel()->flush();
  }
  void follow(int slot) {
    auto device = bus_->device_in_slot(slot);
    ASSERT_TRUE(device);
    ASSERT_TRUE(events_->Subscriber<IHardwareDevice::Connect>::subscribe(device, DeliveryImmediate));
  }

  std::shared_ptr<DeviceManager> manager_;
  std::unique_ptr<test::RunLoopPump> pump_;
  std::unique_ptr<ScriptedReceiver> receiver_;
  std::shared_ptr<VireonBus> bus_;
  std::unique_ptr<Events> events_;
};

TEST_F(VireonBusTest, RegisterRequestsAreSentByteForByte) {
  make_bus();
  receiver_->pair(1, 0x4082);
  receiver_->set_register(0x03, {0x01, 0x22, 0x33});
  receiver_->set_activity({9, 8, 7, 6, 5, 4});
  // Subscribing to the bus's plug events (in make_bus) enabled the notifications.
  EXPECT_EQ((std::vector<std::string>{"81 00 00 00 00", "80 00 00 01 00"}), receiver_->register_requests());
  struct Case {
    const char* what;
    std::function<bool()> run;
    std::vector<std::string> requests;
  };
  const std::vector<Case> cases = {
      {"notifications again", [&] { return bus_->enable_receiver_notifications(); }, {}},
      {"software present", [&] { return bus_->set_software_present(); }, {"81 00 00 00 00", "80 00 00 09 00"}},
      {"slot configured", [&] { return bus_->set_slot_configured(2); }, {"81 03 00 00 00", "80 03 05 22 33"}},
      {"no change writes nothing",
       [&] { return bus_->short_register_bit_operation(0x00, 0, 0x08, 0, 0, 0, 0); },
       {"81 00 00 00 00"}},
      {"open lock", [&] { return bus_->open_lock(); }, {"80 b2 01 00 00"}},
      {"close lock", [&] { return bus_->close_lock(); }, {"80 b2 02 00 00"}},
      {"unpair", [&] { return bus_->unpair(2); }, {"80 b2 03 02 00"}},
      {"activity", [&] { return bus_->read_activity(); }, {"83 b3 00 00 00"}},
      {"count",
       [&] { return FRP10Command::read_receiver_connection_state(bus_.get(), nullptr, nullptr); },
       {"81 02 00 00 00"}},
      {"fake arrival", [&] { return FRP10Command::set_receiver_connection_state(bus_.get()); }, {"80 02 02 00 00"}},
      {"name",
       [&] { return FRP10Command::read_receiver_paired_device_name(bus_.get(), 1, nullptr); },
       {"83 b5 41 00 00"}},
      {"presence withdrawn", [&] { return bus_->shutdown(); }, {"81 00 00 00 00", "80 00 00 01 00"}},
  };
  for (const Case& c : cases) {
    receiver_->forget_requests();
    EXPECT_TRUE(c.run()) << c.what;
    EXPECT_EQ(c.requests, receiver_->register_requests()) << c.what;
  }
  EXPECT_EQ((std::vector<Byte>{9, 8, 7, 6, 5, 4}), bus_->activity());
  EXPECT_EQ((std::array<Byte, 3>{0x05, 0x22, 0x33}), receiver_->register_value(0x03));
}

TEST_F(VireonBusTest, NullReceiverAndRefusedRequestsFailWithTheirReason) {
  make_bus();
  EXPECT_FALSE(FRP10Command::set_receiver_connection_state(nullptr));
  EXPECT_EQ(Frp10Error11, last_error_code());
  EXPECT_FALSE(FRP10Command::read_receiver_connection_state(nullptr, nullptr, nullptr));
  EXPECT_STREQ("null device pointer passed to read_receiver_connection_state!", last_error().text);
  EXPECT_FALSE(FRP10Command::read_receiver_paired_device_name(nullptr, 0, nullptr));
  EXPECT_FALSE(bus_->set_slot_configured(6));
  EXPECT_EQ(IndexOutOfRange, last_error_code());
  receiver_->channel()->fail_writes(WriteError, 0, 1);
  EXPECT_FALSE(bus_->open_lock());
  EXPECT_EQ(WriteError, last_error_code());
}

TEST_F(VireonBusTest, NotificationsOfEveryKind) {
  make_bus(2, 10);
  const std::string slot0 = "fake://receiver:0";
  struct Case {
    const char* what;
    std::vector<Byte> report;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {"connection, link up", {0x10, 0x01, 0x41, 10, 0x00, 0x82, 0x40}, {"plug " + slot0}},
      {"same device again", {0x10, 0x01, 0x41, 10, 0x00, 0x82, 0x40}, {"connect " + slot0}},
      {"link lost: disconnected, stays", {0x10, 0x01, 0x41, 10, 0x40, 0x82, 0x40}, {"disconnect " + slot0}},
      {"another protocol number", {0x10, 0x01, 0x41, 4, 0x00, 0x82, 0x40}, {}},
      {"index 0", {0x10, 0x00, 0x41, 10, 0x00, 0x82, 0x40}, {}},
      {"index above the slots", {0x10, 0x03, 0x41, 10, 0x00, 0x82, 0x40}, {}},
      {"device report reconnects", {0x11, 0x01, 0x00, 0x12, 0x04, 0x02, 0x00}, {"connect " + slot0}},
      {"pairing lock", {0x10, 0xFF, 0x4A, 0x01, 0x00, 0x00, 0x00}, {"lock 1/0"}},
      {"pairing lock timed out", {0x10, 0xFF, 0x4A, 0x00, 0x01, 0x00, 0x00}, {"lock 0/1"}},
      {"unpaired, wrong kind", {0x10, 0x01, 0x40, 0x01, 0x00, 0x00, 0x00}, {}},
      {"unpaired", {0x10, 0x01, 0x40, 0x02, 0x00, 0x00, 0x00}, {"unplug " + slot0}},
      {"report for the empty slot", {0x11, 0x01, 0x00, 0x12, 0x04, 0x02, 0x00}, {}},
      {"short report", {0x10, 0x01, 0x41, 10}, {}},
  };
  for (const Case& c : cases) {
    notify(c.report);
    if (std::string(c.what) == "connection, link up") follow(0);
    EXPECT_EQ(c.events, events_->take()) << c.what;
  }
  EXPECT_FALSE(bus_->device_in_slot(0));
}

TEST_F(VireonBusTest, AnotherProductInAnOccupiedSlotReplacesItsDevice) {
  make_bus();
  notify(receiver_->connection(2, 0x4082, true));
  follow(2);
  notify(receiver_->connection(2, 0x4090, true));
  EXPECT_EQ((std::vector<std::string>{"plug fake://receiver:2", "disconnect fake://receiver:2",
                                      "unplug fake://receiver:2", "plug fake://receiver:2"}),
            events_->take());
  EXPECT_EQ(0x4090, bus_->device_in_slot(2)->pid());
}

TEST_F(VireonBusTest, DeviceConnectsAndDisconnectsSeveralTimes) {
  make_bus();
  notify(receiver_->connection(0, 0x4082, true));
  auto device = bus_->device_in_slot(0);
  follow(0);
  events_->take();
  for (int round = 0; round < 3; ++round) {
    notify(receiver_->connection(0, 0x4082, false));
    EXPECT_FALSE(device->connected());
    EXPECT_FALSE(device->verify_connection_following_timeout());
    std::vector<Byte> request{0x10, 0xFF, 0x00, 0x1A, 0, 0, 0};
    EXPECT_FALSE(device->write(request, false));
    EXPECT_EQ(NotConnected, last_error_code());
    notify(receiver_->connection(0, 0x4082, true));
    EXPECT_TRUE(device->connected());
    EXPECT_TRUE(device->write(request, false));
    EXPECT_TRUE(device->verify_connection_following_timeout());
  }
  EXPECT_EQ(device, bus_->device_in_slot(0));  // the same object all along
  const auto log = events_->take();
  ASSERT_EQ(6u, log.size());
  for (std::size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(i % 2 == 0 ? "disconnect fake://receiver:0" : "connect fake://receiver:0", log[i]);
  }
  // The device's writes go out on the receiver's channel with its index.
  const auto written = receiver_->channel()->written();
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(0x01, written.back()[1]);
}

TEST_F(VireonBusTest, EnumerationAnnouncesWhatIsPairedWithoutPlugEvents) {
  make_bus();
  receiver_->pair(0, 0x4082, true, "Mirel");
  receiver_->pair(3, 0x4090, false);
  const auto devices = bus_->devices();
  ASSERT_EQ(2u, devices.size());
  EXPECT_EQ("fake://receiver:0", devices[0]->path());
  EXPECT_EQ(0x4082, devices[0]->pid());
  EXPECT_EQ(1, devices[0]->bus_type());
  EXPECT_EQ(1, devices[0]->transport_variant());
  EXPECT_TRUE(devices[0]->connected());
  EXPECT_FALSE(devices[1]->connected());
  EXPECT_EQ("Mirel", devices[0]->name());
  EXPECT_EQ(std::vector<std::string>{}, events_->take());
}

TEST_F(VireonBusTest, CountMismatchIsRetriedThreeTimesAndReportedEachTime) {
  make_bus();
  receiver_->pair(0, 0x4082);
  receiver_->claim_connected(2);
  const auto devices = bus_->devices();
  ASSERT_EQ(1u, devices.size());
  EXPECT_EQ((std::vector<std::string>{"error VireonBus/65", "error VireonBus/65", "error VireonBus/65"}),
            events_->take());
  // Notifications enabled once, and once more after the first mismatch.
  int register_zero_reads = 0;
  for (const auto& r : receiver_->register_requests()) register_zero_reads += r == "81 00 00 00 00" ? 1 : 0;
  EXPECT_EQ(2, register_zero_reads);
}

TEST_F(VireonBusTest, NameIsCutAtTheEndOfTheAnswerAndActivityFitsTheSlots) {
  make_bus(1, 4);
  receiver_->pair(0, 0x4082, true, "A very long device name");
  receiver_->claim_name_length(200);
  notify(receiver_->connection(0, 0x4082, true));
  EXPECT_EQ("A very long de", bus_->device_in_slot(0)->name());  // 20 - 6 bytes
  receiver_->set_activity({7, 8, 9, 10, 11, 12});
  ASSERT_TRUE(bus_->read_activity());
  EXPECT_EQ(std::vector<Byte>{7}, bus_->activity());
  EXPECT_EQ(7, bus_->device_in_slot(0)->reserved_value());
}

TEST_F(VireonBusTest, RegisterZeroWrittenByOthersIsRestoredOnTheRunLoop) {
  make_bus();
  ASSERT_TRUE(bus_->enable_receiver_notifications());
  ASSERT_TRUE(bus_->set_software_present());
  pump_->drain();  // our own writes found nothing to restore
  receiver_->set_register(0x00, {0, 0, 0});
  receiver_->forget_requests();
  notify({0x10, 0xFF, 0x80, 0x00, 0x00, 0x00, 0x00});
  pump_->drain();
  // The answer to our own restoring write is seen as well: that check finds
  // nothing to restore and writes nothing, so the bus does not loop.
  EXPECT_EQ((std::vector<std::string>{"81 00 00 00 00", "80 00 00 09 00", "81 00 00 00 00"}),
            receiver_->register_requests());
  EXPECT_EQ((std::array<Byte, 3>{0, 0x09, 0}), receiver_->register_value(0x00));
}

// --- through the device manager

class ReceiverManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    hid_ = std::make_shared<test::FakeBus>();
    HidBusFactory::use_bus([this](std::weak_ptr<IDeviceManager>) { return hid_; });
    manager_ = facade().getimpl();
    manager_->set_device_timeout_ms(150);
    ASSERT_TRUE(manager_->config_set(4, true));
    pump_ = std::make_unique<test::RunLoopPump>(manager_);
    receiver_ = std::make_unique<ScriptedReceiver>();
    receiver_->pair(0, 0x4082);
    receiver_->pair(1, 0x4090);
    receiver_->answer_devices(true);
    ASSERT_TRUE(listener_.subscribe(manager_, DeliveryRunLoop));
    pump_->drain();
  }
  void TearDown() override {
    listener_.leave();
    pump_->drain();
    pump_.reset();
    manager_.reset();
    facade().reset();
    HidBusFactory::use_bus(nullptr);
    receiver_.reset();
    EXPECT_EQ(0, VireonBus::instances());
    EXPECT_EQ(0, VireonDevice::instances());
  }

  class Listener : public Subscriber<IDeviceManager::ArrivalRemoval> {
   public:
    ~Listener() override { leave_all(); }
    void leave() { leave_all(); }
    void onDeviceArrival(std::shared_ptr<IDevice> device) override {
      log.push_back("+" + std::to_string(device->bus_type()) + ":" + device->path());
      devices.push_back(device);
    }
    void onDeviceRemoval(std::shared_ptr<IDevice> device) override {
      log.push_back("-" + std::to_string(device->bus_type()) + ":" + device->path());
    }
    std::vector<std::string> log;
    std::vector<std::shared_ptr<IDevice>> devices;
  };

  std::shared_ptr<test::FakeBus> hid_;
  std::shared_ptr<DeviceManager> manager_;
  std::unique_ptr<test::RunLoopPump> pump_;
  std::unique_ptr<ScriptedReceiver> receiver_;
  Listener listener_;
};

TEST_F(ReceiverManagerTest, PairedDevicesArriveAsDevicesOfTheirOwn) {
  hid_->plug(receiver_->channel());
  pump_->drain();
  EXPECT_EQ((std::vector<std::string>{"+0:fake://receiver", "+1:fake://receiver:0", "+1:fake://receiver:1"}),
            listener_.log);
  auto receiver = std::dynamic_pointer_cast<VireonBus>(listener_.devices[0]);
  ASSERT_TRUE(receiver);
  EXPECT_EQ(2u, receiver->paired_devices().size());
  EXPECT_FALSE(receiver->special_receiver());
  auto paired = std::dynamic_pointer_cast<Device>(listener_.devices[1]);
  ASSERT_TRUE(paired);
  EXPECT_TRUE(paired->connected());
  // A FRAP 2.0 request of the paired device, answered through the receiver.
  EXPECT_TRUE(paired->load_feature_root(false));

  // Claiming the device marks this program and the device's slot on the receiver.
  ASSERT_TRUE(receiver->set_software_present());
  ASSERT_TRUE(receiver->set_slot_configured(1));
  EXPECT_EQ((std::array<Byte, 3>{0x02, 0, 0}), receiver_->register_value(0x03));
  EXPECT_EQ((std::array<Byte, 3>{0x00, 0x09, 0x00}), receiver_->register_value(0x00));

  // A device paired later is announced at once; an unpaired one leaves.
  receiver_->channel()->inject(receiver_->connection(4, 0x4095, true));
  receiver_->channel()->inject({0x10, 0x01, 0x40, 0x02, 0x00, 0x00, 0x00});
  receiver_->channel()->flush();
  pump_->drain();
  EXPECT_EQ((std::vector<std::string>{"+0:fake://receiver", "+1:fake://receiver:0", "+1:fake://receiver:1",
                                      "+1:fake://receiver:4", "-1:fake://receiver:0"}),
            listener_.log);
  listener_.devices.clear();
}

TEST_F(ReceiverManagerTest, UnpluggedReceiverFailsBusyDevicesAndComesBack) {
  hid_->plug(receiver_->channel());
  pump_->drain();
  ASSERT_EQ(3u, listener_.devices.size());
  auto paired = std::dynamic_pointer_cast<Device>(listener_.devices[1]);
  receiver_->answer_devices(false);  // the paired device is busy: no answer yet
  // The system's bus thread takes the receiver away while the command waits.
  const std::size_t before = receiver_->channel()->write_count();
  std::thread system([&] {
    while (receiver_->channel()->write_count() == before) std::this_thread::yield();
    receiver_->pulled_out();
    hid_->unplug(receiver_->channel());
  });
  std::vector<Byte> response;
  const bool result = paired->sendSynchronousCommand({0x10, 0xFF, 0x00, 0x1A, 0x00, 0x00, 0x00}, response, 0, {});
  const ErrorCode code = last_error_code();
  system.join();
  EXPECT_FALSE(result);
  EXPECT_TRUE(code == NotConnected || code == DeviceRemoved) << code;
  pump_->drain();
  EXPECT_EQ((std::vector<std::string>{"+0:fake://receiver", "+1:fake://receiver:0", "+1:fake://receiver:1",
                                      "-1:fake://receiver:0", "-1:fake://receiver:1", "-0:fake://receiver"}),
            listener_.log);
  // Whoever still holds a device of the receiver gets a failure at once.
  EXPECT_FALSE(paired->sendSynchronousCommand({0x10, 0xFF, 0x00, 0x1A, 0x00, 0x00, 0x00}, response, 0, {}));
  EXPECT_EQ(NotConnected, last_error_code());
  paired.reset();
  listener_.devices.clear();
  listener_.log.clear();
  EXPECT_EQ(0, VireonBus::instances());
  EXPECT_EQ(0, VireonDevice::instances());

  receiver_->plugged_back();
  receiver_->answer_devices(true);
  hid_->plug(receiver_->channel());
  pump_->drain();
  EXPECT_EQ((std::vector<std::string>{"+0:fake://receiver", "+1:fake://receiver:0", "+1:fake://receiver:1"}),
            listener_.log);
  listener_.devices.clear();
}

// The receiver's read thread (notifications and routed answers), a paired
// device's commands from the application's thread (which also runs the run
// loop) and the receiver's unplug from the system's bus thread, all at once;
// the point of running it under ThreadSanitizer.
TEST_F(ReceiverManagerTest, ReadThreadCommandsAndUnplugAtOnce) {
  hid_->plug(receiver_->channel());
  pump_->drain();
  ASSERT_EQ(3u, listener_.devices.size());
  auto paired = std::dynamic_pointer_cast<Device>(listener_.devices[1]);
  auto channel = receiver_->channel();
  std::thread system([&] {
    for (int i = 0; i < 20; ++i) {
      channel->inject(receiver_->connection(1, 0x4090, i % 2 == 0));
      channel->inject({0x11, 0x02, 0x00, 0x00, 0x04, 0x02, 0x00});
      channel->inject({0x10, 0xFF, 0x4A, 0x01, 0x00, 0x00, 0x00});
    }
    receiver_->pulled_out();
    hid_->unplug(channel);
  });
  const auto removed = [&] { return listener_.log.size() >= 6; };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!removed() && std::chrono::steady_clock::now() < deadline) {
    std::vector<Byte> response;
    (void)paired->sendSynchronousCommand({0x10, 0xFF, 0x00, 0x1A, 0x00, 0x00, 0x00}, response, 0, {});
    pump_->drain();
  }
  system.join();
  channel->flush();
  pump_->drain();
  std::string seen;
  for (const std::string& entry : listener_.log) seen += entry + " ";
  EXPECT_EQ("-0:fake://receiver", listener_.log.back()) << seen;
  paired.reset();
  listener_.devices.clear();
}

}  // namespace
}  // namespace rodiz
