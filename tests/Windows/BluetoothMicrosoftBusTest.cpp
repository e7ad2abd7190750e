#include <gtest/gtest.h>

// clang-format off
#include <windows.h>
#include <bthdef.h>
// clang-format on

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Windows/BluetoothMicrosoftBus.h"
#include "Windows/BluetoothMicrosoftDevice.h"
#include "Windows/Win32Harness.h"
#include "device/LastError.h"
#include "runtime/IDeviceManager.h"

namespace rodiz::test {
namespace {

// Configuration items as the test sets them; nothing else is asked.
class ConfigManager : public IDeviceManager {
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

// The radio events of the bus and the events of one device, in order.
class BluetoothRecorder : public Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>,
                          public Subscriber<IBluetoothDevice::BtConnect>,
                          public Subscriber<IBluetoothDevice::BtFastConnect>,
                          public Subscriber<IBluetoothDevice::BtUnpair> {
 public:
  ~BluetoothRecorder() override {
    Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>::leave_all();
    Subscriber<IBluetoothDevice::BtConnect>::leave_all();
    Subscriber<IBluetoothDevice::BtFastConnect>::leave_all();
    Subscriber<IBluetoothDevice::BtUnpair>::leave_all();
  }
  void follow(const std::shared_ptr<IBluetoothDevice>& device) {
    ASSERT_TRUE(Subscriber<IBluetoothDevice::BtConnect>::subscribe(device, DeliveryImmediate));
    ASSERT_TRUE(Subscriber<IBluetoothDevice::BtFastConnect>::subscribe(device, DeliveryImmediate));
    ASSERT_TRUE(Subscriber<IBluetoothDevice::BtUnpair>::subscribe(device, DeliveryImmediate));
  }
  void onRadioArrival(std::string radio) override { add("+radio " + radio); }
  void onRadioRemoval(std::string radio) override { add("-radio " + radio); }
  void onBtConnect(std::string radio) override { add("connect " + radio); }
  void onBtPairingResolve(std::string radio) override { add("resolve " + radio); }
  void onBtDisconnect() override { add("disconnect"); }
  void onBtFastConnect() override { add("fast connect"); }
  void onBtFastDisconnect() override { add("fast disconnect"); }
  void onBtUnpair(std::string radio) override { add("unpair " + radio); }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(log_, {});
  }

 private:
  void add(std::string line) {
    std::lock_guard<std::mutex> guard(lock_);
    log_.push_back(std::move(line));
  }
  std::mutex lock_;
  std::vector<std::string> log_;
};

constexpr const char* kRadio = "\\\\?\\usb#vid_0a12&pid_0001#5&1#{0850302a-b344-4fda-9be9-90576b8d46f0}";
constexpr const wchar_t* kRadioWide = L"\\\\?\\USB#VID_0A12&PID_0001#5&1#{0850302a-b344-4fda-9be9-90576b8d46f0}";
constexpr const char* kOtherRadio = "\\\\?\\usb#vid_0a12&pid_0002#5&2#{0850302a-b344-4fda-9be9-90576b8d46f0}";
constexpr const wchar_t* kOtherRadioWide = L"\\\\?\\USB#VID_0A12&PID_0002#5&2#{0850302a-b344-4fda-9be9-90576b8d46f0}";
constexpr std::uint64_t kAddress = 0x001122334455ull;
constexpr const char* kClassicPath =
    "\\\\?\\hid#{00001124-0000-1000-8000-00805f9b34fb}_vid&0002046d_pid&b023#9&2a8f1d3&0&0000#{4d1e55b2-f16f-11cf-"
    "88cb-001111000030}";
constexpr const char* kLowEnergyPath =
    "\\\\?\\hid#{00001812-0000-1000-8000-00805f9b34fb}_dev_vid&02046d_pid&b024_rev&0001_66778899aabb&col02#a&1#{"
    "4d1e55b2-f16f-11cf-88cb-001111000030}";

std::vector<BYTE> address_bytes(std::uint64_t address) {
  std::vector<BYTE> bytes(8);
  std::memcpy(bytes.data(), &address, 8);
  return bytes;
}

std::vector<BYTE> wide_bytes(const std::wstring& text) {
  std::vector<BYTE> bytes((text.size() + 1) * 2);
  std::memcpy(bytes.data(), text.c_str(), bytes.size());
  return bytes;
}

class BluetoothMicrosoftBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_ = std::make_shared<FakeWin32System>();
    fake_->add_radio(kRadioWide);
    manager_ = std::make_shared<ConfigManager>();
    manager_->items[0] = true;  // bluetooth_active
    hid_ = std::make_shared<FakeSystemBus>(fake_, manager_);
    hid_->init();
    ASSERT_EQ(hid_->bluetooth_busses().size(), 1u);
    bus_ = std::dynamic_pointer_cast<BluetoothMicrosoftBus>(hid_->bluetooth_busses()[0]);
    ASSERT_TRUE(bus_);
    recorder_ = std::make_unique<BluetoothRecorder>();
    ASSERT_TRUE(recorder_->Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>::subscribe(bus_, DeliveryImmediate));
    // A classic device in the registry: model key, instance, address.
    const std::wstring model =
        L"SYSTEM\\CurrentControlSet\\Enum\\BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&0002046d_PID&b023";
    fake_->add_registry_key(L"SYSTEM\\CurrentControlSet\\Enum\\BTHENUM\\{0000110e-0000-1000-8000-00805f9b34fb}_X");
    fake_->set_registry_value(model + L"\\8&3b0a1c&0&001122334455_C00000000", L"ParentIDPrefix", REG_SZ,
                              wide_bytes(L"9&2A8F1D3&0"));
    fake_->set_registry_value(model + L"\\8&3b0a1c&0&001122334455_C00000000\\Device Parameters", L"BluetoothAddress",
                              REG_QWORD, address_bytes(kAddress));
    // A low-energy device whose instance has no address value.
    fake_->add_registry_key(
        L"SYSTEM\\CurrentControlSet\\Enum\\BTHLEDevice\\{00001812-0000-1000-8000-00805f9b34fb}_Dev_VID&02046d_PID&"
        L"b024_REV&0001_66778899aabb\\A&1");
  }
  void TearDown() override {
    recorder_.reset();
    bus_.reset();
    hid_.reset();
    EXPECT_EQ(fake_->live_handle_notifications(), 0);
    EXPECT_EQ(fake_->live_interface_notifications(), 0);
    EXPECT_EQ(fake_->keys_live.load(), 0);
  }
  void broadcast_radio(WPARAM event, const std::wstring& path) {
    std::vector<DWORD> storage((sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + path.size() * 2) / 4 + 2, 0);
    auto* header = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(storage.data());
    header->dbcc_size =
        static_cast<DWORD>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * 2);
    header->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header->dbcc_classguid = Win32Bus::kBluetoothPortInterface;
    std::memcpy(header->dbcc_name, path.c_str(), (path.size() + 1) * 2);
    ::SendMessageW(hid_->window_handle(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(header));
  }
  // A radio's own broadcast with `data` after the header.
  template <class T>
  void broadcast_custom(const char* radio, const GUID& guid, const T& data) {
    std::vector<DWORD> storage((sizeof(DEV_BROADCAST_HANDLE) + sizeof(T)) / 4 + 2, 0);
    auto* header = reinterpret_cast<DEV_BROADCAST_HANDLE*>(storage.data());
    header->dbch_size = static_cast<DWORD>(offsetof(DEV_BROADCAST_HANDLE, dbch_data) + sizeof(T));
    header->dbch_devicetype = DBT_DEVTYP_HANDLE;
    header->dbch_handle = fake_->radio_handle(radio);
    header->dbch_hdevnotify = fake_->notification_for(header->dbch_handle);
    header->dbch_eventguid = guid;
    std::memcpy(header->dbch_data, &data, sizeof(T));
    ::SendMessageW(hid_->window_handle(), WM_DEVICECHANGE, DBT_CUSTOMEVENT, reinterpret_cast<LPARAM>(header));
  }
  void l2cap(bool connected, USHORT psm = 0x13) {
    BTH_L2CAP_EVENT_INFO info{};
    info.bthAddress = kAddress;
    info.psm = psm;
    info.connected = connected;
    broadcast_custom(kRadio, BluetoothMicrosoftBus::kL2capEvent, info);
  }
  void in_range(std::uint64_t address, ULONG now, ULONG before) {
    BTH_RADIO_IN_RANGE range{};
    range.deviceInfo.address = address;
    range.deviceInfo.flags = now;
    range.previousDeviceFlags = before;
    broadcast_custom(kRadio, BluetoothMicrosoftBus::kRadioInRange, range);
  }

  std::shared_ptr<FakeWin32System> fake_;
  std::shared_ptr<ConfigManager> manager_;
  std::shared_ptr<FakeSystemBus> hid_;
  std::shared_ptr<BluetoothMicrosoftBus> bus_;
  std::unique_ptr<BluetoothRecorder> recorder_;
};

TEST_F(BluetoothMicrosoftBusTest, AddressTextIsMostSignificantByteFirst) {
  EXPECT_EQ("0011:22:334455", BluetoothMicrosoftDevice::address_text(0x001122334455ull));
  EXPECT_EQ("A0B1:C2:D3E4F5", BluetoothMicrosoftDevice::address_text(0xFFFFA0B1C2D3E4F5ull));
}

TEST_F(BluetoothMicrosoftBusTest, RadiosArriveAndLeave) {
  // The radio present at the start was opened by the subscription.
  EXPECT_TRUE(bus_->radio_present(kRadio));
  EXPECT_EQ(fake_->live_handle_notifications(), 1);
  EXPECT_EQ(fake_->live_interface_notifications(), 2);  // HID class and radio class

  fake_->add_radio(kOtherRadioWide);
  broadcast_radio(DBT_DEVICEARRIVAL, kOtherRadioWide);
  broadcast_radio(DBT_DEVICEARRIVAL, kOtherRadioWide);  // already open: only told again
  EXPECT_EQ(recorder_->take(),
            (std::vector<std::string>{std::string("+radio ") + kOtherRadio, std::string("+radio ") + kOtherRadio}));
  EXPECT_TRUE(bus_->radio_present(kOtherRadio));
  EXPECT_EQ(fake_->live_handle_notifications(), 2);

  broadcast_radio(DBT_DEVICEREMOVECOMPLETE, kOtherRadioWide);
  EXPECT_EQ(recorder_->take(), std::vector<std::string>{std::string("-radio ") + kOtherRadio});
  EXPECT_FALSE(bus_->radio_present(kOtherRadio));
  EXPECT_EQ(fake_->live_handle_notifications(), 1);

  // A radio that cannot be opened is not announced.
  broadcast_radio(DBT_DEVICEARRIVAL, L"\\\\?\\usb#gone#{0850302a-b344-4fda-9be9-90576b8d46f0}");
  EXPECT_TRUE(recorder_->take().empty());
}

TEST_F(BluetoothMicrosoftBusTest, PathsAreAnsweredFromTheRegistryOnce) {
  std::shared_ptr<IBluetoothDevice> classic = bus_->device_paired_on_path(kClassicPath);
  ASSERT_TRUE(classic);
  EXPECT_EQ("0011:22:334455", classic->path());
  EXPECT_EQ(2, classic->bus_type());
  std::shared_ptr<IBluetoothDevice> low_energy = bus_->device_paired_on_path(kLowEnergyPath);
  ASSERT_TRUE(low_energy);
  EXPECT_EQ("6677:88:99AABB", low_energy->path());
  EXPECT_EQ(3, low_energy->bus_type());
  EXPECT_FALSE(bus_->device_paired_on_path("\\\\?\\hid#vid_046d&pid_c087#corded"));

  const int opens = fake_->registry_opens.load();
  EXPECT_EQ(classic, bus_->device_paired_on_path(kClassicPath));
  EXPECT_FALSE(bus_->device_paired_on_path("\\\\?\\hid#vid_046d&pid_c087#corded"));
  EXPECT_EQ(opens, fake_->registry_opens.load());
  // One object per address, whichever event makes it.
  l2cap(true);
  EXPECT_EQ(classic, bus_->device_for(kAddress, 2));
}

TEST_F(BluetoothMicrosoftBusTest, ADeviceIsPairedConnectedDisconnectedAndUnpaired) {
  std::shared_ptr<IBluetoothDevice> device = bus_->device_paired_on_path(kClassicPath);
  ASSERT_TRUE(device);
  recorder_->follow(device);

  // Nothing answers yet: the device counts as connected through "unknown".
  EXPECT_TRUE(device->connected());
  EXPECT_EQ("unknown", device->connected_radio("", 2));
  std::string radio = "unknown";
  EXPECT_TRUE(device->verify_pairing(radio));

  fake_->set_bluetooth_info(kRadio, kAddress, {true, true, L"Mirel \u00c9", ERROR_SUCCESS});
  EXPECT_TRUE(device->connected());
  EXPECT_EQ(kRadio, device->connected_radio(kClassicPath, 2));
  EXPECT_EQ("Mirel \xc3\x89", device->name());
  radio = kRadio;
  EXPECT_TRUE(device->verify_pairing(radio));
  EXPECT_EQ(kRadio, radio);

  l2cap(true, 0x0011);  // the control channel: nothing
  EXPECT_TRUE(recorder_->take().empty());
  l2cap(false);
  EXPECT_EQ(recorder_->take(), (std::vector<std::string>{"fast disconnect", "disconnect"}));
  l2cap(true);
  EXPECT_EQ(recorder_->take(), (std::vector<std::string>{"fast connect", std::string("connect ") + kRadio}));

  // A failed query keeps what was learned.
  fake_->set_bluetooth_info(kRadio, kAddress, {false, true, L"", ERROR_GEN_FAILURE});
  EXPECT_TRUE(device->connected());

  // Unpaired: the radio no longer remembers it.
  fake_->set_bluetooth_info(kRadio, kAddress, {false, false, L"", ERROR_SUCCESS});
  EXPECT_FALSE(device->connected());
  EXPECT_TRUE(device->verify_pairing(radio));
  EXPECT_TRUE(radio.empty());
  in_range(kAddress, 0, BluetoothMicrosoftBus::kPersonal);
  EXPECT_EQ(recorder_->take(), std::vector<std::string>{std::string("unpair ") + kRadio});

  // The radio leaving takes the connection with it.
  l2cap(true);
  recorder_->take();
  std::string gone = kOtherRadio;
  EXPECT_FALSE(device->verify_pairing(gone));
  EXPECT_EQ(last_error_code(), RadioNotPresent);
  broadcast_radio(DBT_DEVICEREMOVECOMPLETE, kRadioWide);
  EXPECT_EQ(recorder_->take(),
            (std::vector<std::string>{"fast disconnect", "disconnect", std::string("-radio ") + kRadio}));
  EXPECT_FALSE(device->radio_present(kRadio));
}

TEST_F(BluetoothMicrosoftBusTest, LowEnergyDevicesFollowTheRadioInRangeFlags) {
  constexpr ULONG kConnected = BluetoothMicrosoftBus::kConnected;
  constexpr ULONG kLe = BluetoothMicrosoftBus::kLePersonal;
  constexpr std::uint64_t kLeAddress = 0x66778899AABBull;
  // Gains both bits with no device object yet: made as low energy, connected.
  in_range(kLeAddress, kLe | kConnected, 0);
  std::shared_ptr<BluetoothMicrosoftDevice> device = bus_->device_for(kLeAddress, 2);
  EXPECT_EQ(3, device->bus_type());
  recorder_->follow(device);
  EXPECT_EQ(kRadio, device->connected_radio("", 3));

  in_range(kLeAddress, kLe | kConnected, kLe);  // reconnects
  EXPECT_EQ(recorder_->take(), (std::vector<std::string>{"fast connect", std::string("connect ") + kRadio}));
  in_range(kLeAddress, kLe, kLe | kConnected);  // disconnects
  EXPECT_EQ(recorder_->take(), (std::vector<std::string>{"fast disconnect", "disconnect"}));
  in_range(kLeAddress, kConnected, kLe | kConnected);  // unpaired while connected
  EXPECT_EQ(recorder_->take(),
            (std::vector<std::string>{"fast disconnect", "disconnect", std::string("unpair ") + kRadio}));

  // A broadcast cut short is ignored.
  std::vector<DWORD> storage(16, 0);
  auto* header = reinterpret_cast<DEV_BROADCAST_HANDLE*>(storage.data());
  header->dbch_size = offsetof(DEV_BROADCAST_HANDLE, dbch_data) + 4;
  header->dbch_devicetype = DBT_DEVTYP_HANDLE;
  header->dbch_hdevnotify = fake_->notification_for(fake_->radio_handle(kRadio));
  header->dbch_eventguid = BluetoothMicrosoftBus::kRadioInRange;
  ::SendMessageW(hid_->window_handle(), WM_DEVICECHANGE, DBT_CUSTOMEVENT, reinterpret_cast<LPARAM>(header));
  EXPECT_TRUE(recorder_->take().empty());
}

TEST_F(BluetoothMicrosoftBusTest, ASwitchedOffBusAnswersNothing) {
  recorder_.reset();
  bus_.reset();
  hid_.reset();
  manager_->items[0] = false;
  hid_ = std::make_shared<FakeSystemBus>(fake_, manager_);
  hid_->init();
  bus_ = std::dynamic_pointer_cast<BluetoothMicrosoftBus>(hid_->bluetooth_busses()[0]);
  BluetoothRecorder recorder;
  EXPECT_FALSE(recorder.Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>::subscribe(bus_, DeliveryImmediate));
  EXPECT_EQ(last_error_code(), BluetoothNotificationFailed);
  EXPECT_FALSE(bus_->device_paired_on_path(kClassicPath));
  EXPECT_EQ(fake_->registry_opens.load(), 0);
}

}  // namespace
}  // namespace rodiz::test
