#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/Device.h"
#include "device/LastError.h"
#include "features/Feature.h"
#include "features/IFeature0020ConfigChange.h"
#include "features/IFeature00c0DFUControl.h"
#include "features/IFeature00c2DFUControl.h"
#include "features/IFeature8070ColorLEDEffects.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"
#include "support/FakeChannel.h"
#include "support/FrapScript.h"
#include "support/RunLoopPump.h"

namespace rodiz {
namespace {

using test::FakeChannel;
using Reply = FakeChannel::Reply;

constexpr Byte kConfigIndex = 4;
constexpr Byte kWirelessIndex = 5;
constexpr Byte kLedIndex = 6;
constexpr Byte kDfu00c0Index = 7;
constexpr Byte kDfu00c2Index = 8;

// A device on a scripted channel whose 0x0020 feature keeps the cookie it is
// given, so that another program can change it behind the device's back; the
// run loop is drained by the test.
class ControlFeaturesTest : public testing::Test {
 protected:
  void SetUp() override {
    manager_ = facade().getimpl();
    pump_ = std::make_unique<test::RunLoopPump>(manager_);
  }
  void TearDown() override {
    pump_->drain();
    device_.reset();
    channel_.reset();
    pump_.reset();
    manager_.reset();
    facade().reset();
  }

  void make(int bus_type) {
    channel_ = std::make_shared<FakeChannel>(0xC087, bus_type);
    auto root = test::root_only_script({{0x0020, kConfigIndex},
                                        {0x1D4B, kWirelessIndex},
                                        {0x8070, kLedIndex},
                                        {0x00C0, kDfu00c0Index},
                                        {0x00C2, kDfu00c2Index}});
    channel_->set_script([this, root](const std::vector<Byte>& w) -> std::vector<Reply> {
      if (w[2] == 0x00) return root(w);
      if (w[2] == kConfigIndex) {
        if ((w[3] >> 4) == 1) cookie_ = static_cast<std::uint16_t>((w[4] << 8) | w[5]);
        return {{test::answer(w, {static_cast<Byte>(cookie_ >> 8), static_cast<Byte>(cookie_ & 0xFF)}), 0}};
      }
      if (w[2] == kDfu00c2Index) {
        if ((w[3] >> 4) == 1) return {};  // rebooting: no answer
        return {{test::answer(w, {0x00, 0x00, dfu_control_byte_}), 0}};
      }
      return {{test::answer(w, {0x00, 0x00, 0x00}), 0}};
    });
    device_ = std::make_shared<Device>(manager_, channel_);
    device_->initDevice(manager_);
    device_->set_timeout_ms(100);
    ASSERT_TRUE(device_->load_feature_root(false));
  }

  // A report that no request waits for: a notification (swid 0) or another
  // program's answer.
  void receive(Byte index, unsigned function, unsigned swid, std::vector<Byte> params) {
    std::vector<Byte> report{0x11, 0xFF, index, static_cast<Byte>((function << 4) | swid)};
    report.insert(report.end(), params.begin(), params.end());
    report.resize(20, 0);
    channel_->inject(report);
    channel_->flush();
    pump_->drain();
  }

  std::shared_ptr<DeviceManager> manager_;
  std::unique_ptr<test::RunLoopPump> pump_;
  std::shared_ptr<FakeChannel> channel_;
  std::shared_ptr<Device> device_;
  std::atomic<std::uint16_t> cookie_{0};
  std::atomic<Byte> dfu_control_byte_{0};
};

class ConnectEvents : public Subscriber<IDevice::Connect> {
 public:
  ~ConnectEvents() override { leave_all(); }
  void onConnect(std::shared_ptr<IDevice>, bool configured) override { add(configured ? "connect(ours)" : "connect"); }
  void onDisconnect(std::shared_ptr<IDevice>) override { add("disconnect"); }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(events_, {});
  }

 private:
  void add(const std::string& event) {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(event);
  }
  std::mutex lock_;
  std::vector<std::string> events_;
};

TEST_F(ControlFeaturesTest, WirelessStatusReportsLostSettingsOnlyWhenTheCookieChanged) {
  make(1);  // behind a receiver: the device follows 0x1D4B
  ConnectEvents events;
  ASSERT_TRUE(events.subscribe(device_, DeliveryImmediate));
  ASSERT_TRUE(device_->connected());
  auto led = std::dynamic_pointer_cast<Feature>(device_->feature_by_id(0x8070));
  ASSERT_TRUE(led && led->set_configured());
  ASSERT_NE(0, device_->cookie());

  // Our cookie is still there: nothing to report.
  receive(kWirelessIndex, 0, 0, {0x01, 0x01, 0x00});
  EXPECT_TRUE(events.take().empty());
  // Without "configuration needed" nothing is even read.
  cookie_ = 0x0BAD;
  receive(kWirelessIndex, 0, 0, {0x01, 0x00, 0x00});
  EXPECT_TRUE(events.take().empty());
  // Another program's cookie: the settings were lost.
  receive(kWirelessIndex, 0, 0, {0x01, 0x01, 0x00});
  EXPECT_EQ((std::vector<std::string>{"disconnect", "connect"}), events.take());
}

TEST_F(ControlFeaturesTest, AnotherProgramsSetCookieIsAnnouncedWithItsSwid) {
  class Cookies : public Subscriber<IFeature0020ConfigChange::ConfigReport> {
   public:
    ~Cookies() override { leave_all(); }
    void onCookieSet(std::uint16_t cookie, unsigned int swid) override { seen.emplace_back(cookie, swid); }
    std::vector<std::pair<std::uint16_t, unsigned>> seen;
  };
  make(0);
  auto config = device_->feature<IFeature0020ConfigChange>();
  ASSERT_TRUE(config);
  Cookies cookies;
  ASSERT_TRUE(cookies.subscribe(config, DeliveryRunLoop));
  receive(kConfigIndex, 1, 3, {0x12, 0x34});
  receive(kConfigIndex, 0, 3, {0x56, 0x78});  // another program's GetCookie: not a change
  EXPECT_EQ((std::vector<std::pair<std::uint16_t, unsigned>>{{0x1234, 3}}), cookies.seen);
}

TEST_F(ControlFeaturesTest, RebootRequestIsOneWayWithItsFixedParameters) {
  make(0);
  auto control = device_->feature<IFeature00c2DFUControl>();
  ASSERT_TRUE(control);
  const std::size_t before = channel_->write_count();
  EXPECT_TRUE(control->SetDfuControl(1, 0));  // the device never answers
  const auto written = channel_->written();
  ASSERT_EQ(before + 1, written.size()) << "no retry, no ping";
  const auto& report = written.back();
  ASSERT_EQ(20u, report.size());
  EXPECT_EQ(0x11, report[0]);
  EXPECT_EQ((std::vector<Byte>{0x01, 0x00, 0x00, 0x00, 'D', 'F', 'U'}),
            std::vector<Byte>(report.begin() + 4, report.begin() + 11));

  channel_->fail_writes(WriteGenFailure, 0, 1);
  EXPECT_FALSE(control->SetDfuControl(1, 0));
  EXPECT_EQ(InternalError, last_error_code());
}

TEST_F(ControlFeaturesTest, DfuControlStateIsBitZeroOfTheThirdByte) {
  make(0);
  auto control = device_->feature<IFeature00c2DFUControl>();
  ASSERT_TRUE(control);
  struct Case {
    Byte byte;
    bool expected;
  };
  for (const Case c : {Case{0x03, true}, Case{0x02, false}, Case{0x01, true}, Case{0x00, false}}) {
    dfu_control_byte_ = c.byte;
    bool value = !c.expected;
    ASSERT_TRUE(control->GetDfuControl(&value));
    EXPECT_EQ(c.expected, value) << int(c.byte);
  }
}

TEST_F(ControlFeaturesTest, EnterDfuAnnouncementReachesImmediateSubscribersOnly) {
  class Listener : public Subscriber<IFeature00c0DFUControl::ConfigReport> {
   public:
    ~Listener() override { leave_all(); }
    void onDfuControl(int swid, std::uint16_t value) override {
      std::lock_guard<std::mutex> guard(lock);
      seen.emplace_back(swid, value);
    }
    std::mutex lock;
    std::vector<std::pair<int, std::uint16_t>> seen;
  };
  make(0);
  auto control = device_->feature<IFeature00c0DFUControl>();
  ASSERT_TRUE(control);
  Listener immediate;
  Listener queued;
  ASSERT_TRUE(immediate.subscribe(control, DeliveryImmediate));
  ASSERT_TRUE(queued.subscribe(control, DeliveryRunLoop));
  receive(kDfu00c0Index, 1, 2, {0x12, 0x34});
  receive(kDfu00c0Index, 2, 2, {0x56, 0x78});  // other functions are only logged
  EXPECT_EQ((std::vector<std::pair<int, std::uint16_t>>{{2, 0x1234}}), immediate.seen);
  EXPECT_TRUE(queued.seen.empty());
}

}  // namespace
}  // namespace rodiz
