#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "Windows/WideText.h"
#include "Windows/Win32Harness.h"
#include "device/LastError.h"
#include "runtime/IDeviceManager.h"

namespace rodiz::test {
namespace {

// Only what the bus asks of its manager: configuration and unreported errors.
class ManagerStub : public IDeviceManager {
 public:
  std::vector<std::shared_ptr<IDevice>> devices() override { return {}; }
  std::vector<std::shared_ptr<IDevice>> devices_on_bus(std::shared_ptr<IDevice>) override { return {}; }
  void swid(int) override {}
  int swid() override { return 10; }
  bool is_active() override { return true; }
  void set_active(bool) override {}
  void report_unreported_error(const char* context) override {
    std::lock_guard<std::mutex> guard(lock);
    reported.emplace_back(context, last_error_code());
  }
  void enqueue_event_for_runloop(RunLoopEntry) override {}
  void call_event_from_runloop() override {}
  void remove_runloop_events(const void*, const void*) override {}
  void persistent_data_directory(std::string) override {}
  bool config_default(unsigned, bool*) override { return true; }
  bool config_get(unsigned, bool* value) override {
    *value = false;
    return true;
  }
  bool config_set(unsigned, bool) override { return true; }
  bool connectToHardwareBusses() override { return true; }
  std::shared_ptr<IDevice> makeDevice(std::shared_ptr<IHardwareDevice>, int, int) override { return nullptr; }

  std::mutex lock;
  std::vector<std::pair<std::string, ErrorCode>> reported;
};

class Win32BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_ = std::make_shared<FakeWin32System>();
    manager_ = std::make_shared<ManagerStub>();
    bus_ = std::make_shared<FakeSystemBus>(fake_, manager_);
    bus_->init();
  }
  void TearDown() override {
    recorder_.reset();
    bus_.reset();
    // Every registration and every tracked handle went with the bus.
    EXPECT_EQ(fake_->live_handle_notifications(), 0);
    EXPECT_EQ(fake_->live_interface_notifications(), 0);
    EXPECT_EQ(fake_->sets_live.load(), 0);
  }
  void subscribe() {
    recorder_ = std::make_unique<PlugRecorder>();
    ASSERT_TRUE(recorder_->subscribe(bus_, DeliveryImmediate));
  }
  static FakeCollection ours(const std::wstring& path, USHORT usage = 1) {
    FakeCollection c;
    c.path = path;
    c.usage = usage;
    return c;
  }
  void broadcast_interface(WPARAM event, const GUID& guid, const std::wstring& path) {
    std::vector<DWORD> storage((sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + path.size() * 2) / 4 + 2, 0);
    auto* header = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(storage.data());
    header->dbcc_size =
        static_cast<DWORD>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * 2);
    header->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header->dbcc_classguid = guid;
    std::memcpy(header->dbcc_name, path.c_str(), (path.size() + 1) * 2);
    ::SendMessageW(bus_->window_handle(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(header));
  }

  std::shared_ptr<FakeWin32System> fake_;
  std::shared_ptr<ManagerStub> manager_;
  std::shared_ptr<FakeSystemBus> bus_;
  std::unique_ptr<PlugRecorder> recorder_;
};

TEST_F(Win32BusTest, NothingStartsBeforeTheFirstSubscriptionOrListing) {
  EXPECT_EQ(bus_->window_handle(), nullptr);
  EXPECT_TRUE(bus_->wants_combiner());
  EXPECT_EQ(bus_->bluetooth_busses().size(), 1u);  // always, switched off here
  EXPECT_TRUE(bus_->secondary_busses().empty());
  // A registration asked for before the window exists.
  EXPECT_EQ(bus_->registerDeviceNotificationAndTakeOwnershipOfHandle(::GetCurrentProcess()), nullptr);
  EXPECT_EQ(last_error_code(), ShuttingDown);
  EXPECT_EQ(bus_->registerInterfaceNotification(), nullptr);
  EXPECT_EQ(last_error_code(), ShuttingDown);
  bus_->unregisterDeviceNotificationAndCloseTrackedHandle(nullptr, nullptr);  // only logged
  subscribe();
  EXPECT_NE(bus_->window_handle(), nullptr);
  EXPECT_EQ(fake_->live_interface_notifications(), 1);  // the HID class
}

TEST_F(Win32BusTest, ListsTheCollectionsThatOpenEachOpenedAndClosedOnce) {
  fake_->add(ours(L"\\\\?\\HID#VID_046D&PID_C087&Col01#A"));
  fake_->add(ours(L"\\\\?\\HID#VID_046D&PID_C087&Col02#A", 2));
  FakeCollection foreign = ours(L"\\\\?\\HID#VID_1234&PID_0001#B");
  foreign.vendor = 0x1234;
  fake_->add(foreign);
  FakeCollection vanished = ours(L"\\\\?\\HID#VID_046D&PID_C087&Col01#C");
  vanished.open_fails = true;
  fake_->add(vanished);

  const auto devices = bus_->devices();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0]->path(), "\\\\?\\hid#vid_046d&pid_c087&col01#a");
  EXPECT_EQ(devices[1]->path(), "\\\\?\\hid#vid_046d&pid_c087&col02#a");
  EXPECT_EQ(devices[0]->combine_key(), devices[1]->combine_key());
  EXPECT_EQ(fake_->create_file_calls.load(), 4);
  EXPECT_EQ(fake_->live_handle_notifications(), 0);  // closed again
}

TEST_F(Win32BusTest, EnumerationFailuresGiveAnEmptyListWithTheirError) {
  EXPECT_TRUE(bus_->devices().empty());
  EXPECT_EQ(last_error_code(), NoError);  // nothing there is not an error

  fake_->add(ours(L"\\\\?\\HID#A"));
  fake_->fail_class_devs = true;
  EXPECT_TRUE(bus_->devices().empty());
  EXPECT_EQ(last_error_code(), SystemCallFailed);
  EXPECT_STREQ(last_error().text, "SetupDiGetClassDevs failed");

  fake_->fail_class_devs = false;
  fake_->enum_error = ERROR_INVALID_DATA;
  EXPECT_TRUE(bus_->devices().empty());
  EXPECT_EQ(last_error_code(), SystemCallFailed);
  EXPECT_EQ(last_error().system, static_cast<unsigned>(ERROR_INVALID_DATA));
}

TEST_F(Win32BusTest, AMissingLibraryRefusesTheSubscription) {
  fake_->guid_missing = true;
  PlugRecorder recorder;
  EXPECT_FALSE(recorder.subscribe(bus_, DeliveryImmediate));
  EXPECT_EQ(last_error_code(), SystemLibraryMissing);
  EXPECT_STREQ(last_error().text, "LoadLibrary hid.dll failed");
  EXPECT_TRUE(bus_->devices().empty());
  EXPECT_EQ(last_error_code(), SystemLibraryMissing);
}

TEST_F(Win32BusTest, AWindowThatCannotBeCreatedFailsTheStartAndIsReported) {
  fake_->fail_create_window = true;
  PlugRecorder recorder;
  EXPECT_FALSE(recorder.subscribe(bus_, DeliveryImmediate));
  EXPECT_EQ(last_error_code(), WindowThreadFailed);
  {
    std::lock_guard<std::mutex> guard(manager_->lock);
    ASSERT_EQ(manager_->reported.size(), 1u);
    EXPECT_EQ(manager_->reported[0].first, "Win32Bus::window_thread_static");
    EXPECT_EQ(manager_->reported[0].second, WindowThreadFailed);
  }
  // A later attempt starts again.
  fake_->fail_create_window = false;
  EXPECT_TRUE(recorder.subscribe(bus_, DeliveryImmediate));
}

TEST_F(Win32BusTest, AWindowThreadThatHangsDoesNotHangTheStart) {
  fake_->block_create_window = true;
  bus_->set_start_timeout_ms(100);
  PlugRecorder recorder;
  EXPECT_FALSE(recorder.subscribe(bus_, DeliveryImmediate));
  EXPECT_EQ(last_error_code(), WindowThreadFailed);
  fake_->release_window();
  bus_->set_start_timeout_ms(5000);
  EXPECT_TRUE(recorder.subscribe(bus_, DeliveryImmediate));
}

TEST_F(Win32BusTest, InterfaceBroadcastsBecomePlugAndUnplugOfFreshChannels) {
  subscribe();
  const std::wstring path = L"\\\\?\\HID#VID_046D&PID_C087&Col01#Z";
  const GUID other = {0x0850302A, 0xB344, 0x4FDA, {0x9B, 0xE9, 0x90, 0x57, 0x6B, 0x8D, 0x46, 0xF0}};
  broadcast_interface(DBT_DEVICEARRIVAL, FakeWin32System::kHidGuid, path);
  broadcast_interface(DBT_DEVICEARRIVAL, other, path);  // not HID: nothing
  broadcast_interface(DBT_DEVICEREMOVECOMPLETE, FakeWin32System::kHidGuid, path);
  broadcast_interface(DBT_DEVICEQUERYREMOVEFAILED, FakeWin32System::kHidGuid, path);
  broadcast_interface(DBT_DEVICEREMOVEPENDING, FakeWin32System::kHidGuid, path);
  broadcast_interface(DBT_DEVNODES_CHANGED, FakeWin32System::kHidGuid, path);  // not an arrival or removal
  const std::string lower = "\\\\?\\hid#vid_046d&pid_c087&col01#z";
  EXPECT_EQ(recorder_->plugs(), (std::vector<std::string>{lower, lower}));
  EXPECT_EQ(recorder_->unplugs(), (std::vector<std::string>{lower, lower}));
  const auto unplugged = recorder_->unplugged_devices();
  ASSERT_EQ(2u, unplugged.size());
  EXPECT_NE(unplugged[0], unplugged[1]);  // a fresh object each time
}

TEST_F(Win32BusTest, OnlyTheAutomaticResumeIsAPowerEvent) {
  subscribe();
  ::SendMessageW(bus_->window_handle(), WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
  ::SendMessageW(bus_->window_handle(), WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
  ::SendMessageW(bus_->window_handle(), WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
  EXPECT_EQ(recorder_->powers(), std::vector<bool>{false});
}

TEST_F(Win32BusTest, RequestsCarryResultsAndErrorsAcrossThreads) {
  subscribe();
  const HDEVNOTIFY radios = bus_->registerInterfaceNotification();
  EXPECT_NE(radios, nullptr);
  EXPECT_EQ(fake_->live_interface_notifications(), 2);
  bus_->unregisterInterfaceNotification(radios);
  EXPECT_EQ(fake_->live_interface_notifications(), 1);

  fake_->fail_register = true;
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(bus_->registerDeviceNotificationAndTakeOwnershipOfHandle(event), nullptr);
  EXPECT_EQ(last_error_code(), RegisterDeviceNotificationFailed);
  EXPECT_EQ(last_error().system, static_cast<unsigned>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(bus_->registerInterfaceNotification(), nullptr);
  EXPECT_EQ(last_error_code(), RegisterInterfaceNotificationFailed);
  fake_->fail_register = false;

  // A tracked handle is closed by the bus when it is handed back.
  const HDEVNOTIFY notification = bus_->registerDeviceNotificationAndTakeOwnershipOfHandle(event);
  ASSERT_NE(notification, nullptr);
  EXPECT_TRUE(bus_->verifyDeviceNotificationHandleOpen(notification, event));
  bus_->unregisterDeviceNotificationAndCloseTrackedHandle(notification, event);
  DWORD flags = 0;
  EXPECT_FALSE(::GetHandleInformation(event, &flags));
  EXPECT_FALSE(bus_->verifyDeviceNotificationHandleOpen(notification, event));
}

TEST_F(Win32BusTest, MalformedRequestsAndAMessageStormChangeNothing) {
  subscribe();
  const HWND window = bus_->window_handle();
  Win32Bus::Request request;
  request.is_handle = 1;
  request.file = ::GetCurrentProcess();
  Win32Bus::Request wrong_size = request;
  wrong_size.size = 3;
  // Wrong wParam, null lParam, a record nobody is waiting for, a record of
  // another size: all ignored.
  ::SendMessageW(window, WM_USER, 1, reinterpret_cast<LPARAM>(&request));
  ::SendMessageW(window, WM_USER, sizeof(Win32Bus::Request), 0);
  ::SendMessageW(window, WM_USER, sizeof(Win32Bus::Request), reinterpret_cast<LPARAM>(&request));
  ::SendMessageW(window, WM_USER, sizeof(Win32Bus::Request), reinterpret_cast<LPARAM>(&wrong_size));
  EXPECT_EQ(request.file_notification, nullptr);
  EXPECT_EQ(fake_->live_handle_notifications(), 0);

  // A storm of posted messages, among them a stray WM_CLOSE and headers
  // that are absent or claim less than their type needs.
  DEV_BROADCAST_HDR tiny{};
  tiny.dbch_size = sizeof tiny;
  tiny.dbch_devicetype = DBT_DEVTYP_HANDLE;
  for (int i = 0; i < 3000; ++i) {
    ::PostMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL + (i % 5), 0);
    ::PostMessageW(window, WM_USER, sizeof(Win32Bus::Request), 0x1000 + i);
  }
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  ::SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, reinterpret_cast<LPARAM>(&tiny));
  broadcast_interface(DBT_DEVICEARRIVAL, FakeWin32System::kHidGuid, L"");
  // The window still serves requests and broadcasts.
  const HDEVNOTIFY radios = bus_->registerInterfaceNotification();
  EXPECT_NE(radios, nullptr);
  bus_->unregisterInterfaceNotification(radios);
  broadcast_interface(DBT_DEVICEARRIVAL, FakeWin32System::kHidGuid, L"\\\\?\\HID#after");
  EXPECT_EQ(recorder_->plugs(), std::vector<std::string>{"\\\\?\\hid#after"});
}

TEST_F(Win32BusTest, AVanishedDeviceIsReportedLost) {
  subscribe();
  fake_->add(ours(L"\\\\?\\HID#Here"));
  EXPECT_TRUE(bus_->verify_device_exists("\\\\?\\hid#here"));
  EXPECT_TRUE(recorder_->unplugs().empty());
  fake_->remove(L"\\\\?\\HID#Here");
  EXPECT_FALSE(bus_->verify_device_exists("\\\\?\\hid#here"));
  EXPECT_EQ(recorder_->unplugs(), std::vector<std::string>{"\\\\?\\hid#here"});
}

TEST_F(Win32BusTest, StoppingTheBusClosesTheHandlesItStillTracks) {
  fake_->add(ours(L"\\\\?\\HID#Open"));
  subscribe();
  auto devices = bus_->devices();
  ASSERT_EQ(devices.size(), 1u);
  ASSERT_TRUE(devices[0]->open());
  const HANDLE file = fake_->channel_end("\\\\?\\hid#open");
  bus_.reset();
  DWORD flags = 0;
  EXPECT_FALSE(::GetHandleInformation(file, &flags));
  // The channel outlives its bus: closing it is harmless.
  devices[0]->close();
  EXPECT_FALSE(devices[0]->open());
  EXPECT_EQ(last_error_code(), ShuttingDown);
}

}  // namespace
}  // namespace rodiz::test

namespace rodiz::test {
namespace {

// The bus on the real system, as the program makes it: the window thread
// starts and stops, and a listing answers (empty where no HID device is).
TEST(Win32BusRealSystemTest, StartsListsAndStops) {
  auto bus = std::make_shared<Win32Bus>(std::weak_ptr<IDeviceManager>());
  bus->init();
  PlugRecorder recorder;
  ASSERT_TRUE(recorder.subscribe(bus, DeliveryImmediate));
  EXPECT_NE(bus->window_handle(), nullptr);
  const auto devices = bus->devices();
  for (const auto& device : devices) EXPECT_FALSE(device->path().empty());
  recorder.Subscriber<IHardwareBus::PlugUnplug>::unsubscribe(bus);
  bus.reset();
}

}  // namespace
}  // namespace rodiz::test
