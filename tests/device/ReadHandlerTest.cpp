#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "device/Device.h"
#include "device/LastError.h"
#include "support/FakeChannel.h"
#include "support/FrapScript.h"

namespace rodiz {
namespace {

using test::FakeChannel;

std::shared_ptr<Device> feature_based_device(std::shared_ptr<FakeChannel> channel) {
  auto device = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel);
  device->initDevice(nullptr);
  device->set_timeout_ms(200);
  channel->set_script(test::root_only_script());
  EXPECT_TRUE(device->load_feature_root(false));
  return device;
}

TEST(ReadHandlerTest, MalformedReportsAreIgnoredWithAndWithoutAPendingRequest) {
  auto channel = std::make_shared<FakeChannel>();
  auto device = feature_based_device(channel);
  const std::vector<std::vector<Byte>> hostile = {
      {},
      {0x11},
      {0x10, 0xFF, 0x00, 0x1F, 0x00, 0x00},  // 6 bytes
      std::vector<Byte>(300, 0xFF),          // oversized, error form
      std::vector<Byte>(300, 0x00),
      {0x10, 0x07, 0x02, 0x1F, 0x00, 0x00, 0x00},  // foreign device index
      {0x10, 0xFF, 0x8F, 0x00, 0x00, 0x00, 0x00},  // FRAP 1.0 error for nobody
      {0x10, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00},  // FRAP 2.0 error for nobody
      {0x11, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x00},  // unknown feature notification
      {0x11, 0xFF, 0xC3, 0x15, 0x00, 0x00, 0x00},  // index beyond feature range
  };
  for (const auto& report : hostile) device->onReadHandler(report, false);
  for (const auto& report : hostile) device->onReadHandler(report, true);
  EXPECT_EQ(IDevice::Unhandled, device->onReadHandler({0x10, 0xFF, 0x00, 0x1F, 0x00, 0x00}, false));
  EXPECT_EQ(IDevice::Unhandled, device->onReadHandler({0x10, 0x05, 0x00, 0x1F, 0, 0, 0}, false));
  EXPECT_EQ(IDevice::Notification, device->onReadHandler({0x10, 0x05, 0x41, 0x00, 0, 0, 0}, false));

  // A short report must not settle a pending request: the request still
  // completes with the real answer that follows.
  // (The hostile reports above carried our swid, so the device pings first.)
  auto root = test::root_only_script();
  channel->set_script([root](const std::vector<Byte>& w) -> std::vector<FakeChannel::Reply> {
    if (w[2] == 0x00) return root(w);
    std::vector<Byte> shortened(w.begin(), w.begin() + 6);
    return {{shortened, 0}, {{}, 0}, {test::answer(w, {0x5A}), 5}};
  });
  std::vector<Byte> response;
  ASSERT_TRUE(device->sendSynchronousCommand({0x10, 0xFF, 0x03, 0x2F, 0, 0, 0}, response, 0, {}));
  EXPECT_EQ(0x5A, response[4]);
}

TEST(ReadHandlerTest, ClassifiesNotificationsResponsesAndForeignTraffic) {
  auto channel = std::make_shared<FakeChannel>();
  auto device = feature_based_device(channel);
  // Root at index 0 is known: a swid-0 report there is its notification.
  EXPECT_EQ(IDevice::Notification, device->onReadHandler({0x10, 0xFF, 0x00, 0x00, 0, 0, 0}, false));
  // A protocol check of another program (root, function 1, ping data 0).
  EXPECT_EQ(IDevice::ForeignResponse, device->onReadHandler({0x10, 0xFF, 0x00, 0x13, 0, 0, 0}, false));
  // A response for another program on an unknown index.
  EXPECT_EQ(IDevice::ForeignResponse, device->onReadHandler({0x10, 0xFF, 0x09, 0x23, 0, 0, 0}, false));
  // Routed reports from a receiver slot read as the device itself.
  EXPECT_EQ(IDevice::Notification, device->onReadHandler({0x10, 0x03, 0x00, 0x00, 0, 0, 0}, true));
}

TEST(ReadHandlerTest, DeviceNotFeatureBasedIgnoresFeatureTraffic) {
  auto channel = std::make_shared<FakeChannel>();
  auto device = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel);
  device->initDevice(nullptr);
  EXPECT_EQ(IDevice::Unhandled, device->onReadHandler({0x10, 0xFF, 0x05, 0x1F, 0, 0, 0}, false));
  EXPECT_EQ(IDevice::ForeignResponse, device->onReadHandler({0x10, 0xFF, 0x81, 0x02, 0, 0, 0}, false));
}

}  // namespace
}  // namespace rodiz
