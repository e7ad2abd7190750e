// The Bluetooth buses of Linux against BlueZ as python-dbusmock's bluez5
// template plays it on a private system bus: radios, pairing, connections
// and their events, the answers for hidraw nodes and GATT paths, the GATT
// channel's reports both ways, and the HID bus without any system bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Linux/BluezBus.h"
#include "Linux/BluezGattBus.h"
#include "Linux/BluezMock.h"
#include "Linux/BluezSystem.h"
#include "Linux/FakeHidrawSystem.h"
#include "Linux/HidrawBus.h"
#include "device/LastError.h"
#include "log/LogTestFixture.h"
#include "runtime/DeviceManager.h"
#include "runtime/Subscriber.h"
#include "support/HidDescriptors.h"
#include "support/ScopedTempDir.h"
#include "transport/IBluetoothDevice.h"

namespace rodiz {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
constexpr auto kWait = std::chrono::seconds(5);
constexpr const char* kRadio = "/org/bluez/hci0";

// Whether `done` becomes true within kWait: for state that no event tells.
bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Every event of the buses and devices under test, in the order raised.
class EventLog : public Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>,
                 public Subscriber<IBluetoothDevice::BtConnect>,
                 public Subscriber<IBluetoothDevice::BtFastConnect>,
                 public Subscriber<IBluetoothDevice::BtUnpair>,
                 public Subscriber<IHardwareBus::PlugUnplug>,
                 public Subscriber<IHardwareDevice::Read> {
 public:
  ~EventLog() override {
    Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>::leave_all();
    Subscriber<IBluetoothDevice::BtConnect>::leave_all();
    Subscriber<IBluetoothDevice::BtFastConnect>::leave_all();
    Subscriber<IBluetoothDevice::BtUnpair>::leave_all();
    Subscriber<IHardwareBus::PlugUnplug>::leave_all();
    Subscriber<IHardwareDevice::Read>::leave_all();
  }
  void onRadioArrival(std::string radio) override { add("+radio " + radio); }
  void onRadioRemoval(std::string radio) override { add("-radio " + radio); }
  void onBtConnect(std::string radio) override { add("connect " + radio); }
  void onBtDisconnect() override { add("disconnect"); }
  void onBtFastConnect() override { add("fast on"); }
  void onBtFastDisconnect() override { add("fast off"); }
  void onBtUnpair(std::string radio) override { add("unpair " + radio); }
  void onPlug(std::shared_ptr<IHardwareDevice> device) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      plugged_ = device;
    }
    add("+" + device->path());
  }
  void onUnplug(std::shared_ptr<IHardwareDevice> device) override { add("-" + device->path()); }
  void onRead(std::vector<Byte> report, bool /*routed*/, unsigned /*error*/, unsigned count) override {
    std::string line = "read " + std::to_string(count) + ":";
    char byte[4];
    for (Byte b : report) {
      std::snprintf(byte, sizeof byte, " %02x", b);
      line += byte;
    }
    add(line);
  }

  void watch_device(const std::shared_ptr<IBluetoothDevice>& device) {
    ASSERT_TRUE(Subscriber<IBluetoothDevice::BtConnect>::subscribe(device, DeliveryImmediate));
    ASSERT_TRUE(Subscriber<IBluetoothDevice::BtFastConnect>::subscribe(device, DeliveryImmediate));
    ASSERT_TRUE(Subscriber<IBluetoothDevice::BtUnpair>::subscribe(device, DeliveryImmediate));
  }
  // The next `count` events (waiting at most kWait for them), taken.
  Lines take(std::size_t count) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, kWait, [&] { return lines_.size() >= count; });
    const std::size_t n = std::min(count, lines_.size());
    Lines taken(lines_.begin(), lines_.begin() + static_cast<long>(n));
    lines_.erase(lines_.begin(), lines_.begin() + static_cast<long>(n));
    return taken;
  }
  std::shared_ptr<IHardwareDevice> plugged() {
    std::lock_guard<std::mutex> guard(lock_);
    return plugged_;
  }

 private:
  void add(std::string line) {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.push_back(std::move(line));
    changed_.notify_all();
  }
  std::mutex lock_;
  std::condition_variable changed_;
  Lines lines_;
  std::shared_ptr<IHardwareDevice> plugged_;
};

// The hidraw nodes udev would describe, by path.
class Nodes {
 public:
  void set(const std::string& devnode, std::uint16_t bus_type, const std::string& uniq) {
    std::lock_guard<std::mutex> guard(lock_);
    HidrawNode& node = nodes_[devnode];
    node.devnode = devnode;
    node.bus_type = bus_type;
    node.uniq = uniq;
  }
  void erase(const std::string& devnode) {
    std::lock_guard<std::mutex> guard(lock_);
    nodes_.erase(devnode);
  }
  BluezBus::NodeLookup lookup() {
    return [this](const std::string& devnode, HidrawNode& node) {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = nodes_.find(devnode);
      if (it == nodes_.end()) return false;
      node = it->second;
      return true;
    };
  }

 private:
  std::mutex lock_;
  std::map<std::string, HidrawNode> nodes_;
};

class BluezBusTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bluez_.ready()) << bluez_.error();
    scope_.set_env("DBUS_SYSTEM_BUS_ADDRESS", bluez_.address());
    bus_ = std::make_shared<BluezBus>(std::make_shared<BluezSystem>(), nodes_.lookup(), true);
    ASSERT_TRUE(log_.Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>::subscribe(bus_, DeliveryImmediate));
    bluez_.add_adapter("hci0");
    ASSERT_EQ(Lines{std::string("+radio ") + kRadio}, log_.take(1));
  }
  // A device on hci0, paired, whose hidraw node is `devnode`; its bus object.
  std::shared_ptr<IBluetoothDevice> paired(const std::string& address, const std::string& devnode) {
    bluez_.add_device("hci0", address, "Mirel");
    bluez_.pair("hci0", address);
    std::string uniq = address;
    std::transform(uniq.begin(), uniq.end(), uniq.begin(), [](unsigned char c) { return std::tolower(c); });
    nodes_.set(devnode, 5, uniq);
    std::shared_ptr<IBluetoothDevice> device;
    EXPECT_TRUE(eventually([&] { return (device = bus_->device_paired_on_path(devnode)) != nullptr; }));
    return device;
  }

  test::BluezMock bluez_;
  test::ScopedTempDir scope_;
  Nodes nodes_;
  // Declared before the bus: it leaves the bus's producers when it goes.
  EventLog log_;
  std::shared_ptr<BluezBus> bus_;
};

TEST_F(BluezBusTest, APairedDeviceConnectsDisconnectsAndIsUnpairedWhileConnected) {
  const auto device = paired("AA:BB:CC:DD:EE:01", "/dev/hidraw7");
  ASSERT_NE(nullptr, device);
  EXPECT_EQ("AABB:CC:DDEE01", device->path());
  EXPECT_EQ(2, device->bus_type());
  EXPECT_EQ("Mirel", device->name());
  EXPECT_FALSE(device->connected());
  log_.watch_device(device);

  bluez_.connect("hci0", "AA:BB:CC:DD:EE:01");
  EXPECT_EQ((Lines{"fast on", std::string("connect ") + kRadio}), log_.take(2));
  EXPECT_TRUE(device->connected());
  EXPECT_EQ(kRadio, device->connected_radio("/dev/hidraw7", 2));
  std::string radio = kRadio;
  EXPECT_TRUE(device->verify_pairing(radio));
  EXPECT_EQ(kRadio, radio);

  bluez_.disconnect("hci0", "AA:BB:CC:DD:EE:01");
  EXPECT_EQ((Lines{"fast off", "disconnect"}), log_.take(2));
  EXPECT_FALSE(device->connected());
  EXPECT_EQ("", device->connected_radio("/dev/hidraw7", 2));

  // The node goes with the connection; the device stays paired and answered.
  bluez_.connect("hci0", "AA:BB:CC:DD:EE:01");
  EXPECT_EQ((Lines{"fast on", std::string("connect ") + kRadio}), log_.take(2));
  nodes_.erase("/dev/hidraw7");
  EXPECT_EQ(device, bus_->device_paired_on_path("/dev/hidraw7"));

  bluez_.remove_device("hci0", "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01");
  EXPECT_EQ((Lines{"fast off", "disconnect", std::string("unpair ") + kRadio}), log_.take(3));
  EXPECT_EQ(nullptr, bus_->device_paired_on_path("/dev/hidraw7"));
  EXPECT_TRUE(device->verify_pairing(radio));
  EXPECT_EQ("", radio);  // the pairing is lost

  // Paired again, it is the same object; its pairing can also end without
  // BlueZ forgetting the device.
  EXPECT_EQ(device, paired("AA:BB:CC:DD:EE:01", "/dev/hidraw8"));
  bluez_.set_flag("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01", "org.bluez.Device1", "Paired", false);
  EXPECT_EQ(Lines{std::string("unpair ") + kRadio}, log_.take(1));
  EXPECT_EQ(nullptr, bus_->device_paired_on_path("/dev/hidraw8"));
}

TEST_F(BluezBusTest, OnlyNodesAndServicesOfPairedDevicesAreAnswered) {
  bluez_.add_device("hci0", "AA:BB:CC:DD:EE:03", "Other");
  // Answered only once the bus has seen it, and so the device added before it.
  ASSERT_NE(nullptr, paired("AA:BB:CC:DD:EE:02", "/dev/hidraw2"));
  nodes_.set("/dev/hidraw1", 3, "");                      // a corded device
  nodes_.set("/dev/hidraw3", 5, "aa:bb:cc:dd:ee:03");     // known to BlueZ, not paired
  nodes_.set("/dev/hidraw4", 5, "11:22:33:44:55:66");     // unknown to BlueZ
  nodes_.set("/dev/hidraw5", 5, "no address");            // a unique id that is no address
  nodes_.set("/dev/hidraw6", 5, "aa:bb:cc:dd:ee:02:ff");  // one byte too many
  for (const std::string path :
       {"/dev/hidraw1", "/dev/hidraw3", "/dev/hidraw4", "/dev/hidraw5", "/dev/hidraw6", "/dev/hidraw9",
        "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_03/service0010", "/org/bluez/hci0/dev_11_22_33_44_55_66/service0010"}) {
    EXPECT_EQ(nullptr, bus_->device_paired_on_path(path)) << path;
  }
  // A node that was a Bluetooth device's and now is a corded one's.
  nodes_.set("/dev/hidraw2", 3, "");
  EXPECT_EQ(nullptr, bus_->device_paired_on_path("/dev/hidraw2"));
  nodes_.erase("/dev/hidraw2");
  EXPECT_EQ(nullptr, bus_->device_paired_on_path("/dev/hidraw2"));
  // A device's GATT paths are its own.
  EXPECT_NE(nullptr, bus_->device_paired_on_path("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_02/service0010/char0"));
}

TEST_F(BluezBusTest, ARadioRemovedDisconnectsItsDevicesFirst) {
  const auto device = paired("AA:BB:CC:DD:EE:04", "/dev/hidraw4");
  ASSERT_NE(nullptr, device);
  log_.watch_device(device);
  bluez_.connect("hci0", "AA:BB:CC:DD:EE:04");
  EXPECT_EQ((Lines{"fast on", std::string("connect ") + kRadio}), log_.take(2));

  bluez_.remove_adapter("hci0");
  EXPECT_EQ((Lines{"fast off", "disconnect", std::string("-radio ") + kRadio}), log_.take(3));
  EXPECT_FALSE(device->radio_present(kRadio));
  EXPECT_FALSE(device->connected());
  std::string radio = kRadio;
  clear_last_error();
  EXPECT_FALSE(device->verify_pairing(radio));
  EXPECT_EQ(RadioNotPresent, last_error_code());
  // "unknown" stands for a radio not learned yet and is taken as it is.
  std::string unknown = "unknown";
  EXPECT_TRUE(device->verify_pairing(unknown));
}

TEST_F(BluezBusTest, EventsFromTheBusThreadWhileTheApplicationAsks) {
  const auto device = paired("AA:BB:CC:DD:EE:05", "/dev/hidraw5");
  ASSERT_NE(nullptr, device);
  log_.watch_device(device);
  constexpr int kCycles = 10;
  std::atomic<bool> done{false};
  std::thread asker([&] {
    while (!done) {
      device->connected();
      device->name();
      bus_->device_paired_on_path("/dev/hidraw5");
    }
  });
  for (int i = 0; i < kCycles; ++i) {
    bluez_.connect("hci0", "AA:BB:CC:DD:EE:05");
    bluez_.disconnect("hci0", "AA:BB:CC:DD:EE:05");
  }
  const Lines events = log_.take(4 * kCycles);
  done = true;
  asker.join();
  ASSERT_EQ(static_cast<std::size_t>(4 * kCycles), events.size());
  for (int i = 0; i < kCycles; ++i) {
    EXPECT_EQ((Lines{"fast on", std::string("connect ") + kRadio, "fast off", "disconnect"}),
              Lines(events.begin() + 4 * i, events.begin() + 4 * i + 4));
  }
}

TEST_F(BluezBusTest, AnInactiveBusAnswersNothing) {
  auto inactive = std::make_shared<BluezBus>(std::make_shared<BluezSystem>(), nodes_.lookup(), false);
  ASSERT_NE(nullptr, paired("AA:BB:CC:DD:EE:06", "/dev/hidraw6"));
  clear_last_error();
  EXPECT_EQ(nullptr, inactive->device_paired_on_path("/dev/hidraw6"));
  EXPECT_EQ(BluetoothNotificationFailed, last_error_code());
}

// One way the device offers its GATT characteristics, and the report framing
// that goes with it.
struct GattCase {
  const char* name;
  bool fixed;
  bool variable;
  bool acquire;
  const char* characteristic;  // the one written and notified
  Bytes written;               // what the report 10 FF 05 1A 00 00 00 becomes
  Bytes notified;
  const char* read;  // the report that arrives
};

class BluezGattTest : public BluezBusTest, public testing::WithParamInterface<GattCase> {};

TEST_P(BluezGattTest, ReportsTravelBothWaysWhileTheDeviceIsConnected) {
  const GattCase& c = GetParam();
  const std::string address = "AA:BB:CC:DD:EE:07";
  const auto device = paired(address, "/dev/hidraw7");
  ASSERT_NE(nullptr, device);
  const std::string device_path = "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_07";
  auto gatt = std::make_shared<BluezGattBus>(bus_, std::weak_ptr<IDeviceManager>());
  gatt->attach();
  EventLog events;
  ASSERT_TRUE(events.Subscriber<IHardwareBus::PlugUnplug>::subscribe(gatt, DeliveryImmediate));

  // Offered only while the device is connected.
  const std::string service = bluez_.add_gatt_service(device_path, c.fixed, c.variable, c.acquire);
  bluez_.connect("hci0", address);
  ASSERT_EQ(Lines{"+" + service}, events.take(1));
  EXPECT_EQ(3, device->bus_type());  // the service makes it a low-energy device
  EXPECT_EQ(device, bus_->device_paired_on_path(service));
  const auto listed = gatt->devices();
  ASSERT_EQ(1u, listed.size());
  EXPECT_EQ(service, listed[0]->path());
  EXPECT_EQ(4, listed[0]->bus_type());
  EXPECT_EQ(0x1200, listed[0]->pid());  // from the device's modalias

  const std::shared_ptr<IHardwareDevice> channel = events.plugged();
  ASSERT_TRUE(events.Subscriber<IHardwareDevice::Read>::subscribe(channel, DeliveryImmediate));
  ASSERT_TRUE(channel->open());
  const std::string characteristic = service + "/" + c.characteristic;
  ASSERT_TRUE(channel->write({0x10, 0xFF, 0x05, 0x1A, 0x00, 0x00, 0x00}, true));
  EXPECT_EQ(std::vector<Bytes>{c.written}, bluez_.written(characteristic));
  bluez_.notify(characteristic, c.notified);
  EXPECT_EQ(Lines{c.read}, events.take(1));

  // Refused before anything is sent.
  clear_last_error();
  EXPECT_FALSE(channel->write(Bytes(21, 0x11), false));
  EXPECT_EQ(WriteExceedsCollectionSize, last_error_code());
  EXPECT_FALSE(channel->write({0x10}, false));
  EXPECT_EQ(WriteTooShort, last_error_code());
  EXPECT_TRUE(bluez_.written(characteristic).empty());

  // Gone with the connection.
  bluez_.disconnect("hci0", address);
  EXPECT_EQ(Lines{"-" + service}, events.take(1));
  EXPECT_TRUE(gatt->devices().empty());
  EXPECT_FALSE(channel->write({0x10, 0xFF, 0x05, 0x1A, 0x00, 0x00, 0x00}, false));
  EXPECT_EQ(CreateFileFailed, last_error_code());
  EXPECT_FALSE(channel->verify_connection_following_timeout());
  channel->close();
}

const Bytes kSevenBytes = {0x05, 0x1A, 0x01, 0x02, 0x03, 0x04, 0x05};
const Bytes kNineteenBytes = {0xFF, 0x05, 0x1A, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

INSTANTIATE_TEST_SUITE_P(
    Characteristics, BluezGattTest,
    testing::Values(
        // The variable-length characteristic is preferred; AcquireWrite and AcquireNotify carry the values.
        GattCase{"VariableLengthAcquired",
                 true,
                 true,
                 true,
                 "char1",
                 {0x05, 0x1A},
                 kSevenBytes,
                 "read 9: 10 ff 05 1a 01 02 03 04 05 00 00 00 00 00 00 00 00 00 00 00"},
        // WriteValue and StartNotify where BlueZ offers no Acquire calls.
        GattCase{"VariableLengthWriteValue",
                 false,
                 true,
                 false,
                 "char1",
                 {0x05, 0x1A},
                 kSevenBytes,
                 "read 9: 10 ff 05 1a 01 02 03 04 05 00 00 00 00 00 00 00 00 00 00 00"},
        GattCase{"FixedLengthWriteValue",
                 true,
                 false,
                 false,
                 "char0",
                 {0xFF, 0x05, 0x1A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                 kNineteenBytes,
                 "read 20: 11 ff 05 1a 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10"}),
    [](const testing::TestParamInfo<GattCase>& param) { return std::string(param.param.name); });

TEST_F(BluezBusTest, ANotificationDescriptorThatHangsUpEndsOnlyItsReads) {
  const auto device = paired("AA:BB:CC:DD:EE:08", "/dev/hidraw8");
  ASSERT_NE(nullptr, device);
  auto gatt = std::make_shared<BluezGattBus>(bus_, std::weak_ptr<IDeviceManager>());
  gatt->attach();
  EventLog events;
  ASSERT_TRUE(events.Subscriber<IHardwareBus::PlugUnplug>::subscribe(gatt, DeliveryImmediate));
  const std::string service = bluez_.add_gatt_service("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_08", false, true, true);
  bluez_.connect("hci0", "AA:BB:CC:DD:EE:08");
  ASSERT_EQ(Lines{"+" + service}, events.take(1));
  const std::shared_ptr<IHardwareDevice> channel = events.plugged();
  ASSERT_TRUE(events.Subscriber<IHardwareDevice::Read>::subscribe(channel, DeliveryImmediate));
  ASSERT_TRUE(channel->open());
  bluez_.hang_up(service + "/char1");
  // Writing goes on; the bus thread has let the descriptor go.
  EXPECT_TRUE(channel->write({0x10, 0xFF, 0x05, 0x1A}, false));
  EXPECT_EQ(std::vector<Bytes>{Bytes({0x05, 0x1A})}, bluez_.written(service + "/char1"));
}

class BluezNoSystemBusTest : public test::LogTest {};

TEST_F(BluezNoSystemBusTest, TheHidBusCarriesOnAndTheBluetoothBusesStayEmpty) {
  start({{"loggingoutput", 2}, {"logginglevel", 2}});
  dir_.set_env("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir_.str() + "/no-system-bus");
  auto manager = std::make_shared<DeviceManager>();
  ASSERT_TRUE(manager->config_set(0, true));
  ASSERT_TRUE(manager->config_set(1, true));
  auto system = std::make_shared<test::FakeHidrawSystem>();
  test::FakeHidrawSystem::Node mouse;
  mouse.info.devnode = "/dev/hidraw1";
  mouse.info.interface_path = "/sys/devices/usb1/1-1/1-1:1.2";
  mouse.info.vendor = 0x046D;
  mouse.info.product = 0xC087;
  mouse.descriptor = test::mouse_vendor_descriptor();
  system->add(mouse, false);
  auto bus = std::make_shared<HidrawBus>(manager, system);

  ASSERT_EQ(1u, bus->bluetooth_busses().size());
  ASSERT_EQ(1u, bus->secondary_busses().size());
  EXPECT_EQ(nullptr, bus->bluetooth_busses()[0]->device_paired_on_path("/dev/hidraw1"));
  EXPECT_TRUE(bus->secondary_busses()[0]->devices().empty());
  EXPECT_EQ(1u, bus->devices().size());
  EXPECT_EQ(nullptr, bus->bluetooth_busses()[0]->device_paired_on_path("/dev/hidraw1"));
  EXPECT_EQ(1u, bus->devices().size());
  bus.reset();
  const auto lines = console();
  EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
              return line.find("BluezBus::start no system bus") != std::string::npos;
            }));
}

}  // namespace
}  // namespace rodiz
