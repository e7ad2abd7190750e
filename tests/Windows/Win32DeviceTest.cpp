#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "Windows/OverlappedTransfer.h"
#include "Windows/WideText.h"
#include "Windows/Win32Harness.h"
#include "device/LastError.h"

namespace rodiz::test {
namespace {

const std::wstring kShortPath =
    L"\\\\?\\HID#VID_046D&PID_C087&MI_02&Col01#8&2A0&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const std::wstring kLongPath =
    L"\\\\?\\HID#VID_046D&PID_C087&MI_02&Col02#8&2A0&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030}";

class Win32DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    live_transfers_ = OverlappedTransfer::live_count();
    fake_ = std::make_shared<FakeWin32System>();
    bus_ = std::make_shared<FakeSystemBus>(fake_);
    bus_->lazyStart();
  }
  void TearDown() override {
    bus_.reset();
    EXPECT_EQ(fake_->preparsed_live.load(), 0);
    EXPECT_EQ(fake_->live_handle_notifications(), 0);
    EXPECT_TRUE(eventually([&] { return OverlappedTransfer::live_count() == live_transfers_; }));
    EXPECT_EQ(OverlappedTransfer::destroyed_while_pending(), 0);
  }

  std::shared_ptr<Win32Device> channel(const FakeCollection& collection) {
    fake_->add(collection);
    return std::make_shared<Win32Device>(bus_, fake_, WideText::lower_utf8(collection.path), 0);
  }
  static FakeCollection collection(const std::wstring& path = kShortPath) {
    FakeCollection c;
    c.path = path;
    return c;
  }
  static std::string lower(const std::wstring& path) { return WideText::lower_utf8(path); }

  long live_transfers_ = 0;
  std::shared_ptr<FakeWin32System> fake_;
  std::shared_ptr<FakeSystemBus> bus_;
};

struct IdentityCase {
  const char* name;
  std::function<void(FakeCollection&)> change;
  ErrorCode error;  // NoError: the collection is accepted
  int bit;
  int need;
  bool key_is_path;
};

TEST_F(Win32DeviceTest, IdentityDecidesAcceptanceBitsAndCombineKey) {
  const IdentityCase cases[] = {
      {"short vendor collection", [](FakeCollection&) {}, NoError, 1, 3, false},
      {"long vendor collection",
       [](FakeCollection& c) {
         c.usage = 2;
         c.input_length = c.output_length = 20;
         c.output_value_ids = {0x11};
       },
       NoError, 2, 3, false},
      {"ff43 bit 2 of 3", [](FakeCollection& c) { c.usage_page = 0xFF43, c.usage = 0x0302; }, NoError, 2, 3, false},
      {"ff43 whole by itself", [](FakeCollection& c) { c.usage_page = 0xFF43, c.usage = 0x0202; }, NoError, 2, 2, true},
      {"ff43 two bits", [](FakeCollection& c) { c.usage_page = 0xFF43, c.usage = 0x0303; }, NotFrapCollection, 0, 0,
       false},
      {"ff43 bit not in mask", [](FakeCollection& c) { c.usage_page = 0xFF43, c.usage = 0x0104; }, NotFrapCollection, 0,
       0, false},
      {"product 5800 needs collection 2 only",
       [](FakeCollection& c) {
         c.product = 0x5800;
         c.usage = 2;
       },
       NoError, 2, 2, true},
      {"ff00 usage 3", [](FakeCollection& c) { c.usage = 3; }, NotFrapCollection, 0, 0, false},
      {"keyboard page", [](FakeCollection& c) { c.usage_page = 0x0001, c.usage = 6; }, NotVendorUsagePage, 0, 0, false},
      {"foreign vendor", [](FakeCollection& c) { c.vendor = 0x1234; }, ForeignVendor, 0, 0, false},
      {"two output caps", [](FakeCollection& c) { c.output_button_ids = {0x11}; }, NotFrapCollection, 0, 0, false},
      {"no input cap", [](FakeCollection& c) { c.input_caps = 0; }, NotFrapCollection, 0, 0, false},
      {"input and output lengths differ", [](FakeCollection& c) { c.output_length = 20; }, NotFrapCollection, 0, 0,
       false},
      {"reports without room for data", [](FakeCollection& c) { c.input_length = c.output_length = 1; },
       NotFrapCollection, 0, 0, false},
      {"attributes fail", [](FakeCollection& c) { c.attributes_fail = true; }, GetAttributesFailed, 0, 0, false},
      {"preparsed data fails", [](FakeCollection& c) { c.preparsed_fails = true; }, GetPreparsedDataFailed, 0, 0,
       false},
      {"caps fail", [](FakeCollection& c) { c.caps_fail = true; }, HidCapsFailed, 0, 0, false},
      {"vanished before open", [](FakeCollection& c) { c.open_fails = true; }, CreateFileFailed, 0, 0, false},
  };
  int index = 0;
  for (const IdentityCase& test : cases) {
    SCOPED_TRACE(test.name);
    FakeCollection c = collection(kShortPath + std::to_wstring(index++));
    test.change(c);
    auto device = channel(c);
    clear_last_error();
    const bool opened = device->open();
    EXPECT_EQ(opened, test.error == NoError);
    if (test.error != NoError) {
      EXPECT_EQ(last_error_code(), test.error);
      if (test.error == ForeignVendor) {
        EXPECT_EQ(last_error().system, c.product);
      }
      if (test.error == CreateFileFailed) {
        EXPECT_EQ(last_error().system, static_cast<unsigned>(ERROR_FILE_NOT_FOUND));
      }
      // The refused collection's handle is closed, not leaked.
      const HANDLE end = fake_->channel_end(lower(c.path));
      DWORD flags = 0;
      if (end != INVALID_HANDLE_VALUE) {
        EXPECT_FALSE(::GetHandleInformation(end, &flags));
      }
      continue;
    }
    EXPECT_EQ(device->collection_bit(), test.bit);
    EXPECT_EQ(device->collections_needed(), test.need);
    EXPECT_EQ(device->combine_key(), test.key_is_path ? lower(c.path) : c.parent);
    EXPECT_EQ(device->report_length(), c.output_length);
    EXPECT_EQ(device->pid(), c.product);
    EXPECT_EQ(device->name(), "VELOXA");
    device->close();
  }
}

TEST_F(Win32DeviceTest, BluetoothLowEnergyIdsComeFromThePath) {
  const std::wstring ble = L"\\\\?\\hid#{00001812-0000-1000-8000-00805f9b34fb}_dev_vid&02";
  struct Case {
    std::wstring path;
    bool accepted;
  } cases[] = {
      {ble + L"046d_pid&c087_rev&0001_5b3ab2e1#9&1&0000#{4d1e55b2}", true},
      {ble + L"046d_pid&c087", false},             // ends within 25 characters
      {ble + L"04zz_pid&c087_rev&0001#x", false},  // not hexadecimal
  };
  for (const Case& test : cases) {
    FakeCollection c = collection(test.path);
    c.vendor = 0;
    c.product = 0;
    auto device = channel(c);
    EXPECT_EQ(device->open(), test.accepted);
    if (test.accepted) {
      EXPECT_EQ(device->pid(), 0xC087);
    } else {
      EXPECT_EQ(last_error_code(), ForeignVendor);
    }
    device->close();
  }
}

TEST_F(Win32DeviceTest, AMissingProductStringLeavesTheNameEmpty) {
  FakeCollection c = collection();
  c.product_fails = true;
  auto device = channel(c);
  ASSERT_TRUE(device->open());
  EXPECT_EQ(device->name(), "");
}

TEST_F(Win32DeviceTest, AMissingEntryPointFailsTheOpenCleanly) {
  fake_->attributes_missing = true;
  auto device = channel(collection());
  EXPECT_FALSE(device->open());
  EXPECT_EQ(last_error_code(), SystemLibraryMissing);
  EXPECT_STREQ(last_error().text, "HidD_GetAttributes ProcAddress Missing");
  DWORD flags = 0;
  EXPECT_FALSE(::GetHandleInformation(fake_->channel_end(lower(kShortPath)), &flags));
}

TEST_F(Win32DeviceTest, WritesGetTheReportIdAndArePaddedOrRefused) {
  struct Case {
    const char* name;
    std::vector<Byte> report;
    ErrorCode result;
    std::vector<unsigned char> on_the_wire;
  } cases[] = {
      {"full short report",
       {0x11, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x05},
       NoError,
       {0x10, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x05}},
      {"padded", {0x10, 0xFF, 0x02}, NoError, {0x10, 0xFF, 0x02, 0, 0, 0, 0}},
      {"too long", std::vector<Byte>(20, 0x11), WriteExceedsCollectionSize, {}},
      {"empty", {}, WriteTooShort, {}},
  };
  auto device = channel(collection());
  ReadRecorder recorder;
  ASSERT_TRUE(recorder.Subscriber<IHardwareDevice::Write>::subscribe(device, DeliveryImmediate));
  ASSERT_TRUE(device->open());
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(device->write(test.report, false), test.result == NoError);
    EXPECT_EQ(recorder.writes().back().result, test.result);
    if (test.result == NoError) {
      EXPECT_EQ(fake_->device_read(lower(kShortPath), 5000), test.on_the_wire);
      EXPECT_EQ(recorder.writes().back().report, std::vector<Byte>(test.on_the_wire.begin(), test.on_the_wire.end()));
    } else {
      EXPECT_EQ(last_error_code(), test.result);
      EXPECT_TRUE(recorder.writes().back().report.empty());
    }
  }
  EXPECT_EQ(recorder.writes().size(), std::size(cases));
}

TEST_F(Win32DeviceTest, ABlockingWriteNeedsAReaderThatIsNotItself) {
  auto device = channel(collection());
  ASSERT_TRUE(device->open());
  EXPECT_FALSE(device->write({0x10, 0xFF, 0x00}, true));
  EXPECT_EQ(last_error_code(), CannotPerformWriteWithoutReadThreadRunning);

  ReadRecorder recorder;
  std::atomic<int> from_reader{-1};
  recorder.on_read = [&](const ReadRecorder::Read&) {
    device->write({0x10, 0xFF, 0x00}, true);
    from_reader = last_error_code();
  };
  ASSERT_TRUE(recorder.Subscriber<IHardwareDevice::Read>::subscribe(device, DeliveryImmediate));
  ASSERT_TRUE(fake_->device_write(lower(kShortPath), {0x10, 0xFF, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(eventually([&] { return from_reader != -1; }));
  EXPECT_EQ(from_reader.load(), CannotPerformBlockingWriteOnReadThread);
  EXPECT_TRUE(device->write({0x10, 0xFF, 0x00}, true));
  device->close();
}

TEST_F(Win32DeviceTest, ReadsPassOnWhatWasReadOnly) {
  auto device = channel(collection());
  ReadRecorder recorder;
  // Subscribed before the open: reading starts with it.
  ASSERT_TRUE(recorder.Subscriber<IHardwareDevice::Read>::subscribe(device, DeliveryImmediate));
  ASSERT_TRUE(device->open());
  const std::vector<std::vector<unsigned char>> sent = {
      {0x10, 0xFF, 0x00, 0x1A, 0x01, 0x02, 0x03},  // a whole report
      {0x10, 0xFF, 0x00},                          // short: the rest is not made up
      {0x42, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06},  // unknown report id: passed on, judged above
  };
  for (const auto& report : sent) ASSERT_TRUE(fake_->device_write(lower(kShortPath), report));
  ASSERT_TRUE(eventually([&] { return recorder.reads().size() == sent.size(); }));
  const auto reads = recorder.reads();
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(reads[i].report, std::vector<Byte>(sent[i].begin(), sent[i].end()));
    EXPECT_EQ(reads[i].count, sent[i].size());
    EXPECT_EQ(reads[i].error, 0u);
    EXPECT_FALSE(reads[i].routed);
  }
  device->close();
}

TEST_F(Win32DeviceTest, AWriteThatTimesOutIsCancelledAndKeptUntilTheSystemIsDone) {
  FakeCollection c = collection();
  c.pipe_buffer = 1;
  auto device = channel(c);
  ASSERT_TRUE(device->open());
  device->set_write_timeout_ms(50);
  // Nobody reads the device's end: the pipe fills and a write has to wait.
  int written = 0;
  while (device->write({0x10, 0xFF, static_cast<Byte>(written)}, false)) {
    ASSERT_LT(++written, 10000);
  }
  EXPECT_EQ(last_error_code(), WriteTimeout);
  // The device reads everything now; a write the cancel did not catch
  // completes into the record the channel still keeps.
  while (!fake_->device_read(lower(kShortPath), 50).empty()) {
  }
  device->close();
  EXPECT_EQ(device->abandoned_writes(), 0u);
  EXPECT_EQ(OverlappedTransfer::destroyed_while_pending(), 0);
}

// The device never reads again: the timed-out writes stay with the system
// until close cancels them, and the channel is destroyed right after without
// leaving a record or buffer the system could still write into.
TEST_F(Win32DeviceTest, AStuckWriteIsCancelledAndTheChannelStopsCleanly) {
  FakeCollection c = collection();
  c.pipe_buffer = 1;
  auto device = channel(c);
  ReadRecorder recorder;
  ASSERT_TRUE(recorder.Subscriber<IHardwareDevice::Read>::subscribe(device, DeliveryImmediate));
  ASSERT_TRUE(recorder.Subscriber<IHardwareDevice::Write>::subscribe(device, DeliveryImmediate));
  ASSERT_TRUE(device->open());
  device->set_write_timeout_ms(20);
  int timeouts = 0;
  for (int i = 0; i < 200 && timeouts < 3; ++i) {
    if (!device->write({0x10, 0xFF, static_cast<Byte>(i)}, true)) {
      EXPECT_EQ(last_error_code(), WriteTimeout);
      ++timeouts;
    }
  }
  ASSERT_EQ(timeouts, 3);
  const auto writes = recorder.writes();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.back().result, WriteTimeout);
  EXPECT_EQ(writes.back().report.size(), 7u);  // the padded report, as it was sent
  // The channel keeps the timed-out writes the system has not given back.
  const long live = OverlappedTransfer::live_count();
  EXPECT_GT(live, live_transfers_);
  std::weak_ptr<Win32Device> weak = device;
  device->close();
  device.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(OverlappedTransfer::destroyed_while_pending(), 0);
}

// Listed by the bus, gone before the layer above opens it, back again later.
TEST_F(Win32DeviceTest, ADeviceThatVanishesAfterItsListingFailsToOpenCleanly) {
  fake_->add(collection());
  const auto listed = bus_->devices();
  ASSERT_EQ(listed.size(), 1u);
  const std::shared_ptr<IHardwareDevice> device = listed[0];
  fake_->remove(kShortPath);
  ReadRecorder recorder;
  ASSERT_TRUE(recorder.Subscriber<IHardwareDevice::Read>::subscribe(device, DeliveryImmediate));
  EXPECT_FALSE(device->open());
  EXPECT_EQ(last_error_code(), CreateFileFailed);
  EXPECT_EQ(last_error().system, static_cast<unsigned>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(device->write({0x10, 0xFF, 1}, false));
  EXPECT_EQ(fake_->live_handle_notifications(), 0);
  EXPECT_TRUE(recorder.reads().empty());

  fake_->add(collection());
  ASSERT_TRUE(device->open());
  EXPECT_EQ(fake_->attributes_calls.load(), 1);  // the identity of the listing is kept
  ASSERT_TRUE(fake_->device_write(lower(kShortPath), {0x10, 0xFF, 0, 0, 0, 0, 5}));
  ASSERT_TRUE(eventually([&] { return recorder.reads().size() == 1; }));
  EXPECT_EQ(recorder.reads()[0].report.back(), 5);
  device->close();
}

TEST_F(Win32DeviceTest, ARemovalQueryClosesTheHandleAndTheNextOpenReopens) {
  auto device = channel(collection());
  ReadRecorder recorder;
  ASSERT_TRUE(recorder.Subscriber<IHardwareDevice::Read>::subscribe(device, DeliveryImmediate));
  ASSERT_TRUE(device->open());
  const HANDLE file = fake_->channel_end(lower(kShortPath));
  const HDEVNOTIFY notification = fake_->notification_for(file);
  ASSERT_NE(notification, nullptr);

  DEV_BROADCAST_HANDLE broadcast{};
  broadcast.dbch_size = sizeof broadcast;
  broadcast.dbch_devicetype = DBT_DEVTYP_HANDLE;
  broadcast.dbch_handle = file;
  broadcast.dbch_hdevnotify = notification;
  ::SendMessageW(bus_->window_handle(), WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, reinterpret_cast<LPARAM>(&broadcast));
  EXPECT_FALSE(bus_->verifyDeviceNotificationHandleOpen(notification, file));
  // The pending read ends with the handle; the reader stops instead of spinning.
  ASSERT_TRUE(eventually([&] { return !recorder.reads().empty(); }));
  EXPECT_NE(recorder.reads().front().error, 0u);

  ASSERT_TRUE(device->open());
  EXPECT_EQ(fake_->create_file_calls.load(), 2);
  EXPECT_EQ(fake_->attributes_calls.load(), 1);  // identity kept
  ASSERT_TRUE(fake_->device_write(lower(kShortPath), {0x10, 0xFF, 0, 0, 0, 0, 9}));
  ASSERT_TRUE(eventually([&] { return recorder.reads().size() >= 2 && recorder.reads().back().error == 0; }));
  EXPECT_EQ(recorder.reads().back().report.back(), 9);
  EXPECT_LE(recorder.reads().size(), 9u);
  device->close();
}

TEST_F(Win32DeviceTest, ReadsThatKeepFailingEndTheReaderInsteadOfSpinning) {
  auto device = channel(collection());
  ReadRecorder recorder;
  ASSERT_TRUE(recorder.Subscriber<IHardwareDevice::Read>::subscribe(device, DeliveryImmediate));
  ASSERT_TRUE(device->open());
  ::DisconnectNamedPipe(fake_->device_end(lower(kShortPath)));
  ASSERT_TRUE(eventually([&] { return !recorder.reads().empty(); }));
  device->close();
  EXPECT_LE(recorder.reads().size(), 8u);
  for (const auto& read : recorder.reads()) {
    EXPECT_TRUE(read.report.empty());
    EXPECT_NE(read.error, 0u);
  }
}

TEST_F(Win32DeviceTest, CloseFromAReadCallbackDoesNotDeadlock) {
  auto device = channel(collection());
  ReadRecorder recorder;
  std::atomic<bool> closed{false};
  recorder.on_read = [&](const ReadRecorder::Read&) {
    device->close();
    closed = true;
  };
  ASSERT_TRUE(recorder.Subscriber<IHardwareDevice::Read>::subscribe(device, DeliveryImmediate));
  ASSERT_TRUE(device->open());
  ASSERT_TRUE(fake_->device_write(lower(kShortPath), {0x10, 0xFF, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(eventually([&] { return closed.load(); }));
  // Open again: a new reader starts.
  recorder.on_read = nullptr;
  ASSERT_TRUE(device->open());
  ASSERT_TRUE(fake_->device_write(lower(kShortPath), {0x10, 0xFF, 0, 0, 0, 0, 1}));
  ASSERT_TRUE(eventually([&] { return recorder.reads().size() == 2; }));
  device->close();
}

TEST_F(Win32DeviceTest, TheLastReferenceMayGoWhileAReadIsBeingDelivered) {
  auto device = channel(collection());
  ReadRecorder recorder;
  std::atomic<bool> inside{false};
  std::atomic<bool> released{false};
  recorder.on_read = [&](const ReadRecorder::Read&) {
    inside = true;
    while (!released) std::this_thread::yield();
  };
  ASSERT_TRUE(recorder.Subscriber<IHardwareDevice::Read>::subscribe(device, DeliveryImmediate));
  ASSERT_TRUE(device->open());
  ASSERT_TRUE(fake_->device_write(lower(kShortPath), {0x10, 0xFF, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(eventually([&] { return inside.load(); }));
  std::weak_ptr<Win32Device> weak = device;
  device.reset();  // the read thread holds the last reference now
  released = true;
  EXPECT_TRUE(eventually([&] { return weak.expired(); }));
  // TearDown checks that the reader's transfer went after its read finished.
}

}  // namespace
}  // namespace rodiz::test
