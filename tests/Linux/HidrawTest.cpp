#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Linux/FakeHidrawSystem.h"
#include "Linux/HidrawBus.h"
#include "Linux/HidrawChannel.h"
#include "Linux/LogindResume.h"
#include "device/LastError.h"
#include "runtime/Subscriber.h"
#include "support/HidDescriptors.h"

namespace rodiz {
namespace {

using test::FakeHidrawSystem;
using Bytes = std::vector<std::uint8_t>;
constexpr auto kWait = std::chrono::seconds(10);

FakeHidrawSystem::Node node(const std::string& devnode, Bytes descriptor, std::uint16_t product = 0xC087,
                            std::uint16_t vendor = 0x046D) {
  FakeHidrawSystem::Node n;
  n.info.devnode = devnode;
  n.info.interface_path = "/sys/devices/usb1/1-1/1-1:1.2";
  n.info.vendor = vendor;
  n.info.product = product;
  n.info.version = 0x1402;
  n.vendor = vendor;
  n.product = product;
  n.descriptor = std::move(descriptor);
  return n;
}

// Whether `done` becomes true within kWait.
bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Waits for events from other threads, never longer than kWait.
class Recorder : public Subscriber<IHardwareBus::PlugUnplug>, public Subscriber<IHardwareDevice::Read> {
 public:
  ~Recorder() override {
    Subscriber<IHardwareBus::PlugUnplug>::leave_all();
    Subscriber<IHardwareDevice::Read>::leave_all();
  }
  void onPlug(std::shared_ptr<IHardwareDevice> device) override { add("+" + device->path()); }
  void onUnplug(std::shared_ptr<IHardwareDevice> device) override { add("-" + device->path()); }
  void onPowerChange(bool standBy) override { add(standBy ? "sleep" : "resume"); }
  void onRead(std::vector<Byte> report, bool /*routed*/, unsigned error, unsigned count) override {
    std::string line = "read " + std::to_string(error) + "/" + std::to_string(count);
    for (Byte b : report) line += " " + std::to_string(b);
    if (on_read) on_read();
    add(line);
  }
  std::vector<std::string> wait_for(std::size_t count) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, kWait, [&] { return log_.size() >= count; });
    return log_;
  }
  std::vector<std::string> log() {
    std::lock_guard<std::mutex> guard(lock_);
    return log_;
  }
  std::function<void()> on_read;

 private:
  void add(std::string line) {
    std::lock_guard<std::mutex> guard(lock_);
    log_.push_back(std::move(line));
    changed_.notify_all();
  }
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> log_;
};

class HidrawTest : public testing::Test {
 protected:
  void SetUp() override {
    system_ = std::make_shared<FakeHidrawSystem>();
    bus_ = std::make_shared<HidrawBus>(std::weak_ptr<IDeviceManager>(), system_);
  }
  std::shared_ptr<HidrawChannel> channel(const std::string& devnode) {
    HidrawNode info;
    info.devnode = devnode;
    info.interface_path = "/sys/devices/usb1/1-1/1-1:1.2";
    return std::make_shared<HidrawChannel>(bus_, system_, info);
  }
  // An open mouse channel with a reader.
  std::shared_ptr<HidrawChannel> reading_mouse(Recorder& recorder) {
    system_->add(node("/dev/hidraw1", test::mouse_vendor_descriptor()), false);
    auto mouse = channel("/dev/hidraw1");
    EXPECT_TRUE(recorder.Subscriber<IHardwareDevice::Read>::subscribe(mouse, DeliveryImmediate));
    EXPECT_TRUE(mouse->open());
    return mouse;
  }

  std::shared_ptr<FakeHidrawSystem> system_;
  std::shared_ptr<HidrawBus> bus_;
};

TEST_F(HidrawTest, EnumerationKeepsNodesWithAFrapCollection) {
  const Bytes bit_page = {0x06, 0x43, 0xFF, 0x0A, 0x02, 0x03, 0xA1, 0x01, 0x85, 0x11, 0x75, 0x08,
                          0x95, 0x13, 0x09, 0x02, 0x81, 0x00, 0x09, 0x02, 0x91, 0x00, 0xC0};
  system_->add(node("/dev/hidraw0", test::boot_mouse_descriptor()), false);  // the mouse's boot interface
  system_->add(node("/dev/hidraw1", test::mouse_vendor_descriptor()), false);
  system_->add(node("/dev/hidraw2", test::boot_keyboard_descriptor(), 0x1234, 0x1A2C), false);
  auto foreign_behind_unknown = node("/dev/hidraw3", test::mouse_vendor_descriptor(), 0x1234, 0x1A2C);
  foreign_behind_unknown.info.vendor = 0;  // udev did not say
  system_->add(foreign_behind_unknown, false);
  system_->add(node("/dev/hidraw4", bit_page), false);

  const auto listed = bus_->devices();
  ASSERT_EQ(2u, listed.size());
  EXPECT_EQ(0, system_->opens("/dev/hidraw2"));  // another maker's node is not opened
  EXPECT_EQ(1, system_->opens("/dev/hidraw3"));
  EXPECT_EQ(0, system_->open_descriptors());  // listed channels are closed again

  const auto& mouse = listed[0];
  EXPECT_EQ("/dev/hidraw1", mouse->path());
  EXPECT_EQ(0xC087, mouse->pid());
  EXPECT_EQ("Mirel VELOXA", mouse->name());
  EXPECT_EQ(3, mouse->collection_bit());  // short and long collections on one node: a whole device
  EXPECT_EQ(3, mouse->collections_needed());
  EXPECT_EQ("/dev/hidraw1", mouse->combine_key());
  EXPECT_EQ(20, mouse->report_length());

  const auto& piece = listed[1];
  EXPECT_EQ(2, piece->collection_bit());
  EXPECT_EQ(3, piece->collections_needed());
  EXPECT_EQ("/sys/devices/usb1/1-1/1-1:1.2", piece->combine_key());  // combined with its interface's others
}

TEST_F(HidrawTest, IdentityChecksRefuseWhatIsNotAFrapDevice) {
  Bytes wrong_usage = test::mouse_vendor_descriptor();
  wrong_usage[4] = 0x03;  // usage 3 on page 0xFF00, both collections
  wrong_usage[31] = 0x03;
  const Bytes two_bits = {0x06, 0x43, 0xFF, 0x0A, 0x03, 0x03, 0xA1, 0x01, 0x85, 0x11, 0x75, 0x08,
                          0x95, 0x13, 0x09, 0x02, 0x81, 0x00, 0x09, 0x02, 0x91, 0x00, 0xC0};
  const Bytes uneven = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x10, 0x75, 0x08, 0x95,
                        0x06, 0x09, 0x01, 0x81, 0x00, 0x95, 0x05, 0x09, 0x01, 0x91, 0x00, 0xC0};
  Bytes cut = test::mouse_vendor_descriptor();
  cut.resize(10);
  struct Case {
    const char* name;
    Bytes descriptor;
    std::uint16_t vendor;
    ErrorCode expected;
  } cases[] = {
      {"boot mouse", test::boot_mouse_descriptor(), 0x046D, NotVendorUsagePage},
      {"vendor page, other usage", wrong_usage, 0x046D, NotFrapCollection},
      {"two bits in the usage", two_bits, 0x046D, NotFrapCollection},
      {"uneven input and output", uneven, 0x046D, NotFrapCollection},
      {"malformed descriptor", cut, 0x046D, HidCapsFailed},
      {"other vendor", test::mouse_vendor_descriptor(), 0x1A2C, ForeignVendor},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto n = node("/dev/hidraw7", c.descriptor, 0xC087, c.vendor);
    n.info.vendor = 0;
    system_->add(n, false);
    auto refused = channel("/dev/hidraw7");
    clear_last_error();
    EXPECT_FALSE(refused->open());
    EXPECT_EQ(c.expected, last_error_code());
    EXPECT_EQ(0, system_->open_descriptors());
  }
}

TEST_F(HidrawTest, LongOnlyProductNeedsOneCollection) {
  system_->add(node("/dev/hidraw1", test::mouse_vendor_descriptor(), 0x5800), false);
  auto device = channel("/dev/hidraw1");
  ASSERT_TRUE(device->open());
  EXPECT_EQ(2, device->collections_needed());
}

TEST_F(HidrawTest, WritesTakeTheSmallestReportThatHoldsThem) {
  Recorder recorder;
  auto mouse = reading_mouse(recorder);
  EXPECT_TRUE(mouse->write({0x11, 0xFF, 0x02}, false));
  EXPECT_TRUE(mouse->write({0x10, 1, 2, 3, 4, 5, 6}, true));
  EXPECT_TRUE(mouse->write(Bytes(20, 0x10), false));
  const auto sent = system_->written("/dev/hidraw1");
  ASSERT_EQ(3u, sent.size());
  EXPECT_EQ((Bytes{0x10, 0xFF, 0x02, 0, 0, 0, 0}), sent[0]);
  EXPECT_EQ((Bytes{0x10, 1, 2, 3, 4, 5, 6}), sent[1]);
  EXPECT_EQ(20u, sent[2].size());
  EXPECT_EQ(0x11, sent[2][0]);

  EXPECT_FALSE(mouse->write(Bytes(21, 0x11), false));
  EXPECT_EQ(WriteExceedsCollectionSize, last_error_code());
  EXPECT_FALSE(mouse->write({}, false));
  EXPECT_EQ(WriteTooShort, last_error_code());
  EXPECT_TRUE(system_->written("/dev/hidraw1").empty());
}

TEST_F(HidrawTest, BlockingWriteNeedsAReader) {
  system_->add(node("/dev/hidraw1", test::mouse_vendor_descriptor()), false);
  auto mouse = channel("/dev/hidraw1");
  EXPECT_FALSE(mouse->write({0x10, 1}, true));
  EXPECT_EQ(CannotPerformWriteWithoutReadThreadRunning, last_error_code());
  EXPECT_TRUE(mouse->write({0x10, 1}, false));
}

TEST_F(HidrawTest, ReadsPassWellFormedReportsAndDropTheRest) {
  Recorder recorder;
  auto mouse = reading_mouse(recorder);
  system_->fail_next_read("/dev/hidraw1", EAGAIN);                            // readable, then nothing yet
  system_->send("/dev/hidraw1", {0x42, 1, 2, 3, 4, 5, 6});                    // unknown report id
  system_->send("/dev/hidraw1", {0x10, 1, 2});                                // short
  system_->send("/dev/hidraw1", Bytes(21, 0x11));                             // oversized
  system_->send("/dev/hidraw1", {0x10, 0xFF, 0x0A, 0x1B, 0x00, 0x00, 0x01});  // fine
  const auto log = recorder.wait_for(1);
  EXPECT_EQ(std::vector<std::string>{"read 0/7 16 255 10 27 0 0 1"}, log);
}

TEST_F(HidrawTest, RemovalDuringAReadEndsTheChannelAndUnplugs) {
  for (bool hang_up : {true, false}) {
    SCOPED_TRACE(hang_up ? "hang-up" : "ENODEV");
    SetUp();
    Recorder recorder;
    ASSERT_TRUE(recorder.Subscriber<IHardwareBus::PlugUnplug>::subscribe(bus_, DeliveryImmediate));
    auto mouse = reading_mouse(recorder);
    if (hang_up) {
      system_->remove("/dev/hidraw1", false);
    } else {
      system_->fail_next_read("/dev/hidraw1", ENODEV);
    }
    const auto log = recorder.wait_for(2);
    EXPECT_EQ((std::vector<std::string>{"-/dev/hidraw1", "read " + std::to_string(ENODEV) + "/0"}), log);
    EXPECT_FALSE(mouse->open());
    EXPECT_EQ(DeviceRemoved, last_error_code());
    EXPECT_FALSE(mouse->verify_connection_following_timeout());
    mouse->close();
    EXPECT_EQ(0, system_->open_descriptors());
  }
}

TEST_F(HidrawTest, AWriteThatIsNeverTakenTimesOut) {
  Recorder recorder;
  auto mouse = reading_mouse(recorder);
  mouse->set_write_timeout_ms(30);
  system_->set_block_writes("/dev/hidraw1", true);
  EXPECT_FALSE(mouse->write({0x10, 1}, false));
  EXPECT_EQ(WriteTimeout, last_error_code());
  // Another node is not held up by it.
  system_->add(node("/dev/hidraw2", test::mouse_vendor_descriptor()), false);
  auto other = channel("/dev/hidraw2");
  EXPECT_TRUE(other->write({0x10, 1}, false));
}

TEST_F(HidrawTest, CloseStopsAPendingReadAndMayComeFromTheReadThread) {
  Recorder recorder;
  auto mouse = reading_mouse(recorder);
  mouse->close();  // the read thread waits in poll: close wakes and joins it
  EXPECT_EQ(0, system_->open_descriptors());

  ASSERT_TRUE(mouse->open());  // a reopen starts reading again
  recorder.on_read = [&] { mouse->close(); };
  system_->send("/dev/hidraw1", {0x10, 1, 2, 3, 4, 5, 6});
  recorder.wait_for(1);
  EXPECT_EQ(0, system_->open_descriptors());
  recorder.on_read = nullptr;

  // The last owner letting go inside the event destroys the channel there.
  ASSERT_TRUE(mouse->open());
  std::shared_ptr<HidrawChannel> held = std::move(mouse);
  const std::weak_ptr<HidrawChannel> gone = held;
  recorder.on_read = [&] { held.reset(); };
  system_->send("/dev/hidraw1", {0x10, 1, 2, 3, 4, 5, 6});
  recorder.wait_for(2);
  // Destroyed, and its node closed, by the read thread once the event has returned.
  EXPECT_TRUE(eventually([&] { return gone.expired() && system_->open_descriptors() == 0; }));
}

TEST_F(HidrawTest, PermissionDeniedRightAfterAnArrivalIsRetried) {
  Recorder recorder;
  ASSERT_TRUE(recorder.Subscriber<IHardwareBus::PlugUnplug>::subscribe(bus_, DeliveryImmediate));
  auto mouse = node("/dev/hidraw1", test::mouse_vendor_descriptor());
  mouse.eacces_opens = 2;
  system_->add(mouse, true);
  EXPECT_EQ(std::vector<std::string>{"+/dev/hidraw1"}, recorder.wait_for(1));
  EXPECT_EQ(3, system_->opens("/dev/hidraw1"));
}

TEST_F(HidrawTest, PermissionDeniedForGoodNamesTheUdevRule) {
  auto mouse = node("/dev/hidraw1", test::mouse_vendor_descriptor());
  mouse.eacces_opens = -1;
  system_->add(mouse, false);
  auto device = channel("/dev/hidraw1");
  device->set_permission_retry_ms(120);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(device->open());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
  EXPECT_GE(system_->opens("/dev/hidraw1"), 2);
  const LastError error = last_error();
  EXPECT_EQ(CreateFileFailed, error.code);
  EXPECT_EQ(static_cast<std::uint32_t>(EACCES), error.system);
  ASSERT_NE(nullptr, error.text);
  const std::string text = error.text;
  EXPECT_NE(std::string::npos, text.find("70-mirel-mouse.rules"));
  EXPECT_NE(std::string::npos, text.find("udevadm control --reload && sudo udevadm trigger"));

  // Listing does not wait, and passes the reason up.
  EXPECT_TRUE(bus_->devices().empty());
  EXPECT_EQ(CreateFileFailed, last_error_code());
}

TEST_F(HidrawTest, ANodeRefusedForPermissionIsTriedAgainWhenUdevAppliesItsRulesAgain) {
  Recorder recorder;
  ASSERT_TRUE(recorder.Subscriber<IHardwareBus::PlugUnplug>::subscribe(bus_, DeliveryImmediate));
  auto refused = node("/dev/hidraw1", test::mouse_vendor_descriptor());
  refused.eacces_opens = -1;
  system_->add(refused, true);
  // Taken in order: once the second node is announced the first was refused.
  system_->add(node("/dev/hidraw2", test::mouse_vendor_descriptor()), true);
  ASSERT_EQ(std::vector<std::string>{"+/dev/hidraw2"}, recorder.wait_for(1));
  const int opens = system_->opens("/dev/hidraw2");

  // The rule is installed and triggered: the node opens now.
  system_->set_eacces_opens("/dev/hidraw1", 0);
  system_->change("/dev/hidraw2");
  system_->change("/dev/hidraw1");
  EXPECT_EQ((std::vector<std::string>{"+/dev/hidraw2", "+/dev/hidraw1"}), recorder.wait_for(2));
  // A change of a node that opened before is nothing to act on.
  EXPECT_EQ(opens, system_->opens("/dev/hidraw2"));
}

TEST_F(HidrawTest, BurstOfArrivalsAndRemovalsIsFollowedInOrder) {
  Recorder recorder;
  ASSERT_TRUE(recorder.Subscriber<IHardwareBus::PlugUnplug>::subscribe(bus_, DeliveryImmediate));
  std::vector<std::string> expected;
  for (int round = 0; round < 20; ++round) {
    const std::string path = "/dev/hidraw" + std::to_string(round % 3);
    system_->add(node(path, test::mouse_vendor_descriptor()), true);
    system_->add(node("/dev/hidraw9", test::boot_mouse_descriptor()), true);  // never announced
    system_->remove(path, true);
    expected.push_back("+" + path);
    expected.push_back("-/dev/hidraw9");
    expected.push_back("-" + path);
  }
  // Removals are raised for every node; the boot-mouse node is removed only at the end.
  expected.erase(std::remove(expected.begin(), expected.end(), "-/dev/hidraw9"), expected.end());
  system_->remove("/dev/hidraw9", true);
  expected.push_back("-/dev/hidraw9");
  EXPECT_EQ(expected, recorder.wait_for(expected.size()));
}

TEST_F(HidrawTest, ANodeGoneBetweenListingAndOpenIsPassedOver) {
  Recorder recorder;
  ASSERT_TRUE(recorder.Subscriber<IHardwareBus::PlugUnplug>::subscribe(bus_, DeliveryImmediate));
  auto gone = node("/dev/hidraw0", test::mouse_vendor_descriptor());
  gone.vanishes = true;
  system_->add(gone, false);
  system_->add(node("/dev/hidraw1", test::mouse_vendor_descriptor()), false);
  const auto listed = bus_->devices();
  ASSERT_EQ(1u, listed.size());
  EXPECT_EQ("/dev/hidraw1", listed[0]->path());
  // Announced, then gone before the bus opens it: nothing is raised for it,
  // and the next arrival is.
  gone.info.devnode = "/dev/hidraw2";
  system_->add(gone, true);
  system_->add(node("/dev/hidraw3", test::mouse_vendor_descriptor()), true);
  EXPECT_EQ(std::vector<std::string>{"+/dev/hidraw3"}, recorder.wait_for(1));
}

TEST_F(HidrawTest, LostMonitorEventsAreMadeUpByListingAgain) {
  Recorder recorder;
  ASSERT_TRUE(recorder.Subscriber<IHardwareBus::PlugUnplug>::subscribe(bus_, DeliveryImmediate));
  system_->add(node("/dev/hidraw1", test::mouse_vendor_descriptor()), true);
  ASSERT_EQ(1u, recorder.wait_for(1).size());
  system_->remove("/dev/hidraw1", false);
  system_->add(node("/dev/hidraw2", test::mouse_vendor_descriptor()), false);
  system_->queue_overflow();
  EXPECT_EQ((std::vector<std::string>{"+/dev/hidraw1", "-/dev/hidraw1", "+/dev/hidraw2"}), recorder.wait_for(3));
}

TEST_F(HidrawTest, ResumeFromSleepIsRaisedAsAPowerChange) {
  Recorder recorder;
  ASSERT_TRUE(recorder.Subscriber<IHardwareBus::PlugUnplug>::subscribe(bus_, DeliveryImmediate));
  system_->resume();
  EXPECT_EQ(std::vector<std::string>{"resume"}, recorder.wait_for(1));
}

// The real sleep monitor without a system bus: it says so and stays idle.
TEST(LogindResumeTest, WithoutASystemBusItCarriesOn) {
  const char* saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  const std::string kept = saved != nullptr ? saved : "";
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket", 1);
  LogindResume resume;
  EXPECT_FALSE(resume.start());
  EXPECT_EQ(-1, resume.fd());
  EXPECT_EQ(0, resume.events());
  EXPECT_FALSE(resume.process());
  if (saved != nullptr) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", kept.c_str(), 1);
  } else {
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
}

}  // namespace
}  // namespace rodiz
