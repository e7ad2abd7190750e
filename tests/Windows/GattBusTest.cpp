#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Windows/GattBus.h"
#include "Windows/GattDevice.h"
#include "Windows/WideText.h"
#include "Windows/Win32Harness.h"
#include "device/LastError.h"
#include "runtime/IDeviceManager.h"

namespace rodiz::test {
namespace {

// Configuration items as the test sets them; nothing else is asked.
class GattConfigManager : public IDeviceManager {
 public:
  std::vector<std::shared_ptr<IDevice>> devices() override { return {}; }
  std::vector<std::shared_ptr<IDevice>> devices_on_bus(std::shared_ptr<IDevice>) override { return {}; }
  void swid(int) override {}
  int swid() override { return 10; }
  bool is_active() override { return true; }
  void set_active(bool) override {}
  void report_unreported_error(const char*) override {}
  void enqueue_event_for_runloop(RunLoopEntry) override {}
  void call_event_from_runloop() override {}
  void remove_runloop_events(const void*, const void*) override {}
  void persistent_data_directory(std::string) override {}
  bool config_default(unsigned, bool*) override { return true; }
  bool config_get(unsigned item, bool* value) override {
    *value = item < 8 && items[item];
    return true;
  }
  bool config_set(unsigned, bool) override { return true; }
  bool connectToHardwareBusses() override { return true; }
  std::shared_ptr<IDevice> makeDevice(std::shared_ptr<IHardwareDevice>, int, int) override { return nullptr; }
  bool items[8] = {};
};

using Bytes = std::vector<Byte>;

TEST(GattReportTest, NotificationsBecomeTwentyByteReports) {
  const Bytes seven{1, 2, 3, 4, 5, 6, 7};
  unsigned count = 0;
  Bytes expected{0x10, 0xFF, 1, 2, 3, 4, 5, 6, 7};
  expected.resize(20, 0);
  EXPECT_EQ(expected, GattDevice::report_from_value(seven.data(), seven.size(), false, count));
  EXPECT_EQ(9u, count);

  Bytes nineteen(19);
  for (int i = 0; i < 19; ++i) nineteen[i] = static_cast<Byte>(0x30 + i);
  Bytes fixed{0x11};
  fixed.insert(fixed.end(), nineteen.begin(), nineteen.end());
  EXPECT_EQ(fixed, GattDevice::report_from_value(nineteen.data(), nineteen.size(), true, count));
  EXPECT_EQ(20u, count);

  // Longer than a report: cut to 20 bytes.
  const Bytes long_value(40, 0xAB);
  EXPECT_EQ(20u, GattDevice::report_from_value(long_value.data(), long_value.size(), false, count).size());
}

TEST(GattReportTest, ReportsAreSentInTheCharacteristicsForm) {
  struct Case {
    Bytes report;
    bool fixed;
    Bytes value;
  };
  Bytes fixed_value{0xFF, 0x05, 0x1A};
  fixed_value.resize(19, 0);
  const std::vector<Case> cases{
      {{0x10, 0xFF, 0x05, 0x1A, 0, 0, 0}, false, {0x05, 0x1A}},
      {{0x10, 0xFF, 0x00, 0x00}, false, {0x00}},
      {{0x10, 0xFF}, false, {0x00}},
      {{0x10, 0xFF, 0x05, 0x1A, 0, 0, 0}, true, fixed_value},
  };
  for (const Case& c : cases) EXPECT_EQ(c.value, GattDevice::value_from_report(c.report, c.fixed));
}

constexpr const wchar_t* kGattWide =
    L"\\\\?\\BTHLEDevice#{00010000-0000-1000-8000-011f2000046d}_Dev_VID&02046d_PID&b024_REV&0001_66778899aabb#8&1&"
    L"0010#{00010000-0000-1000-8000-011f2000046d}";

class GattBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_ = std::make_shared<FakeWin32System>();
    path_ = WideText::lower_utf8(kGattWide);
    manager_ = std::make_shared<GattConfigManager>();
    manager_->items[2] = true;  // ble_monitor
    hid_ = std::make_shared<FakeSystemBus>(fake_, manager_);
    hid_->init();
    ASSERT_EQ(hid_->secondary_busses().size(), 1u);
    bus_ = std::dynamic_pointer_cast<GattBus>(hid_->secondary_busses()[0]);
    ASSERT_TRUE(bus_);
  }
  void TearDown() override {
    recorder_.reset();
    bus_.reset();
    hid_.reset();
    EXPECT_EQ(fake_->live_handle_notifications(), 0);
    EXPECT_EQ(fake_->live_interface_notifications(), 0);
  }
  void broadcast(WPARAM event, const std::wstring& path) {
    std::vector<DWORD> storage((sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + path.size() * 2) / 4 + 2, 0);
    auto* header = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(storage.data());
    header->dbcc_size =
        static_cast<DWORD>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * 2);
    header->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header->dbcc_classguid = GattBus::kServiceInterface;
    std::memcpy(header->dbcc_name, path.c_str(), (path.size() + 1) * 2);
    ::SendMessageW(hid_->window_handle(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(header));
  }

  std::shared_ptr<FakeWin32System> fake_;
  std::string path_;
  std::shared_ptr<GattConfigManager> manager_;
  std::shared_ptr<FakeSystemBus> hid_;
  std::shared_ptr<GattBus> bus_;
  std::unique_ptr<PlugRecorder> recorder_;
};

TEST_F(GattBusTest, ADeviceIsOfferedAndWithdrawn) {
  fake_->add_gatt(kGattWide, {GattBus::kVariableLengthCharacteristic});
  fake_->add_gatt(L"\\\\?\\bthledevice#no-frap-characteristic", {});
  recorder_ = std::make_unique<PlugRecorder>();
  ASSERT_TRUE(recorder_->subscribe(bus_, DeliveryImmediate));
  EXPECT_EQ(fake_->live_interface_notifications(), 2);  // HID class and GATT class

  auto devices = bus_->devices();
  ASSERT_EQ(devices.size(), 1u);  // the service without the characteristic does not open
  EXPECT_EQ(path_, devices[0]->path());
  EXPECT_EQ(0xB024, devices[0]->pid());
  EXPECT_EQ(4, devices[0]->bus_type());

  broadcast(DBT_DEVICEARRIVAL, kGattWide);
  broadcast(DBT_DEVICEREMOVECOMPLETE, kGattWide);
  EXPECT_EQ(recorder_->plugs(), std::vector<std::string>{path_});
  EXPECT_EQ(recorder_->unplugs(), std::vector<std::string>{path_});

  // A channel asked after a time-out whose service is gone reports it lost.
  fake_->remove_gatt(kGattWide);
  EXPECT_FALSE(devices[0]->verify_connection_following_timeout());
  EXPECT_EQ(recorder_->unplugs(), (std::vector<std::string>{path_, path_}));
}

TEST_F(GattBusTest, ReportsGoOutAndNotificationsComeBack) {
  fake_->add_gatt(kGattWide, {GattBus::kVariableLengthCharacteristic});
  auto devices = bus_->devices();
  ASSERT_EQ(devices.size(), 1u);
  std::shared_ptr<IHardwareDevice> device = devices[0];
  ReadRecorder reads;
  ASSERT_TRUE(reads.Subscriber<IHardwareDevice::Read>::subscribe(device, DeliveryImmediate));
  ASSERT_TRUE(reads.Subscriber<IHardwareDevice::Write>::subscribe(device, DeliveryImmediate));
  ASSERT_TRUE(device->open());

  ASSERT_TRUE(device->write({0x10, 0xFF, 0x05, 0x1A, 0, 0, 0}, true));
  ASSERT_TRUE(device->write({0x10, 0xFF, 0x00, 0x00}, true));
  FakeWin32System::FakeGattService service = fake_->gatt_service(path_);
  ASSERT_EQ(service.written.size(), 2u);
  EXPECT_EQ(service.written[0].first, (std::vector<unsigned char>{0x05, 0x1A}));
  EXPECT_EQ(service.written[0].second, 0x20u);  // without response
  EXPECT_EQ(service.written[1].first, (std::vector<unsigned char>{0x00}));
  EXPECT_EQ(service.configurations, std::vector<bool>{true});  // once, before the first write

  EXPECT_FALSE(device->write(Bytes(21, 0x11), false));
  EXPECT_EQ(last_error_code(), WriteExceedsCollectionSize);
  EXPECT_FALSE(device->write({0x10}, false));
  EXPECT_EQ(last_error_code(), WriteTooShort);
  fake_->set_gatt_write_result(path_, E_FAIL);
  EXPECT_FALSE(device->write({0x10, 0xFF, 0x05, 0x1A, 0, 0, 0}, false));
  EXPECT_EQ(last_error_code(), WriteError);
  const auto writes = reads.writes();
  ASSERT_EQ(writes.size(), 5u);
  EXPECT_EQ(writes[2].result, WriteExceedsCollectionSize);
  EXPECT_TRUE(writes[2].report.empty());
  EXPECT_EQ(writes[4].result, WriteError);

  ASSERT_TRUE(fake_->gatt_notify(path_, {1, 2, 3, 4, 5, 6, 7}));
  const auto got = reads.reads();
  ASSERT_EQ(got.size(), 1u);
  Bytes expected{0x10, 0xFF, 1, 2, 3, 4, 5, 6, 7};
  expected.resize(20, 0);
  EXPECT_EQ(got[0].report, expected);
  EXPECT_EQ(got[0].count, 9u);

  // Closed: the registrations are gone, and nothing more arrives.
  device->close();
  EXPECT_FALSE(fake_->gatt_notify(path_, {1}));
}

TEST_F(GattBusTest, TheGattOptionSwitchesNotificationsOffAndAbandonsWrites) {
  fake_->add_gatt(kGattWide, {GattBus::kServiceInterface});
  manager_->items[6] = true;
  auto devices = bus_->devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_FALSE(devices[0]->write({0x10, 0xFF, 0x05, 0x1A, 0, 0, 0}, false));
  EXPECT_EQ(last_error_code(), Abandoned);
  EXPECT_EQ(fake_->gatt_service(path_).configurations, std::vector<bool>{false});
  EXPECT_TRUE(fake_->gatt_service(path_).written.empty());
  devices[0]->close();
}

}  // namespace
}  // namespace rodiz::test
