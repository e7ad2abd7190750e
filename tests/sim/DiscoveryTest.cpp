#include <gtest/gtest.h>

#include <algorithm>

#include "device/LastError.h"
#include "features/Feature.h"
#include "features/FeatureRegistry.h"
#include "features/IFeature0001FeatureSet.h"
#include "features/IFeature0003FirmwareInfo.h"
#include "features/IFeature0005DeviceNameType.h"
#include "features/IFeature00c2DFUControl.h"
#include "features/IFeature8100OnboardProfiles.h"
#include "sim/SimHarness.h"
#include "support/FakeChannel.h"
#include "support/FrapScript.h"

namespace rodiz {
namespace {

// An interface whose id belongs to another class: a lookup through it must fail.
class IWrongInterface {
 public:
  static constexpr int kFeatureId = 0x8070;
  virtual ~IWrongInterface() = default;
};

TEST(DiscoveryTest, EnumeratesTheApplicationFeaturesInIndexOrder) {
  test::SimHarness sim;
  auto device = sim.make_device();
  ASSERT_TRUE(device);
  const auto features = device->features();
  ASSERT_EQ(8u, features.size());
  const int expected[] = {0x0000, 0x0001, 0x0003, 0x0005, 0x0020, 0x00C2, 0x8070, 0x8100};
  for (std::size_t i = 0; i < features.size(); ++i) {
    EXPECT_EQ(expected[i], features[i]->feature_id());
    EXPECT_EQ(static_cast<int>(i), features[i]->feature_index());
  }
  EXPECT_EQ(3, features[2]->version());

  // Typed lookups come from the table now, and an absent id needs no traffic.
  const int before = sim.mouse->requests();
  EXPECT_TRUE(device->feature<IFeature00c2DFUControl>());
  EXPECT_TRUE(device->feature<IFeature8100OnboardProfiles>());
  clear_last_error();
  EXPECT_FALSE(device->feature_by_id(0x1234));
  EXPECT_EQ(FeatureNotSupported, last_error_code());
  EXPECT_EQ(before, sim.mouse->requests());

  EXPECT_FALSE(device->feature<IWrongInterface>());
  EXPECT_EQ(InternalError, last_error_code());
  EXPECT_STREQ("cannot cast feature to proper type", last_error().text);
}

TEST(DiscoveryTest, LookupBeforeEnumerationAsksTheRootAndCachesAbsence) {
  test::SimHarness sim;
  auto device = sim.make_device();
  ASSERT_TRUE(device);
  auto name = device->feature<IFeature0005DeviceNameType>();
  ASSERT_TRUE(name);
  std::string text;
  ASSERT_TRUE(name->GetDeviceName(&text));
  EXPECT_EQ("Mirel VELOXA Wireless Gaming Mouse", text);

  // The answer "not present" is cached: only the first lookup reaches the mouse.
  EXPECT_FALSE(device->feature_by_id(0x4321));
  const int before = sim.mouse->requests();
  EXPECT_FALSE(device->feature_by_id(0x4321));
  EXPECT_EQ(FeatureNotSupported, last_error_code());
  EXPECT_EQ(before, sim.mouse->requests());
}

TEST(DiscoveryTest, EveryCatalogueClassIsLinkedIn) {
  const std::vector<int> ids = FeatureRegistry::registered_ids();
  for (int id : {0x0000, 0x0001, 0x0003, 0x0005, 0x0020, 0x1D4B, 0x00C0, 0x00C1, 0x00C2, 0x00D0, 0x8070, 0x8100}) {
    EXPECT_NE(ids.end(), std::find(ids.begin(), ids.end(), id)) << std::hex << id;
  }
  // An id without a class still gets an object that can talk.
  auto feature = FeatureRegistry::create(0x4242, 9, std::weak_ptr<Device>());
  ASSERT_TRUE(feature);
  EXPECT_EQ(0x4242, feature->feature_id());
  std::vector<Byte> response;
  EXPECT_FALSE(feature->sendFeatureCommand(0, {}, response, 0));
  EXPECT_EQ(DeviceRemoved, last_error_code());
}

TEST(DiscoveryTest, FrapOneDeviceIsRecognisedOnceAndNotAskedAgain) {
  auto channel = std::make_shared<test::FakeChannel>(0xC52B);
  channel->set_script([](const std::vector<Byte>& w) -> std::vector<test::FakeChannel::Reply> {
    return {{test::frap10_error(w, 1), 0}};
  });
  auto device = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel);
  device->initDevice(nullptr);
  EXPECT_FALSE(device->load_feature_root(false));
  EXPECT_EQ(NotFrp20, last_error_code());
  const std::size_t writes = channel->write_count();
  EXPECT_FALSE(device->feature_by_id(0x0003));
  EXPECT_EQ(NotFrp20, last_error_code());
  EXPECT_EQ(writes, channel->write_count());
  EXPECT_FALSE(device->feature_based());
  // Only an explicit retry asks again.
  EXPECT_FALSE(device->retry_load_feature_root());
  EXPECT_EQ(writes + 1, channel->write_count());
}

TEST(DiscoveryTest, ShortFeatureIdAnswersDecodeMissingFieldsAsZero) {
  auto channel = std::make_shared<test::FakeChannel>();
  auto root = test::root_only_script({{0x0001, 1}});
  channel->set_script([root](const std::vector<Byte>& w) -> std::vector<test::FakeChannel::Reply> {
    if (w[2] == 0x00) return root(w);
    // FeatureSet: count 2, and an entry with only two payload bytes (id 0x1234).
    std::vector<Byte> reply{0x10, 0xFF, w[2], w[3], 0x12, 0x34, 0x00};
    if ((w[3] >> 4) == 0) reply[4] = 2;
    return {{reply, 0}};
  });
  auto device = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel);
  device->initDevice(nullptr);
  auto set = device->feature<IFeature0001FeatureSet>();
  ASSERT_TRUE(set);
  int id = 0;
  bool engineering = true;
  int version = 9;
  ASSERT_TRUE(set->GetFeatureID(2, &id, &engineering, nullptr, nullptr, &version));
  EXPECT_EQ(0x1234, id);
  EXPECT_FALSE(engineering);
  EXPECT_EQ(0, version);
}

}  // namespace
}  // namespace rodiz
