// The real hidraw transports (libudev, libc) against nodes emulated by
// umockdev: enumeration with udev's properties, the identity ioctls, reads
// and writes, and hot-plug through the emulated "udev" netlink source. Runs
// under umockdev's LD_PRELOAD (ctest starts it through umockdev-wrapper);
// started without it, it skips.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Linux/EmulatedHidrawNode.h"
#include "Linux/HidrawBus.h"
#include "Linux/HidrawChannel.h"
#include "Linux/HidrawSystem.h"
#include "Linux/HidrawTestbed.h"
#include "runtime/Subscriber.h"
#include "support/HidDescriptors.h"

namespace rodiz {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr auto kWait = std::chrono::seconds(10);

class Recorder : public Subscriber<IHardwareBus::PlugUnplug>, public Subscriber<IHardwareDevice::Read> {
 public:
  ~Recorder() override {
    Subscriber<IHardwareBus::PlugUnplug>::leave_all();
    Subscriber<IHardwareDevice::Read>::leave_all();
  }
  void onPlug(std::shared_ptr<IHardwareDevice> device) override { add("+" + device->path()); }
  void onUnplug(std::shared_ptr<IHardwareDevice> device) override { add("-" + device->path()); }
  void onRead(std::vector<Byte> report, bool, unsigned, unsigned) override {
    add("read " + std::to_string(report.size()) + " " + std::to_string(report.empty() ? 0 : report[1]));
  }
  std::vector<std::string> wait_for(std::size_t count) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, kWait, [&] { return log_.size() >= count; });
    return log_;
  }

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

class HidrawUmockdevTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
      GTEST_SKIP() << "needs umockdev-wrapper";
    }
    testbed_ = std::make_unique<test::HidrawTestbed>();
  }

  // A USB device of the mouse with its vendor interface's node
  // /dev/hidraw<minor>, which keeps what the host writes; the node's sysfs
  // path in `syspath`.
  std::shared_ptr<test::EmulatedHidrawNode> add_node(int minor, std::uint16_t product, std::string* syspath) {
    auto node = std::make_shared<test::EmulatedHidrawNode>(
        test::EmulatedHidrawNode::Identity{0x046D, product, test::mouse_vendor_descriptor(), "Mirel VELOXA"},
        [this](const Bytes& report) {
          std::lock_guard<std::mutex> guard(lock_);
          written_.push_back(report);
        });
    const std::string usb = testbed_->add_usb_device("1-" + std::to_string(minor + 1), product, 0x1402);
    *syspath = testbed_->add_hidraw(usb, 2, minor, node);
    return node;
  }
  std::vector<Bytes> written() {
    std::lock_guard<std::mutex> guard(lock_);
    return written_;
  }

  std::unique_ptr<test::HidrawTestbed> testbed_;
  std::mutex lock_;
  std::vector<Bytes> written_;
};

TEST_F(HidrawUmockdevTest, FindsIdentifiesReadsWritesAndFollowsHotPlug) {
  std::string syspath;
  auto mouse = add_node(0, 0xC087, &syspath);
  auto bus = std::make_shared<HidrawBus>(std::weak_ptr<IDeviceManager>(), std::make_shared<HidrawSystem>());
  Recorder recorder;
  ASSERT_TRUE(recorder.Subscriber<IHardwareBus::PlugUnplug>::subscribe(bus, DeliveryImmediate));

  const auto listed = bus->devices();
  ASSERT_EQ(1u, listed.size());
  const auto& channel = listed[0];
  EXPECT_EQ("/dev/hidraw0", channel->path());
  EXPECT_EQ(0xC087, channel->pid());
  EXPECT_EQ("Mirel VELOXA", channel->name());
  EXPECT_EQ(3, channel->collection_bit());

  ASSERT_TRUE(recorder.Subscriber<IHardwareDevice::Read>::subscribe(channel, DeliveryImmediate));
  ASSERT_TRUE(channel->open());
  ASSERT_TRUE(channel->write({0x10, 0xFF, 0x00, 0x1A}, true));
  // The node's handler runs on the testbed's thread after the write returned.
  for (int i = 0; i < 1000 && written().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(1u, written().size());
  EXPECT_EQ((Bytes{0x10, 0xFF, 0x00, 0x1A, 0, 0, 0}), written()[0]);
  mouse->send(Bytes{0x10, 0xFF, 0x00, 0x1A, 0x04, 0x02, 0x00});
  EXPECT_EQ(std::vector<std::string>{"read 7 255"}, recorder.wait_for(1));

  // The bootloader arrives as a new node, and goes.
  auto bootloader = add_node(1, 0xAADB, &syspath);
  testbed_->uevent(syspath, "add");
  EXPECT_EQ((std::vector<std::string>{"read 7 255", "+/dev/hidraw1"}), recorder.wait_for(2));
  testbed_->uevent(syspath, "remove");
  EXPECT_EQ("-/dev/hidraw1", recorder.wait_for(3).back());
  channel->close();
}

}  // namespace
}  // namespace rodiz
