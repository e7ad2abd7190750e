#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/Device.h"
#include "device/LastError.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"
#include "support/FakeBluetoothBus.h"
#include "support/FakeBluetoothDevice.h"
#include "support/FakeBus.h"
#include "support/FakeChannel.h"
#include "support/FrapScript.h"
#include "support/RunLoopPump.h"
#include "support/ScopedTempDir.h"
#include "transport/HidBusFactory.h"
#include "transport/PairingBus.h"
#include "transport/PairingDevice.h"

namespace rodiz {
namespace {

using test::FakeBluetoothBus;
using test::FakeBluetoothDevice;
using test::FakeBus;
using test::FakeChannel;

constexpr const char* kRadio = "\\\\?\\bthport#radio1";
constexpr const char* kOtherRadio = "\\\\?\\bthport#radio2";

// The bus below the filter: hand-driven channels, with a Bluetooth layer.
class InnerBus : public FakeBus {
 public:
  explicit InnerBus(std::shared_ptr<FakeBluetoothBus> bluetooth) : bluetooth_(std::move(bluetooth)) {}
  std::vector<std::shared_ptr<IBluetoothBus>> bluetooth_busses() override { return {bluetooth_}; }
  std::vector<std::shared_ptr<IHardwareSecondaryBus>> secondary_busses() override { return {}; }

 private:
  std::shared_ptr<FakeBluetoothBus> bluetooth_;
};

class UnopenableChannel : public FakeChannel {
 public:
  using FakeChannel::FakeChannel;
  bool open() override { return false; }
};

// What the filter announces, and the Connect events of the devices it made.
class Events : public Subscriber<IHardwareBus::PlugUnplug>, public Subscriber<IHardwareDevice::Connect> {
 public:
  ~Events() override {
    Subscriber<IHardwareBus::PlugUnplug>::leave_all();
    Subscriber<IHardwareDevice::Connect>::leave_all();
  }
  void onPlug(std::shared_ptr<IHardwareDevice> device) override {
    log.push_back("+" + device->path());
    last = device;
    (void)Subscriber<IHardwareDevice::Connect>::subscribe(device, DeliveryImmediate);
  }
  void onUnplug(std::shared_ptr<IHardwareDevice> device) override {
    log.push_back("-" + device->path());
    last = device;
  }
  void onConnect(std::shared_ptr<IHardwareDevice> device) override { log.push_back("connect " + device->path()); }
  void onDisconnect(std::shared_ptr<IHardwareDevice> device) override { log.push_back("disconnect " + device->path()); }
  std::vector<std::string> take() { return std::exchange(log, {}); }
  std::vector<std::string> log;
  std::shared_ptr<IHardwareDevice> last;
};

class Reads : public Subscriber<IHardwareDevice::Read> {
 public:
  ~Reads() override { leave_all(); }
  void onRead(std::vector<Byte> report, bool, unsigned int, unsigned int) override {
    std::lock_guard<std::mutex> guard(lock);
    reports.push_back(std::move(report));
  }
  std::size_t count() {
    std::lock_guard<std::mutex> guard(lock);
    return reports.size();
  }
  std::mutex lock;
  std::vector<std::vector<Byte>> reports;
};

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The filter over a hand-driven bus and Bluetooth layer; the filter's own
// events are heard immediately, the ones from below go through the run loop.
class PairingBusTest : public testing::Test {
 protected:
  void SetUp() override {
    manager_ = facade().getimpl();
    pump_ = std::make_unique<test::RunLoopPump>(manager_);
    bluetooth_ = std::make_shared<FakeBluetoothBus>();
    bluetooth_->add_radio(kRadio);
    inner_ = std::make_shared<InnerBus>(bluetooth_);
  }
  void TearDown() override {
    events_.reset();
    pairing_.reset();
    pump_->drain();
    pump_.reset();
    manager_.reset();
    facade().reset();
  }
  // Starts (or restarts) the filter with the cache in the test's folder.
  void start() {
    events_.reset();
    pairing_.reset();
    pump_->drain();
    pairing_ = std::make_shared<PairingBus>(manager_, inner_);
    events_ = std::make_unique<Events>();
    ASSERT_TRUE(events_->Subscriber<IHardwareBus::PlugUnplug>::subscribe(pairing_, DeliveryImmediate));
    pairing_->persistent_data_directory(dir_.str() + "/");
    pump_->drain();
  }
  void plug(const std::shared_ptr<IHardwareDevice>& channel) {
    inner_->plug(channel);
    pump_->drain();
  }
  void unplug(const std::shared_ptr<IHardwareDevice>& channel) {
    inner_->unplug(channel);
    pump_->drain();
  }
  std::string cache() { return read_file(dir_.path() / "paired.xml"); }
  std::shared_ptr<PairingDevice> last() { return std::dynamic_pointer_cast<PairingDevice>(events_->last); }

  test::ScopedTempDir dir_;
  std::shared_ptr<DeviceManager> manager_;
  std::unique_ptr<test::RunLoopPump> pump_;
  std::shared_ptr<FakeBluetoothBus> bluetooth_;
  std::shared_ptr<InnerBus> inner_;
  std::shared_ptr<PairingBus> pairing_;
  std::unique_ptr<Events> events_;
};

TEST_F(PairingBusTest, CordedDevicePassesThroughUntouched) {
  start();
  auto channel = std::make_shared<FakeChannel>(0xC087, 0, "usb-path");
  channel->set_script([](const std::vector<Byte>& w) { return std::vector<FakeChannel::Reply>{{w, 0}}; });
  plug(std::make_shared<UnopenableChannel>(0xC088, 0, "closed-path"));
  plug(channel);
  ASSERT_EQ(std::vector<std::string>{"+usb-path"}, events_->take());
  std::shared_ptr<PairingDevice> device = last();
  ASSERT_TRUE(device);
  EXPECT_EQ("usb-path", device->path());
  EXPECT_EQ(0xC087, device->pid());
  EXPECT_EQ("Fake Channel", device->name());
  EXPECT_EQ(0, device->bus_type());
  EXPECT_TRUE(device->connected());

  Reads reads;
  ASSERT_TRUE(reads.subscribe(device, DeliveryImmediate));
  const std::vector<Byte> report{0x10, 0xFF, 0x00, 0x1A, 0, 0, 0};
  ASSERT_TRUE(device->write(report, false));
  channel->flush();
  EXPECT_EQ(std::vector<std::vector<Byte>>{report}, channel->written());
  EXPECT_EQ(std::vector<std::vector<Byte>>{report}, reads.reports);

  unplug(channel);
  EXPECT_EQ(std::vector<std::string>{"-usb-path"}, events_->take());
  EXPECT_EQ(device, events_->last);
  EXPECT_EQ(std::string::npos, cache().find("<device "));
  for (const auto& listed : pairing_->devices()) EXPECT_NE("usb-path", listed->path());
}

TEST_F(PairingBusTest, BluetoothDeviceStaysTheSameDeviceAcrossDisconnection) {
  auto btdev = bluetooth_->add_device(2, {"bt-path"});
  btdev->connect(kRadio);
  start();
  auto channel = std::make_shared<FakeChannel>(0xB023, 0, "bt-path");
  channel->set_script(test::root_only_script());
  plug(channel);
  ASSERT_EQ(std::vector<std::string>{"+bt-path"}, events_->take());
  std::shared_ptr<PairingDevice> hw = last();
  ASSERT_TRUE(hw);
  EXPECT_EQ(2, hw->bus_type());
  EXPECT_EQ("BT Mouse", hw->name());
  EXPECT_NE(std::string::npos, cache().find("path=\"bt-path\""));

  // The protocol-level device made on it, as the device manager would.
  auto device = std::make_shared<Device>(manager_, hw);
  device->initDevice(manager_);
  device->set_timeout_ms(50);
  pump_->drain();
  ASSERT_TRUE(device->connected());
  ASSERT_TRUE(device->load_feature_root(false));
  EXPECT_EQ(std::vector<std::string>{"connect bt-path"}, events_->take());

  const std::vector<Byte> ping{0x10, 0xFF, 0x00, static_cast<Byte>(0x10 | device->swid()), 0, 0, 0x5A};
  std::vector<Byte> response;
  btdev->disconnect();
  unplug(channel);
  EXPECT_EQ(std::vector<std::string>{"disconnect bt-path"}, events_->take());
  EXPECT_FALSE(device->connected());
  EXPECT_FALSE(device->sendSynchronousCommand(ping, response, 0, {}));
  EXPECT_EQ(NotConnected, last_error_code());
  EXPECT_EQ(1u, pairing_->devices().size());

  // Back again: the same objects, usable again, without a new arrival.
  auto again = std::make_shared<FakeChannel>(0xB023, 0, "bt-path");
  again->set_script(test::root_only_script());
  btdev->connect(kRadio);
  plug(again);
  EXPECT_EQ(std::vector<std::string>{"connect bt-path"}, events_->take());
  EXPECT_TRUE(device->connected());
  EXPECT_TRUE(device->sendSynchronousCommand(ping, response, 0, {}));
  EXPECT_EQ(1u, again->write_count());
  device->uninitDevice();
}

TEST_F(PairingBusTest, UnpairingRemovesTheDeviceAndItsCacheEntry) {
  auto btdev = bluetooth_->add_device(2, {"bt-path"});
  btdev->connect(kRadio);
  start();
  auto channel = std::make_shared<FakeChannel>(0xB023, 0, "bt-path");
  plug(channel);
  events_->take();

  btdev->unpair(kOtherRadio);  // another radio's pairing: not this device's
  pump_->drain();
  EXPECT_TRUE(events_->take().empty());
  EXPECT_NE(std::string::npos, cache().find("bt-path"));

  bluetooth_->forget_path("bt-path");
  btdev->unpair(kRadio);
  pump_->drain();
  EXPECT_EQ(std::vector<std::string>{"-bt-path"}, events_->take());
  EXPECT_EQ(std::string::npos, cache().find("bt-path"));

  // Its channel leaving afterwards is a channel the filter no longer knows;
  // coming back, it is a plain channel.
  unplug(channel);
  EXPECT_TRUE(events_->take().empty());
  EXPECT_TRUE(pairing_->devices().empty());
}

TEST_F(PairingBusTest, MonitorArrivingBeforeItsDeviceIsAttachedWhenTheDeviceComes) {
  ASSERT_TRUE(manager_->config_set(2, true));  // ble_monitor
  auto btdev = bluetooth_->add_device(3, {"hid-path", "gatt-path"});
  btdev->connect(kRadio);
  start();
  auto gatt = std::make_shared<FakeChannel>(0xB024, 4, "gatt-path");
  auto hid = std::make_shared<FakeChannel>(0xB024, 3, "hid-path");
  plug(gatt);
  EXPECT_TRUE(events_->take().empty());
  plug(hid);
  ASSERT_EQ(std::vector<std::string>{"+hid-path"}, events_->take());
  std::shared_ptr<PairingDevice> device = last();
  ASSERT_TRUE(device);
  EXPECT_EQ(3, device->bus_type());
  EXPECT_EQ(1, device->transport_variant());
  EXPECT_NE(std::string::npos, cache().find("interface=\"blefrapp\""));

  ASSERT_TRUE(device->connected());
  EXPECT_EQ(std::vector<std::string>{"connect hid-path"}, events_->take());
  Reads reads;
  ASSERT_TRUE(reads.subscribe(device, DeliveryImmediate));
  gatt->inject({0x11, 0xFF, 0x01});
  hid->inject({0x10, 0xFF, 0x02});
  gatt->flush();
  hid->flush();
  EXPECT_EQ(2u, reads.count());
  ASSERT_TRUE(device->write({0x10, 0xFF, 0x00, 0x1A, 0, 0, 0}, false));
  hid->flush();
  EXPECT_EQ(1u, hid->write_count());
  EXPECT_EQ(0u, gatt->write_count());

  // The monitor leaving stops its reads; the device stays.
  unplug(gatt);
  gatt->inject({0x11, 0xFF, 0x03});
  gatt->flush();
  EXPECT_EQ(2u, reads.count());
  EXPECT_TRUE(events_->take().empty());
}

TEST_F(PairingBusTest, RadioRemovalWithdrawsItsDevicesUntilItReturns) {
  auto first = bluetooth_->add_device(2, {"bt-1"});
  auto second = bluetooth_->add_device(2, {"bt-2"});
  first->connect(kRadio);
  second->connect(kRadio);
  start();
  plug(std::make_shared<FakeChannel>(0xC087, 0, "usb-path"));
  plug(std::make_shared<FakeChannel>(0xB023, 0, "bt-1"));
  plug(std::make_shared<FakeChannel>(0xB023, 0, "bt-2"));
  events_->take();

  bluetooth_->remove_radio(kRadio);
  pump_->drain();
  EXPECT_EQ((std::vector<std::string>{"-bt-1", "-bt-2"}), events_->take());
  EXPECT_EQ(1u, pairing_->devices().size());
  // Still remembered: a radio switched off is not an unpairing.
  EXPECT_NE(std::string::npos, cache().find("bt-2"));

  bluetooth_->add_radio(kRadio);
  pump_->drain();
  EXPECT_EQ((std::vector<std::string>{"+bt-1", "+bt-2"}), events_->take());
  EXPECT_EQ(3u, pairing_->devices().size());

  // A radio that returns without the pairing loses the device for good.
  second->lose_pairing();
  bluetooth_->remove_radio(kRadio);
  bluetooth_->add_radio(kRadio);
  pump_->drain();
  EXPECT_EQ((std::vector<std::string>{"-bt-1", "-bt-2", "+bt-1", "-bt-2"}), events_->take());
  EXPECT_EQ(std::string::npos, cache().find("bt-2"));
}

TEST_F(PairingBusTest, CacheIsReadBackAfterARestart) {
  auto kept = bluetooth_->add_device(2, {"bt-kept"});
  auto lost = bluetooth_->add_device(2, {"bt-lost"});
  kept->connect(kRadio);
  lost->connect(kRadio);
  start();
  plug(std::make_shared<FakeChannel>(0xB023, 0, "bt-kept"));
  plug(std::make_shared<FakeChannel>(0xB025, 0, "bt-lost"));
  inner_->unplug(inner_->devices()[0]);
  inner_->unplug(inner_->devices()[0]);
  kept->disconnect();
  lost->disconnect();
  pump_->drain();

  lost->lose_pairing();
  start();
  ASSERT_EQ(std::vector<std::string>{"+bt-kept"}, events_->take());
  std::shared_ptr<PairingDevice> device = last();
  ASSERT_TRUE(device);
  EXPECT_EQ(0xB023, device->pid());
  EXPECT_EQ(2, device->bus_type());
  EXPECT_FALSE(device->connected());
  EXPECT_FALSE(device->write({0x10, 0xFF, 0x00, 0x1A, 0, 0, 0}, false));
  EXPECT_EQ(NotConnected, last_error_code());
  EXPECT_EQ(std::string::npos, cache().find("bt-lost"));

  auto channel = std::make_shared<FakeChannel>(0xB023, 0, "bt-kept");
  kept->connect(kRadio);
  plug(channel);
  EXPECT_EQ(std::vector<std::string>{"connect bt-kept"}, events_->take());
  EXPECT_TRUE(device->write({0x10, 0xFF, 0x00, 0x1A, 0, 0, 0}, false));
  channel->flush();
  EXPECT_EQ(1u, channel->write_count());
}

TEST_F(PairingBusTest, DamagedCacheIsSetAsideAndNotTrusted) {
  bluetooth_->add_device(2, {"bt-path"});
  const std::string damaged = "<?xml version=\"1.0\"?><devices><device path=\"bt-path\" pid=\"B023\" na";
  {
    std::ofstream out(dir_.path() / "paired.xml", std::ios::binary);
    out << damaged;
  }
  start();
  EXPECT_TRUE(events_->take().empty());
  EXPECT_EQ(damaged, read_file(dir_.path() / "paired.xml.damaged"));
  EXPECT_NE(std::string::npos, cache().find("<devices"));
}

TEST_F(PairingBusTest, ADeviceWhoseRadioIsNotLearnedYetIsAnnounced) {
  auto btdev = bluetooth_->add_device(2, {"bt-path"});
  btdev->connect("unknown");
  start();
  plug(std::make_shared<FakeChannel>(0xB023, 0, "bt-path"));
  EXPECT_EQ(std::vector<std::string>{"+bt-path"}, events_->take());
  btdev->connect(kRadio);  // learned later
  pump_->drain();
  EXPECT_NE(std::string::npos, cache().find(std::string("radio=\"") + kRadio));
}

TEST_F(PairingBusTest, CordedDevicesSurviveABluetoothLayerThatCannotStart) {
  bluetooth_->refuse_subscriptions(BluetoothNotificationFailed);
  start();
  plug(std::make_shared<FakeChannel>(0xC087, 0, "usb-path"));
  EXPECT_EQ(std::vector<std::string>{"+usb-path"}, events_->take());
  // The refused question leaves no error behind a listing that worked.
  EXPECT_EQ(1u, pairing_->devices().size());
  EXPECT_EQ(NoError, last_error_code());
}

class Arrivals : public Subscriber<IDeviceManager::ArrivalRemoval> {
 public:
  ~Arrivals() override { leave_all(); }
  void onDeviceArrival(std::shared_ptr<IDevice> device) override { log.push_back("+" + device->path()); }
  void onDeviceRemoval(std::shared_ptr<IDevice> device) override { log.push_back("-" + device->path()); }
  std::vector<std::string> log;
};

TEST_F(PairingBusTest, DeviceManagerPutsTheFilterOnTopWhenTheBusHasBluetooth) {
  HidBusFactory::use_bus([this](std::weak_ptr<IDeviceManager>) { return inner_; });
  ASSERT_TRUE(manager_->config_set(0, true));  // Bluetooth classic devices accepted
  auto btdev = bluetooth_->add_device(2, {"bt-path"});
  btdev->connect(kRadio);
  Arrivals arrivals;
  ASSERT_TRUE(arrivals.subscribe(manager_, DeliveryRunLoop));
  pump_->drain();
  auto channel = std::make_shared<FakeChannel>(0xB023, 0, "bt-path");
  plug(channel);
  ASSERT_EQ(std::vector<std::string>{"+bt-path"}, arrivals.log);
  std::shared_ptr<IDevice> device = manager_->devices().at(0);
  EXPECT_EQ(2, device->bus_type());
  EXPECT_TRUE(std::dynamic_pointer_cast<PairingBus>(device->owning_bus()));

  // Asleep: still the same device, not a removal.
  btdev->disconnect();
  unplug(channel);
  EXPECT_EQ(std::vector<std::string>{"+bt-path"}, arrivals.log);
  EXPECT_EQ(device, manager_->devices().at(0));
  EXPECT_FALSE(device->connected());
  arrivals.unsubscribe(manager_);
  HidBusFactory::use_bus(nullptr);
}

// Radio and device events on a Bluetooth thread while the application
// thread sends commands and runs the run loop: nothing may race.
TEST_F(PairingBusTest, BluetoothThreadEventsWhileCommandsAreSent) {
  auto btdev = bluetooth_->add_device(2, {"bt-path"});
  btdev->connect(kRadio);
  start();
  auto channel = std::make_shared<FakeChannel>(0xB023, 0, "bt-path");
  channel->set_script(test::root_only_script());
  plug(channel);
  std::shared_ptr<PairingDevice> hw = last();
  ASSERT_TRUE(hw);
  auto device = std::make_shared<Device>(manager_, hw);
  device->initDevice(manager_);
  device->set_timeout_ms(20);
  pump_->drain();
  ASSERT_TRUE(device->load_feature_root(false));

  std::atomic<bool> stop{false};
  std::thread bluetooth_thread([&] {
    // Until the application thread is done, so that both overlap whatever
    // the machine's speed; paced so the run loop is not flooded.
    for (int i = 0; i < 5000 && !stop; ++i) {
      btdev->disconnect();
      bluetooth_->remove_radio(kRadio);
      bluetooth_->add_radio(kRadio);
      btdev->connect(kRadio);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const std::vector<Byte> ping{0x10, 0xFF, 0x00, static_cast<Byte>(0x10 | device->swid()), 0, 0, 0x5A};
  int answered = 0;
  for (int i = 0; i < 20; ++i) {
    std::vector<Byte> response;
    if (device->sendSynchronousCommand(ping, response, 0, {})) ++answered;
    (void)hw->connected();
    // A corded device coming and going changes the filter's device map
    // while the radio events arrive.
    auto corded = std::make_shared<FakeChannel>(0xC087, 0, "usb-" + std::to_string(i));
    inner_->plug(corded);
    pump_->drain();
    (void)pairing_->devices();
    inner_->unplug(corded);
    pump_->drain();
  }
  stop = true;
  bluetooth_thread.join();
  pump_->drain();
  // Settled: connected through its channel again.
  btdev->connect(kRadio);
  pump_->drain();
  std::vector<Byte> response;
  EXPECT_TRUE(device->sendSynchronousCommand(ping, response, 0, {}));
  EXPECT_GE(answered, 0);
  device->uninitDevice();
}

}  // namespace
}  // namespace rodiz
