#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "device/LastError.h"
#include "features/Feature00d0DFU.h"
#include "features/IFeature00c2DFUControl.h"
#include "sim/SimHarness.h"
#include "support/FakeChannel.h"
#include "support/FrapScript.h"

namespace rodiz {
namespace {

using test::slice;
using Reply = test::FakeChannel::Reply;

// Streams one image the way the controller does: the start record, then one
// packet per status-1 event, until status 2. Returns the final status.
int stream(IFeature00d0DFU& dfu, test::DfuEvents& events, const std::vector<Byte>& image) {
  int status = -1;
  if (!dfu.DFUStart(slice(image, 0), &status, nullptr) || status > 3) return status;
  std::size_t offset = 16;
  for (;;) {
    std::uint32_t packet = 0;
    std::vector<Byte> data;
    if (!events.next(&packet, &data)) return -1;
    if (data[4] == 2) return 2;
    if (data[4] == 3) continue;
    if (data[4] != 1) return data[4];
    if (offset + 16 > image.size()) return -2;
    if (!dfu.DFUSendPacket(packet, slice(image, offset))) return -3;
    offset += 16;
  }
}

TEST(DfuTransferTest, WholeUpdateOfTheSimulatedMouse) {
  test::SimHarness sim;
  auto app = sim.make_device();
  ASSERT_TRUE(app);
  auto control = app->feature<IFeature00c2DFUControl>();
  ASSERT_TRUE(control);
  ASSERT_TRUE(control->SetDfuControl(1, 0));  // one-way: no answer is awaited
  sim.mouse->wait_idle(std::chrono::milliseconds(100));
  ASSERT_EQ(sim::SimMouse::Mode::Bootloader, sim.mouse->mode());

  auto boot = sim.make_device();
  ASSERT_TRUE(boot);
  EXPECT_EQ(sim::SimMouse::kBootloaderPid, boot->pid());
  auto dfu = boot->feature<IFeature00d0DFU>();
  ASSERT_TRUE(dfu);
  test::DfuEvents events;
  ASSERT_TRUE(events.subscribe(dfu, DeliveryImmediate));
  const auto images = test::small_images();
  EXPECT_EQ(2, stream(*dfu, events, images[0].bytes));
  EXPECT_EQ(2, stream(*dfu, events, images[1].bytes));
  EXPECT_TRUE(sim.mouse->image_verified(1));
  EXPECT_TRUE(sim.mouse->image_verified(2));
  EXPECT_TRUE(dfu->DFURestart(0));
  sim.mouse->wait_idle(std::chrono::milliseconds(100));

  EXPECT_EQ(sim::SimMouse::Mode::Application, sim.mouse->mode());
  EXPECT_EQ(7, sim.mouse->version().build);
  EXPECT_EQ(3, sim.mouse->type6_build());
}

TEST(DfuTransferTest, AlteredImageLeavesTheMouseInItsBootloader) {
  auto config = test::SimHarness::fast_config();
  config.start_in_bootloader = true;
  test::SimHarness sim(config);
  auto boot = sim.make_device();
  ASSERT_TRUE(boot);
  auto dfu = boot->feature<IFeature00d0DFU>();
  ASSERT_TRUE(dfu);
  test::DfuEvents events;
  ASSERT_TRUE(events.subscribe(dfu, DeliveryImmediate));
  auto images = test::small_images();
  images[1].bytes[40] ^= 0xFF;
  EXPECT_EQ(2, stream(*dfu, events, images[0].bytes));
  EXPECT_EQ(2, stream(*dfu, events, images[1].bytes));
  EXPECT_FALSE(sim.mouse->image_verified(2));
  EXPECT_TRUE(dfu->DFURestart(0));
  sim.mouse->wait_idle(std::chrono::milliseconds(100));
  EXPECT_EQ(sim::SimMouse::Mode::Bootloader, sim.mouse->mode());
}

TEST(DfuTransferTest, UnknownStartRecordIsRefused) {
  auto config = test::SimHarness::fast_config();
  config.start_in_bootloader = true;
  test::SimHarness sim(config);
  auto boot = sim.make_device();
  ASSERT_TRUE(boot);
  auto dfu = boot->feature<IFeature00d0DFU>();
  ASSERT_TRUE(dfu);
  std::vector<Byte> start(16, 0);
  start[1] = 0x01;
  std::memcpy(&start[2], "XXX00_Z9", 8);
  int status = 0;
  ASSERT_TRUE(dfu->DFUStart(start, &status, nullptr));
  EXPECT_EQ(4, status);
}

// The wire form of the transfer feature, checked on a scripted channel.
class DfuWireTest : public testing::Test {
 protected:
  void SetUp() override {
    channel_ = std::make_shared<test::FakeChannel>(0xAADB);
    auto root = test::root_only_script({{0x00D0, 3}});
    channel_->set_script([this, root](const std::vector<Byte>& w) -> std::vector<Reply> {
      if (w[2] == 0x00) return root(w);
      return {{test::answer(w, answer_params_), 0}};
    });
    device_ = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel_);
    device_->initDevice(nullptr);
    device_->set_timeout_ms(100);
    dfu_ = device_->feature<IFeature00d0DFU>();
    ASSERT_TRUE(dfu_);
    ASSERT_TRUE(events_.subscribe(dfu_, DeliveryImmediate));
  }

  std::shared_ptr<test::FakeChannel> channel_;
  std::shared_ptr<Device> device_;
  std::shared_ptr<IFeature00d0DFU> dfu_;
  test::DfuEvents events_;
  std::vector<Byte> answer_params_{0, 0, 0, 0, 1};
};

TEST_F(DfuWireTest, PacketNumberSelectsTheFunctionAndTheEventNamesTheNext) {
  const std::vector<Byte> packet(16, 0xAB);
  for (std::uint32_t n : {0u, 1u, 2u, 3u}) {
    ASSERT_TRUE(dfu_->DFUSendPacket(n, packet));
    const auto written = channel_->written().back();
    EXPECT_EQ((n + 1) % 4, static_cast<unsigned>(written[3] >> 4)) << n;
    EXPECT_EQ(0x11, written[0]);  // 16 data bytes need a long report
    std::uint32_t number = 0;
    std::vector<Byte> data;
    ASSERT_TRUE(events_.next(&number, &data));
    EXPECT_EQ(n + 1, number);
  }
}

TEST_F(DfuWireTest, StartReportsItsStatusWithoutAnEvent) {
  answer_params_ = {0, 0, 0, 1, 4};
  int status = 0;
  std::vector<Byte> response;
  ASSERT_TRUE(dfu_->DFUStart(std::vector<Byte>(16, 0), &status, &response));
  EXPECT_EQ(4, status);
  EXPECT_GE(response.size(), 5u);
  EXPECT_EQ(0u, events_.pending());
  EXPECT_EQ(4, channel_->written().back()[3] >> 4);
}

TEST_F(DfuWireTest, AnswerWithoutStatusByteFailsTheSend) {
  // A short report carries only 3 parameter bytes: there is no status byte.
  channel_->set_script([](const std::vector<Byte>& w) -> std::vector<Reply> {
    return {{{0x10, 0xFF, w[2], w[3], 0, 0, 0}, 0}};
  });
  int status = 0;
  EXPECT_FALSE(dfu_->DFUStart(std::vector<Byte>(16, 0), &status, nullptr));
  EXPECT_EQ(CommandResponseTooShort, last_error_code());
  EXPECT_FALSE(dfu_->DFUSendPacket(5, std::vector<Byte>(16, 0)));
  EXPECT_EQ(0u, events_.pending());
}

TEST_F(DfuWireTest, NotificationsNeedAStatusByte) {
  auto feature = std::dynamic_pointer_cast<Feature00d0DFU>(dfu_);
  ASSERT_TRUE(feature);
  const Byte index = static_cast<Byte>(feature->feature_index());
  // 3 and 4 parameter bytes: no status, no event; 5 bytes: an event for packet 0x1234.
  device_->onReadHandler({0x10, 0xFF, index, 0x00, 0x00, 0x00, 0x12}, false);
  feature->dispatch_feature_report(0, 0, {0x00, 0x00, 0x12, 0x34});
  EXPECT_EQ(0u, events_.pending());
  EXPECT_EQ(CommandResponseTooShort, last_error_code());
  device_->onReadHandler({0x11, 0xFF, index, 0x20, 0x00, 0x00, 0x12, 0x34, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                         false);
  std::uint32_t number = 0;
  std::vector<Byte> data;
  ASSERT_TRUE(events_.next(&number, &data));
  EXPECT_EQ(0x1234u, number);
  EXPECT_EQ(1, data[4]);
}

}  // namespace
}  // namespace rodiz
