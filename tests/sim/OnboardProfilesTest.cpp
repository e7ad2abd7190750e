#include <gtest/gtest.h>

#include <atomic>

#include "device/LastError.h"
#include "features/Feature.h"
#include "features/IFeature8070ColorLEDEffects.h"
#include "features/IFeature8100OnboardProfiles.h"
#include "sim/SimHarness.h"
#include "support/FakeChannel.h"
#include "support/FrapScript.h"

namespace rodiz {
namespace {

using Reply = test::FakeChannel::Reply;

// The wire form, on a scripted channel that answers with `answer_` and keeps
// what was written.
class OnboardProfilesWireTest : public testing::Test {
 protected:
  void SetUp() override {
    channel_ = std::make_shared<test::FakeChannel>();
    auto root = test::root_only_script({{0x8100, 5}, {0x8070, 6}});
    channel_->set_script([this, root](const std::vector<Byte>& w) -> std::vector<Reply> {
      if (w[2] == 0x00) return root(w);
      std::vector<Byte> reply = test::answer(w, answer_);
      if (answer_size_ >= 0) reply.resize(4 + static_cast<std::size_t>(answer_size_));
      return {{reply, 0}};
    });
    device_ = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel_);
    device_->initDevice(nullptr);
    device_->set_timeout_ms(100);
    profiles_ = device_->feature<IFeature8100OnboardProfiles>();
    ASSERT_TRUE(profiles_);
  }
  // The first `n` parameter bytes of the last request (all when n is 0).
  std::vector<Byte> last_params(std::size_t n = 0) {
    const auto w = channel_->written().back();
    return std::vector<Byte>(w.begin() + 4, n == 0 ? w.end() : w.begin() + 4 + static_cast<std::ptrdiff_t>(n));
  }

  std::shared_ptr<test::FakeChannel> channel_;
  std::shared_ptr<Device> device_;
  std::shared_ptr<IFeature8100OnboardProfiles> profiles_;
  std::vector<Byte> answer_ = std::vector<Byte>(16, 0);
  int answer_size_ = -1;
};

TEST_F(OnboardProfilesWireTest, RequestsCarryTheirParametersMostSignificantFirst) {
  ASSERT_TRUE(profiles_->SetOnboardMode(true));
  EXPECT_EQ(0x01, last_params()[0]);
  ASSERT_TRUE(profiles_->SetOnboardMode(false));
  EXPECT_EQ(0x02, last_params()[0]);
  std::vector<Byte> data;
  ASSERT_TRUE(profiles_->ReadData(2, 0x30, &data));
  EXPECT_EQ((std::vector<Byte>{0x00, 0x02, 0x00, 0x30}), last_params(4));
  EXPECT_EQ(5, channel_->written().back()[3] >> 4);
}

TEST_F(OnboardProfilesWireTest, WriteDataPadsToSixteenAndRefusesMore) {
  const std::size_t before = channel_->write_count();
  ASSERT_TRUE(profiles_->WriteData({1, 2, 3, 4, 5}, nullptr));
  std::vector<Byte> expected{1, 2, 3, 4, 5};
  expected.resize(16, 0);
  EXPECT_EQ(expected, last_params());
  EXPECT_FALSE(profiles_->WriteData(std::vector<Byte>(17, 9), nullptr));
  EXPECT_FALSE(profiles_->WriteData({}, nullptr));
  EXPECT_EQ(before + 1, channel_->write_count());
}

TEST_F(OnboardProfilesWireTest, ShortAnswersFailAndInfoFlagsDecode) {
  answer_size_ = 15;
  std::vector<Byte> data;
  EXPECT_FALSE(profiles_->ReadData(0, 0, &data));
  EXPECT_EQ(CommandResponseTooShort, last_error_code());
  answer_size_ = -1;
  answer_ = {1, 2, 3, 4, 5, 6, 16, 0x01, 0x00, 0x0A};
  IFeature8100OnboardProfiles::Info info;
  ASSERT_TRUE(profiles_->GetOnboardProfilesInfo(&info));
  EXPECT_EQ(16, info.sectorCount);
  EXPECT_EQ(256, info.sectorSize);
  EXPECT_TRUE(info.flagA);
  EXPECT_TRUE(info.flagB);
  answer_[9] = 0x06;
  ASSERT_TRUE(profiles_->GetOnboardProfilesInfo(&info));
  EXPECT_TRUE(info.flagA);
  EXPECT_FALSE(info.flagB);
}

TEST_F(OnboardProfilesWireTest, ProfileNotificationRaisesTheEvent) {
  class Listener : public Subscriber<IFeature8100OnboardProfiles::Report> {
   public:
    ~Listener() override { leave_all(); }
    void onProfileActivated(IFeature8100OnboardProfiles::ProfileId profile) override { activated = profile; }
    void onActiveProfileResolutionChanged(int index) override { resolution = index; }
    std::atomic<int> activated{-1};
    std::atomic<int> resolution{-1};
  };
  Listener listener;
  ASSERT_TRUE(listener.subscribe(profiles_, DeliveryImmediate));
  auto feature = std::dynamic_pointer_cast<Feature>(profiles_);
  feature->dispatch_feature_report(0, 0, {0x00, 0x03});
  feature->dispatch_feature_report(1, 0, {0x02});
  feature->dispatch_feature_report(0, 0, {});  // empty: ignored
  EXPECT_EQ(3, listener.activated);
  EXPECT_EQ(2, listener.resolution);
}

TEST_F(OnboardProfilesWireTest, LedConfigurationReadsBytesTwoToFour) {
  auto led = device_->feature<IFeature8070ColorLEDEffects>();
  ASSERT_TRUE(led);
  answer_ = {0x00, 0x01, 0x01, 0x00, 0x00};
  Byte b2 = 9;
  Byte b3 = 9;
  Byte b4 = 9;
  ASSERT_TRUE(led->GetNvConfig(1, &b2, &b3, &b4));
  EXPECT_EQ((std::vector<Byte>{1, 0, 0}), (std::vector<Byte>{b2, b3, b4}));
  EXPECT_EQ((std::vector<Byte>{0x00, 0x01}), last_params(2));
  ASSERT_TRUE(led->SetNvConfig(1, 2, 0, 0));
  EXPECT_EQ((std::vector<Byte>{0x00, 0x01, 0x02, 0x00, 0x00}), last_params(5));
  answer_size_ = 4;
  EXPECT_FALSE(led->GetNvConfig(1, &b2, &b3, &b4));
  EXPECT_EQ(CommandResponseTooShort, last_error_code());
}

TEST(OnboardProfilesSimTest, EverySectorReadsAndWritesBack) {
  test::SimHarness sim;
  auto device = sim.make_device();
  ASSERT_TRUE(device);
  auto profiles = device->feature<IFeature8100OnboardProfiles>();
  ASSERT_TRUE(profiles);
  IFeature8100OnboardProfiles::Info info;
  ASSERT_TRUE(profiles->GetOnboardProfilesInfo(&info));
  ASSERT_EQ(16, info.sectorCount);
  std::vector<std::vector<Byte>> copy(16);
  for (int sector = 0; sector < 16; ++sector) {
    for (int offset = 0; offset < 256; offset += 16) {
      std::vector<Byte> data;
      ASSERT_TRUE(profiles->ReadData(sector, offset, &data));
      copy[static_cast<std::size_t>(sector)].insert(copy[static_cast<std::size_t>(sector)].end(), data.begin(),
                                                    data.end());
    }
  }
  EXPECT_EQ(sim.mouse->sectors(), copy);
  std::vector<Byte> data;
  EXPECT_FALSE(profiles->ReadData(16, 0, &data));  // no such sector

  // Write sector 5 with new content; an unfinished write changes nothing.
  ASSERT_TRUE(profiles->BeginWrite(5, 0, 256));
  for (int piece = 0; piece < 8; ++piece) ASSERT_TRUE(profiles->WriteData(std::vector<Byte>(16, 0x77), nullptr));
  EXPECT_FALSE(profiles->EndWrite());
  EXPECT_EQ(copy[5], sim.mouse->sectors()[5]);
  ASSERT_TRUE(profiles->BeginWrite(5, 0, 256));
  for (int piece = 0; piece < 16; ++piece) ASSERT_TRUE(profiles->WriteData(std::vector<Byte>(16, 0x77), nullptr));
  ASSERT_TRUE(profiles->EndWrite());
  EXPECT_EQ(std::vector<Byte>(256, 0x77), sim.mouse->sectors()[5]);
  std::vector<Byte> crc;
  ASSERT_TRUE(profiles->GetCRC(5, &crc));
  EXPECT_GE(crc.size(), 2u);

  ASSERT_TRUE(profiles->SetActiveProfile(4));
  int active = 0;
  ASSERT_TRUE(profiles->GetActiveProfile(&active));
  EXPECT_EQ(4, active);
  ASSERT_TRUE(profiles->SetActiveProfileResolution(1));
  int resolution = 0;
  ASSERT_TRUE(profiles->GetActiveProfileResolution(&resolution));
  EXPECT_EQ(1, resolution);
}

TEST(SimMouseRequestTest, ShortRequestsForFunctionsThatReadMoreAreRefusedLikeADevice) {
  // Short reports carry three parameter bytes; these functions read up to
  // sixteen. The simulated mouse is the tests' oracle: it must answer with an
  // error, not read past the request.
  test::SimHarness sim;
  auto device = sim.make_device();
  auto led = std::dynamic_pointer_cast<Feature>(device->feature_by_id(0x8070));
  auto profiles = std::dynamic_pointer_cast<Feature>(device->feature_by_id(0x8100));
  ASSERT_TRUE(led && profiles);
  struct Case {
    std::shared_ptr<Feature> feature;
    unsigned function;
  };
  for (const Case& c : {Case{led, 5}, Case{profiles, 5}, Case{profiles, 6}, Case{profiles, 7}}) {
    const std::vector<Byte> request{0x10,
                                    0xFF,
                                    static_cast<Byte>(c.feature->feature_index()),
                                    static_cast<Byte>((c.function << 4) | static_cast<unsigned>(device->swid())),
                                    0x00,
                                    0x01,
                                    0x00};
    std::vector<Byte> response;
    EXPECT_FALSE(device->sendSynchronousCommand(request, response, 0, {}));
    EXPECT_EQ(Frp20Error2, last_error_code()) << "function " << c.function;
  }
}

}  // namespace
}  // namespace rodiz
