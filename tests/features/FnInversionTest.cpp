#include <gtest/gtest.h>

#include <atomic>

#include "device/Device.h"
#include "device/LastError.h"
#include "features/Feature.h"
#include "features/IFeature1B04SpecialKeys.h"
#include "features/IFeature40A2FnInversion.h"
#include "log/LogTestFixture.h"
#include "support/FakeChannel.h"
#include "support/FrapScript.h"

namespace rodiz {
namespace {

using Reply = test::FakeChannel::Reply;

class SettingListener : public Subscriber<IFeature40A2FnInversion::SettingChange> {
 public:
  ~SettingListener() override { leave_all(); }
  void onSettingChange(unsigned swid, bool inverted) override {
    std::lock_guard<std::mutex> guard(lock);
    heard.emplace_back(swid, inverted);
  }
  std::mutex lock;
  std::vector<std::pair<unsigned, bool>> heard;
};

// The Fn inversion on a scripted device, with the log's console lines kept.
class FnInversionTest : public test::LogTest {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    start({{"loggingoutput", 2}}, std::string("-* +Feature40A2FnInversion +Feature1B04SpecialKeys"));
    channel_ = std::make_shared<test::FakeChannel>();
    auto root = test::root_only_script({{0x40A2, 4}, {0x1B04, 5}});
    channel_->set_script([this, root](const std::vector<Byte>& w) -> std::vector<Reply> {
      if (w[2] == 0x00) return root(w);
      return {{test::answer(w, answer_), 0}};
    });
    device_ = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel_);
    device_->initDevice(nullptr);
    device_->set_timeout_ms(100);
    fn_ = device_->feature<IFeature40A2FnInversion>();
    ASSERT_TRUE(fn_);
  }
  void TearDown() override {
    fn_.reset();
    device_.reset();
    channel_.reset();
    LogTest::TearDown();
  }

  // The requests to the feature at `index` since `from`, as (function, first parameter).
  std::vector<std::pair<int, int>> requests(std::size_t from, Byte index = 4) {
    channel_->flush();
    std::vector<std::pair<int, int>> seen;
    const auto written = channel_->written();
    for (std::size_t i = from; i < written.size(); ++i) {
      if (written[i][2] == index) seen.emplace_back(written[i][3] >> 4, written[i].size() > 4 ? written[i][4] : -1);
    }
    return seen;
  }
  bool logged(const std::string& text) {
    for (const std::string& line : console(2)) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  Feature& feature() { return dynamic_cast<Feature&>(*fn_); }

  std::shared_ptr<test::FakeChannel> channel_;
  std::shared_ptr<Device> device_;
  std::shared_ptr<IFeature40A2FnInversion> fn_;
  std::vector<Byte> answer_ = {0x01, 0x00};
};

TEST_F(FnInversionTest, GetReadsBothFlagsFromFunctionZero) {
  const std::size_t from = channel_->write_count();
  bool inverted = false;
  bool second = true;
  ASSERT_TRUE(fn_->GetGlobalFnInversion(&inverted, &second));
  EXPECT_TRUE(inverted);
  EXPECT_FALSE(second);
  EXPECT_EQ((std::vector<std::pair<int, int>>{{0, 0x00}}), requests(from));
  // A failed read leaves the flags alone.
  answer_ = {0x00, 0x01};
  channel_->fail_writes(NotConnected);
  EXPECT_FALSE(fn_->GetGlobalFnInversion(&inverted, &second));
  EXPECT_TRUE(inverted);
  EXPECT_FALSE(second);
}

// The command engine never hands a feature fewer than three parameter bytes
// (a short report), so the two-byte minimum of the answers cannot be missed
// through a channel; the failures that can happen are the device's.
TEST_F(FnInversionTest, SetWritesTheValueWithFunctionOneAndKeepsNothingOnADeviceError) {
  const std::size_t from = channel_->write_count();
  ASSERT_TRUE(fn_->SetGlobalFnInversion(1));
  EXPECT_EQ((std::vector<std::pair<int, int>>{{1, 0x01}}), requests(from));
  channel_->set_script(
      [root = test::root_only_script({{0x40A2, 4}})](const std::vector<Byte>& w) -> std::vector<Reply> {
        if (w[2] == 0x00) return root(w);
        return {{test::frap20_error(w, 0x02), 0}};
      });
  EXPECT_FALSE(fn_->SetGlobalFnInversion(0));
  EXPECT_EQ(Frp20Error2, last_error_code());
  EXPECT_TRUE(logged("sendFeatureCommand failed"));
  EXPECT_FALSE(logged("caching pending change"));
  EXPECT_FALSE(device_->pending());
}

TEST_F(FnInversionTest, ValuesSetWhileDisconnectedAreWrittenInOrderAtTheNextConnection) {
  channel_->fail_writes(NotConnected);
  ASSERT_TRUE(fn_->SetGlobalFnInversion(1));
  EXPECT_EQ(NoError, last_error_code());
  EXPECT_TRUE(logged("Feature 0x40A2 caching pending change"));
  ASSERT_TRUE(fn_->SetGlobalFnInversion(0));
  EXPECT_TRUE(device_->pending());
  EXPECT_TRUE(feature().pending());

  // The first write of the connection fails: the value and its successor stay.
  EXPECT_FALSE(feature().process_pending_changes(true));
  channel_->fail_writes(NoError, 0, 0);
  const std::size_t from = channel_->write_count();
  ASSERT_TRUE(feature().process_pending_changes(true));
  EXPECT_EQ((std::vector<std::pair<int, int>>{{1, 0x01}, {1, 0x00}}), requests(from));
  // Written values are gone.
  const std::size_t after = channel_->write_count();
  ASSERT_TRUE(feature().process_pending_changes(true));
  EXPECT_TRUE(requests(after).empty());
}

TEST_F(FnInversionTest, AFailureHalfwayKeepsOnlyTheValuesNotWritten) {
  channel_->fail_writes(NotConnected);
  ASSERT_TRUE(fn_->SetGlobalFnInversion(1));
  ASSERT_TRUE(fn_->SetGlobalFnInversion(0));
  channel_->fail_writes(NoError, 0, 0);
  // The device answers the first write, then refuses the second.
  std::atomic<int> sets{0};
  channel_->set_script(
      [&sets, root = test::root_only_script({{0x40A2, 4}})](const std::vector<Byte>& w) -> std::vector<Reply> {
        if (w[2] == 0x00) return root(w);
        if (++sets == 2) return {{test::frap20_error(w, 0x04), 0}};
        return {{test::answer(w, {0x00, 0x00}), 0}};
      });
  EXPECT_FALSE(feature().process_pending_changes(true));
  const std::size_t from = channel_->write_count();
  ASSERT_TRUE(feature().process_pending_changes(true));
  EXPECT_EQ((std::vector<std::pair<int, int>>{{1, 0x00}}), requests(from));
}

TEST_F(FnInversionTest, AnotherProgramsAnswerToTheSetFunctionRaisesSettingChange) {
  SettingListener listener;
  ASSERT_TRUE(listener.subscribe(fn_, DeliveryImmediate));
  const Byte other = static_cast<Byte>(device_->swid() == 0x0C ? 0x0B : 0x0C);
  // Through the channel: function 1 with params 00 from software id `other`.
  channel_->inject(
      {0x11, 0xFF, 0x04, static_cast<Byte>(0x10 | other), 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  channel_->inject(
      {0x11, 0xFF, 0x04, static_cast<Byte>(0x00 | other), 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  channel_->flush();
  auto& f = feature();
  f.dispatch_unexpected_response(1, 3, {0x01});
  f.dispatch_unexpected_response(1, 3, {});
  std::lock_guard<std::mutex> guard(listener.lock);
  EXPECT_EQ((std::vector<std::pair<unsigned, bool>>{{other, false}, {3u, true}}), listener.heard);
}

TEST_F(FnInversionTest, OtherPendingSettersFollowThePattern) {
  auto keys = device_->feature<IFeature1B04SpecialKeys>();
  ASSERT_TRUE(keys);
  channel_->fail_writes(NotConnected);
  ASSERT_TRUE(keys->SetCtrlIdReporting({0x00, 0x52, 0x01}));
  ASSERT_TRUE(keys->SetCtrlIdReporting({0x00, 0x53, 0x00}));
  EXPECT_TRUE(logged("Feature 0x1B04 caching pending change"));
  channel_->fail_writes(NoError, 0, 0);
  const std::size_t from = channel_->write_count();
  auto& f = dynamic_cast<Feature&>(*keys);
  ASSERT_TRUE(f.process_pending_changes(false));
  // The console shows the text after the function name it repeats.
  EXPECT_TRUE(logged("process_pending_changes (device_configured = 0)"));
  channel_->flush();
  std::vector<std::vector<Byte>> written;
  for (std::size_t i = from; i < channel_->written().size(); ++i) {
    const auto w = channel_->written()[i];
    if (w[2] == 5) written.emplace_back(w.begin() + 3, w.begin() + 7);
  }
  EXPECT_EQ((std::vector<std::vector<Byte>>{{static_cast<Byte>(0x30 | device_->swid()), 0x00, 0x52, 0x01},
                                            {static_cast<Byte>(0x30 | device_->swid()), 0x00, 0x53, 0x00}}),
            written);
}

}  // namespace
}  // namespace rodiz
