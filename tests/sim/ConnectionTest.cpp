#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/LastError.h"
#include "features/Feature.h"
#include "features/FeatureRegistry.h"
#include "features/IFeature0020ConfigChange.h"
#include "features/IFeature8070ColorLEDEffects.h"
#include "sim/SimHarness.h"
#include "support/FakeChannel.h"
#include "support/FrapScript.h"

namespace rodiz {
namespace {

// What a device told its subscribers, in order.
class DeviceEvents : public Subscriber<IDevice::Connect>, public Subscriber<IDevice::ConfigChange> {
 public:
  ~DeviceEvents() override {
    Subscriber<IDevice::Connect>::leave_all();
    Subscriber<IDevice::ConfigChange>::leave_all();
  }
  bool watch(const std::shared_ptr<IDevice>& device) {
    return Subscriber<IDevice::Connect>::subscribe(device, DeliveryImmediate) &&
           Subscriber<IDevice::ConfigChange>::subscribe(device, DeliveryImmediate);
  }
  void onConnect(std::shared_ptr<IDevice>, bool configured) override { add(configured ? "connect(ours)" : "connect"); }
  void onDisconnect(std::shared_ptr<IDevice>) override { add("disconnect"); }
  void onFirmwareChanged(std::shared_ptr<IDevice>) override { add("firmware"); }
  void onConfigChange() override { add("config"); }
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

class ConnectionTest : public testing::Test {
 protected:
  void SetUp() override {
    device_ = sim_.make_device();
    ASSERT_TRUE(device_);
    ASSERT_TRUE(events_.watch(device_));
    ASSERT_TRUE(device_->connected());
    led_ = device_->feature<IFeature8070ColorLEDEffects>();
    ASSERT_TRUE(led_);
  }
  void TearDown() override {
    sim_.pump().drain();
    led_.reset();
    device_.reset();
  }
  // Claims the configuration through a feature, as a setting would.
  bool configure() { return std::dynamic_pointer_cast<Feature>(led_)->set_configured(); }
  void reconnect() {
    device_->onDisconnect(device_->hardware());
    device_->onConnect(device_->hardware());
  }

  test::SimHarness sim_;
  std::shared_ptr<Device> device_;
  std::shared_ptr<IFeature8070ColorLEDEffects> led_;
  DeviceEvents events_;
};

TEST_F(ConnectionTest, OurCookieSurvivesAReconnect) {
  ASSERT_TRUE(configure());
  EXPECT_TRUE(device_->configured());
  EXPECT_NE(0, device_->cookie());
  EXPECT_EQ(device_->cookie(), sim_.mouse->cookie());
  EXPECT_EQ(std::vector<std::string>{"config"}, events_.take());
  reconnect();
  EXPECT_EQ((std::vector<std::string>{"disconnect", "connect(ours)"}), events_.take());
  EXPECT_TRUE(device_->configured());
}

TEST_F(ConnectionTest, AnotherProgramsCookieTakesTheConfigurationAway) {
  Device::Clock clock = Device::system_clock();
  clock.random = [] { return 0x1233; };  // would pick the foreign cookie 0x1234 itself
  device_->set_clock(clock);
  ASSERT_TRUE(configure());
  events_.take();
  sim_.mouse->foreign_set_cookie(0x1234, 3);
  sim_.mouse->wait_idle();
  reconnect();
  EXPECT_EQ((std::vector<std::string>{"disconnect", "config", "connect"}), events_.take());
  EXPECT_FALSE(device_->configured());
  EXPECT_FALSE(device_->device_unowned_but_dirty());  // the settings are somebody else's now

  // Claiming again resets the device and never reuses the foreign cookie.
  ASSERT_TRUE(configure());
  EXPECT_EQ(0x1235, device_->cookie());
  EXPECT_EQ(0x1235, sim_.mouse->cookie());
}

TEST_F(ConnectionTest, GoingInactiveGivesTheDeviceBack) {
  ASSERT_TRUE(configure());
  events_.take();
  device_->onActiveChanged(false);
  EXPECT_EQ(std::vector<std::string>{"disconnect"}, events_.take());
  // The 5 s deactivation timer expires:
  device_->onTimerEvent(0);
  EXPECT_EQ(0, sim_.mouse->cookie());
  EXPECT_FALSE(device_->configured());
  EXPECT_EQ(std::vector<std::string>{"config"}, events_.take());
  device_->onActiveChanged(true);
  EXPECT_EQ(std::vector<std::string>{"connect"}, events_.take());
}

TEST_F(ConnectionTest, FirmwareChangedWhileAwayIsFoundAtConnect) {
  ASSERT_TRUE(configure());
  events_.take();
  device_->onDisconnect(device_->hardware());
  sim_.mouse->set_firmware({14, 3, 0}, 4);
  device_->onConnect(device_->hardware());
  // forget() gives the configuration up before the change is announced.
  EXPECT_EQ((std::vector<std::string>{"disconnect", "config", "firmware", "connect"}), events_.take());
}

TEST_F(ConnectionTest, ReconnectBurstIsHandledOnceAfterASecond) {
  events_.take();
  device_->onConnect(device_->hardware());  // already connected, a report just came
  EXPECT_TRUE(events_.take().empty());
  ASSERT_TRUE(sim_.pump().run_until([&] { return !events_.take().empty(); }, std::chrono::milliseconds(2500)));
}

// A feature that records the order in which pending changes are written.
std::vector<int>& pending_log() {
  static std::vector<int> log;
  return log;
}

class PendingRecorder : public Feature {
 public:
  PendingRecorder(int id, int index, std::weak_ptr<Device> device) : Feature(id, index, std::move(device)) {}
  bool process_pending_changes(bool) override {
    pending_log().push_back(feature_id());
    return true;
  }
};

TEST(PendingChangesTest, AreWrittenInOrderAtTheNextConnect) {
  FeatureRegistry::register_feature(0x7A01, [](int index, std::weak_ptr<Device> device) -> std::shared_ptr<Feature> {
    return std::make_shared<PendingRecorder>(0x7A01, index, std::move(device));
  });
  FeatureRegistry::register_feature(0x7A02, [](int index, std::weak_ptr<Device> device) -> std::shared_ptr<Feature> {
    return std::make_shared<PendingRecorder>(0x7A02, index, std::move(device));
  });
  auto channel = std::make_shared<test::FakeChannel>();
  channel->set_script(test::root_only_script({{0x7A01, 4}, {0x7A02, 5}}));
  auto device = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel);
  device->initDevice(nullptr);
  device->set_timeout_ms(100);
  auto second = std::dynamic_pointer_cast<Feature>(device->feature_by_id(0x7A02));
  auto first = std::dynamic_pointer_cast<Feature>(device->feature_by_id(0x7A01));
  ASSERT_TRUE(first && second);
  pending_log().clear();
  ASSERT_TRUE(second->set_pending());
  ASSERT_TRUE(first->set_pending());
  ASSERT_TRUE(first->set_pending());  // once is enough
  EXPECT_TRUE(device->pending());
  device->onDisconnect(channel);
  device->onConnect(channel);
  EXPECT_EQ((std::vector<int>{0x7A02, 0x7A01}), pending_log());
  EXPECT_FALSE(device->pending());
  EXPECT_FALSE(first->pending());
}

TEST(CookieFailureTest, UnreadableCookieLosesTheConfigurationButShutdownClearsIt) {
  auto channel = std::make_shared<test::FakeChannel>();
  auto root = test::root_only_script({{0x0020, 4}, {0x8070, 5}});
  std::atomic<bool> refuse{false};
  std::vector<std::vector<Byte>> cookie_writes;
  std::mutex lock;
  channel->set_script([&, root](const std::vector<Byte>& w) -> std::vector<test::FakeChannel::Reply> {
    if (w[2] == 0x00) return root(w);
    if (w[2] == 4 && (w[3] >> 4) == 0 && refuse) return {{test::frap20_error(w, 5), 0}};
    if (w[2] == 4 && (w[3] >> 4) == 1) {
      std::lock_guard<std::mutex> guard(lock);
      cookie_writes.push_back({w[4], w[5]});
    }
    return {{test::answer(w, {0x00, 0x00}), 0}};
  });
  auto device = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel);
  device->initDevice(nullptr);
  device->set_timeout_ms(100);
  auto led = std::dynamic_pointer_cast<Feature>(device->feature_by_id(0x8070));
  ASSERT_TRUE(led);
  ASSERT_TRUE(led->set_configured());
  refuse = true;
  device->onDisconnect(channel);
  device->onConnect(channel);
  EXPECT_FALSE(device->configured());
  EXPECT_TRUE(device->device_unowned_but_dirty());
  EXPECT_TRUE(device->shutdown());
  std::lock_guard<std::mutex> guard(lock);
  ASSERT_FALSE(cookie_writes.empty());
  EXPECT_EQ((std::vector<Byte>{0, 0}), cookie_writes.back());
}

}  // namespace
}  // namespace rodiz
