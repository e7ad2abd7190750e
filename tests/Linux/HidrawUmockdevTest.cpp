// The real hidraw transports (libudev, libc) against nodes emulated by
// umockdev: enumeration with udev's properties, the identity ioctls, reads
// and writes, and hot-plug through the emulated "udev" netlink source. Runs
// under umockdev's LD_PRELOAD (ctest starts it through umockdev-wrapper);
// started without it, it skips.
#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Linux/HidrawBus.h"
#include "Linux/HidrawChannel.h"
#include "Linux/HidrawSystem.h"
#include "runtime/Subscriber.h"
#include "support/HidDescriptors.h"

namespace rodiz {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr auto kWait = std::chrono::seconds(10);

// One emulated hidraw node: answers the identity ioctls, keeps what is
// written, and hands out queued reports (EAGAIN while none waits).
struct EmulatedNode {
  std::uint16_t product = 0xC087;
  Bytes descriptor = test::mouse_vendor_descriptor();
  std::string name = "Mirel VELOXA";
  std::mutex lock;
  std::deque<Bytes> to_read;
  std::vector<Bytes> written;

  static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<EmulatedNode*>(self)->ioctl(client);
  }
  static gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* node = static_cast<EmulatedNode*>(self);
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> guard(node->lock);
    if (node->to_read.empty()) {
      umockdev_ioctl_client_complete(client, -1, EAGAIN);
      return TRUE;
    }
    Bytes report = std::move(node->to_read.front());
    node->to_read.pop_front();
    const std::size_t count = std::min(report.size(), static_cast<std::size_t>(buffer->data_len));
    std::memcpy(buffer->data, report.data(), count);
    umockdev_ioctl_client_complete(client, static_cast<glong>(count), 0);
    return TRUE;
  }
  static gboolean on_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* node = static_cast<EmulatedNode*>(self);
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> guard(node->lock);
    node->written.emplace_back(buffer->data, buffer->data + buffer->data_len);
    umockdev_ioctl_client_complete(client, buffer->data_len, 0);
    return TRUE;
  }

  gboolean ioctl(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    auto answer = [&](const void* data, std::size_t size, glong result) {
      UMockdevIoctlData* target = umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
      if (target == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
      }
      std::memcpy(target->data, data, size);
      umockdev_ioctl_client_complete(client, result, 0);
      return TRUE;
    };
    if (request == HIDIOCGRAWINFO) {
      hidraw_devinfo info{};
      info.bustype = 3;
      info.vendor = static_cast<__s16>(0x046D);
      info.product = static_cast<__s16>(product);  // above 0x7FFF: negative in the kernel's struct
      return answer(&info, sizeof info, 0);
    }
    if (request == HIDIOCGRDESCSIZE) {
      const int size = static_cast<int>(descriptor.size());
      return answer(&size, sizeof size, 0);
    }
    if (request == HIDIOCGRDESC) {
      hidraw_report_descriptor raw{};
      raw.size = static_cast<__u32>(descriptor.size());
      std::memcpy(raw.value, descriptor.data(), descriptor.size());
      return answer(&raw, sizeof raw, 0);
    }
    if (_IOC_TYPE(request) == 'H' && _IOC_NR(request) == 0x04) {  // HIDIOCGRAWNAME(len)
      std::vector<char> text(_IOC_SIZE(request), '\0');
      std::memcpy(text.data(), name.c_str(), std::min(name.size(), text.size() - 1));
      return answer(text.data(), text.size(), static_cast<glong>(name.size() + 1));
    }
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return TRUE;
  }
};

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
    // The testbed answers the emulated nodes on a thread of its own.
    testbed_ = umockdev_testbed_new();
  }
  void TearDown() override {
    if (testbed_ == nullptr) return;
    for (UMockdevIoctlBase* handler : handlers_) g_object_unref(handler);
    g_object_unref(testbed_);
  }

  // A USB device with its interface, HID device and hidraw node.
  std::string add_node(int index, EmulatedNode& node, const char* product_hex) {
    const std::string usb_name = "1-" + std::to_string(index);
    gchar* usb =
        umockdev_testbed_add_device(testbed_, "usb", usb_name.c_str(), nullptr, "idVendor", "046d", "idProduct",
                                    product_hex, "bcdDevice", "1402", nullptr, "DEVTYPE", "usb_device", nullptr);
    gchar* interface =
        umockdev_testbed_add_device(testbed_, "usb", (usb_name + ":1.2").c_str(), usb, "bInterfaceNumber", "02",
                                    nullptr, "DEVTYPE", "usb_interface", nullptr);
    const std::string hid_id = std::string("0003:0000046D:0000") + product_hex;
    gchar* hid = umockdev_testbed_add_device(
        testbed_, "hid", ("0003:046D:" + std::string(product_hex) + ".000" + std::to_string(index)).c_str(), interface,
        nullptr, "HID_ID", hid_id.c_str(), nullptr);
    const std::string devnode = "/dev/hidraw" + std::to_string(index);
    const std::string major_minor = "241:" + std::to_string(index);
    gchar* hidraw =
        umockdev_testbed_add_device(testbed_, "hidraw", ("hidraw" + std::to_string(index)).c_str(), hid, "dev",
                                    major_minor.c_str(), nullptr, "DEVNAME", devnode.c_str(), nullptr);
    // The testbed keeps no file at the node's path; the preloaded open needs one.
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const std::string file = std::string(root) + devnode;
    g_file_set_contents(file.c_str(), "", 0, nullptr);
    g_free(root);
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(EmulatedNode::on_ioctl), &node);
    g_signal_connect(handler, "handle-read", G_CALLBACK(EmulatedNode::on_read), &node);
    g_signal_connect(handler, "handle-write", G_CALLBACK(EmulatedNode::on_write), &node);
    const gboolean attached = umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), handler, nullptr);
    EXPECT_TRUE(attached);
    handlers_.push_back(handler);
    const std::string syspath = hidraw;
    g_free(usb);
    g_free(interface);
    g_free(hid);
    g_free(hidraw);
    return syspath;
  }

  UMockdevTestbed* testbed_ = nullptr;
  std::vector<UMockdevIoctlBase*> handlers_;
};

TEST_F(HidrawUmockdevTest, FindsIdentifiesReadsWritesAndFollowsHotPlug) {
  EmulatedNode mouse;
  add_node(0, mouse, "C087");
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
  {
    std::lock_guard<std::mutex> guard(mouse.lock);
    ASSERT_EQ(1u, mouse.written.size());
    EXPECT_EQ((Bytes{0x10, 0xFF, 0x00, 0x1A, 0, 0, 0}), mouse.written[0]);
    mouse.to_read.push_back(Bytes{0x10, 0xFF, 0x00, 0x1A, 0x04, 0x02, 0x00});
  }
  EXPECT_EQ(std::vector<std::string>{"read 7 255"}, recorder.wait_for(1));

  EmulatedNode bootloader;
  bootloader.product = 0xAADB;
  const std::string syspath = add_node(1, bootloader, "AADB");
  umockdev_testbed_uevent(testbed_, syspath.c_str(), "add");
  EXPECT_EQ((std::vector<std::string>{"read 7 255", "+/dev/hidraw1"}), recorder.wait_for(2));
  umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
  EXPECT_EQ("-/dev/hidraw1", recorder.wait_for(3).back());
  channel->close();
}

}  // namespace
}  // namespace rodiz
