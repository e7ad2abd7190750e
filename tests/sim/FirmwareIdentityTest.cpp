#include <gtest/gtest.h>

#include <atomic>
#include <map>

#include "device/LastError.h"
#include "features/IFeature0003FirmwareInfo.h"
#include "sim/SimHarness.h"
#include "support/FakeChannel.h"
#include "support/FrapScript.h"

namespace rodiz {
namespace {

using Reply = test::FakeChannel::Reply;

// A device with FirmwareInfo at index 2 whose entities the test decides.
struct Entity {
  std::uint8_t type;
  std::string prefix;
  std::uint16_t version;
  std::uint16_t build;
  std::uint8_t rdnf;
};

// Entities from `short_from` on answer with only `short_size` parameter bytes.
std::shared_ptr<Device> firmware_device(std::shared_ptr<test::FakeChannel> channel, std::vector<Entity> entities,
                                        std::size_t short_from = 99, std::size_t short_size = 16) {
  auto root = test::root_only_script({{0x0003, 2}});
  channel->set_script([root, entities, short_from, short_size](const std::vector<Byte>& w) -> std::vector<Reply> {
    if (w[2] == 0x00) return root(w);
    if ((w[3] >> 4) == 0) {
      return {{test::answer(w, {static_cast<Byte>(entities.size()), 0x00, 0x00, 0x12, 0x34}), 0}};
    }
    const Entity& e = entities.at(w[4]);
    std::vector<Byte> params{e.type,
                             static_cast<Byte>(e.prefix[0]),
                             static_cast<Byte>(e.prefix[1]),
                             static_cast<Byte>(e.prefix[2]),
                             static_cast<Byte>(e.version >> 8),
                             static_cast<Byte>(e.version),
                             static_cast<Byte>(e.build >> 8),
                             static_cast<Byte>(e.build),
                             e.rdnf};
    const std::size_t size = w[4] >= short_from ? short_size : 16;
    params.resize(size, 0);
    std::vector<Byte> reply = test::answer(w, params);
    reply.resize(4 + size);  // a short answer really is short
    return {{reply, 0}};
  });
  auto device = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel);
  device->initDevice(nullptr);
  device->set_timeout_ms(100);
  return device;
}

std::string formatted(std::vector<Entity> entities) {
  auto channel = std::make_shared<test::FakeChannel>();
  auto device = firmware_device(channel, std::move(entities));
  auto info = device->feature<IFeature0003FirmwareInfo>();
  if (!info) return "<no feature>";
  std::string text;
  if (!info->GetFwFormattedVersion(&text)) return "<failed>";
  return text;
}

TEST(FirmwareIdentityTest, FormattedVersionFollowsTheBcdAndPrefixRules) {
  EXPECT_EQ("14.2.7", formatted({{0, "APP", 0x1402, 0x0007, 1}}));
  EXPECT_EQ("0.14.7", formatted({{0, "APP", 0x000E, 0x0007, 1}}));  // not BCD: read as binary 14
  EXPECT_EQ("102.3.7", formatted({{0, "U1 ", 0x0203, 0x0007, 1}}));
  EXPECT_EQ("2.3.7", formatted({{0, "UA ", 0x0203, 0x0007, 1}}));
  EXPECT_EQ("2.3.9999", formatted({{0, "APP", 0x0203, 0xFFFF, 1}}));  // binary, limited to 9999
  // The first entity of type 0 counts, wherever it stands.
  EXPECT_EQ("14.2.6", formatted({{1, "BOT", 0x0105, 0x0012, 0}, {0, "APP", 0x1402, 0x0006, 1}}));
  EXPECT_EQ("<failed>", formatted({{1, "BOT", 0x0105, 0x0012, 1}}));
  EXPECT_EQ(0x0014, normalise_bcd(0x000E));
  EXPECT_EQ(0x1402, normalise_bcd(0x1402));
}

TEST(FirmwareIdentityTest, ShortFirmwareInfoAnswerIsTooShort) {
  auto channel = std::make_shared<test::FakeChannel>();
  auto device = firmware_device(channel, {{0, "APP", 0x1402, 0x0007, 1}, {1, "BOT", 0x0105, 0x0001, 0}}, 1, 15);
  auto info = device->feature<IFeature0003FirmwareInfo>();
  ASSERT_TRUE(info);
  int type = 0;
  EXPECT_FALSE(info->GetFwInfo(1, &type, static_cast<std::string*>(nullptr), static_cast<std::uint16_t*>(nullptr),
                               static_cast<std::uint16_t*>(nullptr), nullptr, nullptr, 0));
  EXPECT_EQ(CommandResponseTooShort, last_error_code());
}

TEST(FirmwareIdentityTest, IdentityComesFromTheRunningEntityAndIsRemembered) {
  auto channel = std::make_shared<test::FakeChannel>();
  auto device = firmware_device(channel, {{1, "BOT", 0x0105, 0x0012, 0}, {0, "APP", 0x1402, 0x0006, 1}});
  ASSERT_TRUE(device->load_feature_root(false));
  EXPECT_EQ("0APP140200061234", device->fwinfo());
  // The running entity (index 1) is asked first from now on.
  EXPECT_EQ("0APP140200061234", device->read_fwinfo(false));
}

TEST(FirmwareIdentityTest, SimulatedMouseReportsItsVersionsAndModel) {
  test::SimHarness sim;
  auto device = sim.make_device();
  ASSERT_TRUE(device);
  auto info = device->feature<IFeature0003FirmwareInfo>();
  ASSERT_TRUE(info);
  std::string text;
  ASSERT_TRUE(info->GetFwFormattedVersion(&text));
  EXPECT_EQ("14.2.6", text);
  std::uint16_t build = 0;
  ASSERT_TRUE(info->GetFwInfoByType(6, nullptr, nullptr, &build, nullptr, nullptr));
  EXPECT_EQ(2, build);
  int extended = -1;
  ASSERT_TRUE(info->GetExtendedModelId(&extended, 0));
  EXPECT_EQ(0, extended);
  EXPECT_EQ("0APP140200065A3C9E17", device->fwinfo());
}

TEST(FirmwareIdentityTest, FirmwareSwappedBehindTheLibrarysBackIsDetected) {
  class Watcher : public Subscriber<IDevice::Connect> {
   public:
    void onFirmwareChanged(std::shared_ptr<IDevice>) override { ++changes; }
    std::atomic<int> changes{0};
  };
  test::SimHarness sim;
  auto device = sim.make_device();
  ASSERT_TRUE(device);
  ASSERT_TRUE(device->feature<IFeature0003FirmwareInfo>());
  Watcher watcher;
  ASSERT_TRUE(watcher.subscribe(device, DeliveryImmediate));
  EXPECT_TRUE(device->do_fwcheck());
  EXPECT_EQ(0, watcher.changes);

  sim.mouse->set_firmware({14, 3, 0}, 4);
  EXPECT_FALSE(device->do_fwcheck());
  EXPECT_EQ(FwVersionChanged, last_error_code());
  EXPECT_EQ(1, watcher.changes);
  EXPECT_TRUE(device->fwinfo().empty());
  // The new identity is adopted on the next discovery.
  auto info = device->feature<IFeature0003FirmwareInfo>();
  ASSERT_TRUE(info);
  std::string text;
  ASSERT_TRUE(info->GetFwFormattedVersion(&text));
  EXPECT_EQ("14.3.0", text);
}

TEST(FirmwareCheckTest, IdentityIsConfirmedAgainstTheDeviceOnlyWhenItWasReportedConnected) {
  // The device's own reported state decides, not the channel's: a channel is
  // up long before anybody was told that the device is connected.
  auto discovery_requests = [](bool reported) {
    test::SimHarness sim;
    auto device = sim.make_device();
    if (reported) {
      EXPECT_TRUE(device->connected());
    }
    const int before = sim.mouse->requests();
    EXPECT_TRUE(device->load_feature_root(false));
    return sim.mouse->requests() - before;
  };
  const int unreported = discovery_requests(false);
  const int reported = discovery_requests(true);
  EXPECT_GT(reported, unreported) << "the check reads the identity again from the device";
}

}  // namespace
}  // namespace rodiz
