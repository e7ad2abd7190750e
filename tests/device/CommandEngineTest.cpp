#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device/Device.h"
#include "device/LastError.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"
#include "support/FakeChannel.h"
#include "support/FrapScript.h"

namespace rodiz {
namespace {

using test::answer;
using test::FakeChannel;
using Reply = FakeChannel::Reply;

// A device on a fake channel with a fake clock: sleeps are recorded, not slept,
// and "random" is a fixed value, so retry schedules are exact and fast.
class CommandEngineTest : public testing::Test {
 protected:
  void make(int bus_type = 0, std::shared_ptr<IDeviceManager> manager = nullptr) {
    channel_ = std::make_shared<FakeChannel>(0xC087, bus_type);
    device_ = std::make_shared<Device>(manager, channel_);
    device_->initDevice(manager);
    Device::Clock clock = Device::system_clock();
    clock.sleep_ms = [this](unsigned ms) {
      std::lock_guard<std::mutex> guard(lock_);
      sleeps_.push_back(ms);
    };
    clock.random = [] { return 1007; };  // ping data 16 + 1007 % 240 = 63; jitter 7
    device_->set_clock(clock);
    device_->set_timeout_ms(25);
  }

  // Loads the root feature so that the device counts as feature based.
  void make_feature_based(int bus_type = 0, std::shared_ptr<IDeviceManager> manager = nullptr) {
    make(bus_type, manager);
    channel_->set_script(test::root_only_script());
    ASSERT_TRUE(device_->load_feature_root(false));
    ASSERT_TRUE(device_->feature_based());
  }

  std::vector<unsigned> sleeps() {
    std::lock_guard<std::mutex> guard(lock_);
    return sleeps_;
  }

  // A request of feature `index`, function `function`, with our swid.
  std::vector<Byte> request(Byte index, int function, std::vector<Byte> params = {}) {
    std::vector<Byte> r{0x10, 0xFF, index, static_cast<Byte>((function << 4) | device_->swid())};
    r.insert(r.end(), params.begin(), params.end());
    r.resize(7, 0);
    return r;
  }

  std::shared_ptr<FakeChannel> channel_;
  std::shared_ptr<Device> device_;
  std::mutex lock_;
  std::vector<unsigned> sleeps_;
};

TEST_F(CommandEngineTest, ResponseIsMatchedByHeaderAndListedPayloadPositions) {
  make_feature_based();
  const std::vector<Byte> command = request(0x05, 2, {0xAA, 0xBB, 0xCC});
  auto root = test::root_only_script();
  channel_->set_script([root](const std::vector<Byte>& w) -> std::vector<Reply> {
    if (w[2] == 0x00) return root(w);
    // Wrong byte at position 1, then an answer for another feature, then the real one.
    return {{answer(w, {0xAA, 0x00, 0x01}), 0},
            {answer({0x10, 0xFF, 0x06, w[3]}, {0xAA, 0xBB}), 0},
            {answer(w, {0xAA, 0xBB, 0x02}), 0}};
  });
  std::vector<Byte> response;
  const std::size_t before = channel_->write_count();
  ASSERT_TRUE(device_->sendSynchronousCommand(command, response, 0, {0, 1}));
  EXPECT_EQ(0x02, response[6]);
  EXPECT_EQ(before + 1, channel_->write_count());
}

TEST_F(CommandEngineTest, MismatchingPayloadAloneTimesOut) {
  make_feature_based();
  device_->set_max_retries(0);
  auto root = test::root_only_script();
  channel_->set_script([root](const std::vector<Byte>& w) -> std::vector<Reply> {
    if (w[2] == 0x00) return root(w);
    return {{answer(w, {0x01}), 0}};
  });
  std::vector<Byte> response;
  EXPECT_FALSE(device_->sendSynchronousCommand(request(0x05, 2, {0x02}), response, 0, {0}));
  EXPECT_EQ(NoResponse, last_error_code());
}

TEST_F(CommandEngineTest, ErrorResponsesBecomeCodesWithTheRawByte) {
  make();
  struct Case {
    bool frap10;
    Byte error;
    Byte index;
    ErrorCode expected;
  };
  const Case cases[] = {
      {true, 3, 0xFF, Frp10Error3},  {true, 12, 0xFF, Frp10Error12}, {true, 13, 0xFF, Frp10ErrorOther},
      {true, 2, 0x00, Frp10Error2},  // a FRAP 1.0 error with index 0 answers a request to 0xFF
      {false, 2, 0xFF, Frp20Error2}, {false, 9, 0xFF, Frp20Error9},  {false, 10, 0xFF, Frp20ErrorOther},
  };
  for (const Case& c : cases) {
    channel_->set_script([c](const std::vector<Byte>& w) -> std::vector<Reply> {
      return {{c.frap10 ? test::frap10_error(w, c.error, c.index) : test::frap20_error(w, c.error), 0}};
    });
    const std::size_t before = channel_->write_count();
    std::vector<Byte> response;
    EXPECT_FALSE(device_->sendSynchronousCommand(request(0x03, 1), response, 0, {}));
    EXPECT_EQ(c.expected, last_error().code) << int(c.error);
    EXPECT_EQ(c.error, last_error().system);
    EXPECT_EQ(before + 1, channel_->write_count()) << "hard errors are not retried";
  }
}

TEST_F(CommandEngineTest, SoftErrorIsRetriedAfterAPing) {
  make_feature_based();
  std::atomic<int> commands{0};
  auto root = test::root_only_script();
  channel_->set_script([&](const std::vector<Byte>& w) -> std::vector<Reply> {
    if (w[2] == 0x00) return root(w);
    // Busy (FRAP 2.0 error 8) once, then the answer.
    if (commands++ == 0) return {{test::frap20_error(w, 8), 0}};
    return {{answer(w, {0x42}), 0}};
  });
  const std::size_t before = channel_->write_count();
  std::vector<Byte> response;
  ASSERT_TRUE(device_->sendSynchronousCommand(request(0x04, 0), response, 0, {}));
  EXPECT_EQ(0x42, response[4]);
  const auto written = channel_->written();
  ASSERT_EQ(before + 3, written.size());
  EXPECT_TRUE(test::is_ping(written[before + 1]));
  EXPECT_EQ(63, written[before + 1][6]);  // rand(16, 255) with the fixed generator
  EXPECT_EQ(std::vector<unsigned>{7 + (10u << 1)}, sleeps());
}

TEST_F(CommandEngineTest, SilentCorderDeviceGetsTenPingsWithGrowingBackOff) {
  make_feature_based(0);
  auto root = test::root_only_script({}, /*answer_pings=*/false);
  channel_->set_script([root](const std::vector<Byte>& w) -> std::vector<Reply> {
    if (w[2] == 0x00 && w[6] == 0) return root(w);
    return {};
  });
  const std::size_t before = channel_->write_count();
  std::vector<Byte> response;
  EXPECT_FALSE(device_->sendSynchronousCommand(request(0x04, 0), response, 0, {}));
  EXPECT_EQ(NoResponse, last_error_code());
  const auto written = channel_->written();
  ASSERT_EQ(before + 11, written.size());
  EXPECT_FALSE(test::is_ping(written[before]));
  for (std::size_t i = before + 1; i < written.size(); ++i) EXPECT_TRUE(test::is_ping(written[i]));
  std::vector<unsigned> expected;
  for (int i = 1; i <= 10; ++i) expected.push_back(7u + (10u << i));
  EXPECT_EQ(expected, sleeps());
  EXPECT_FALSE(device_->quarantined());
}

TEST_F(CommandEngineTest, SilentDeviceBehindReceiverIsQuarantinedUntilItConnects) {
  make_feature_based(1);
  auto root = test::root_only_script();
  channel_->set_script([root](const std::vector<Byte>& w) -> std::vector<Reply> {
    if (w[2] == 0x00 && w[6] == 0) return root(w);
    return {};
  });
  const std::size_t before = channel_->write_count();
  std::vector<Byte> response;
  EXPECT_FALSE(device_->sendSynchronousCommand(request(0x04, 0), response, 0, {}));
  EXPECT_EQ(NotConnected, last_error_code());
  EXPECT_TRUE(device_->quarantined());
  EXPECT_EQ(before + 5, channel_->write_count());  // the command and four pings

  EXPECT_FALSE(device_->sendSynchronousCommand(request(0x04, 0), response, 0, {}));
  EXPECT_EQ(NotConnected, last_error_code());
  EXPECT_EQ(before + 5, channel_->write_count());  // no traffic while quarantined

  device_->onConnect(channel_);
  EXPECT_FALSE(device_->quarantined());
}

TEST_F(CommandEngineTest, DeviceThatIsNotFeatureBasedGetsTheCommandElevenTimes) {
  make();
  std::vector<Byte> response;
  EXPECT_FALSE(device_->sendSynchronousCommand(request(0x04, 0), response, 0, {}));
  EXPECT_EQ(NoResponse, last_error_code());
  EXPECT_EQ(11u, channel_->write_count());
  for (const auto& w : channel_->written()) EXPECT_FALSE(test::is_ping(w));
  EXPECT_TRUE(sleeps().empty());
}

TEST_F(CommandEngineTest, WriteGeneralFailureIsASoftError) {
  make();
  channel_->set_script([](const std::vector<Byte>& w) -> std::vector<Reply> { return {{answer(w, {0x01}), 0}}; });
  channel_->fail_writes(WriteGenFailure, 31, 2);
  std::vector<Byte> response;
  const std::vector<Byte> register_read{0x10, 0xFF, 0x81, 0x02, 0x00, 0x00, 0x00};
  EXPECT_TRUE(device_->sendSynchronousCommand(register_read, response, 0, {}));
  EXPECT_EQ(1u, channel_->write_count());  // the two failed writes never reached the device
}

TEST_F(CommandEngineTest, CollisionOnOurSwidSwitchesToTheLeastRecentlySeenOne) {
  make_feature_based();
  ASSERT_EQ(15, device_->swid());
  // Other programs answered with swids 12 and 13; then one answers with ours.
  channel_->inject({0x11, 0xFF, 0x03, 0x2C, 0, 0, 0});
  channel_->inject({0x11, 0xFF, 0x03, 0x2D, 0, 0, 0});
  channel_->inject({0x11, 0xFF, 0x03, 0x2F, 0, 0, 0});
  channel_->flush();
  auto root = test::root_only_script();
  channel_->set_script([root](const std::vector<Byte>& w) -> std::vector<Reply> {
    if (w[2] == 0x00) return root(w);
    return {{answer(w, {0x01}), 0}};
  });
  const std::size_t before = channel_->write_count();
  std::vector<Byte> response;
  ASSERT_TRUE(device_->sendSynchronousCommand(request(0x04, 0), response, 0, {}));
  const auto written = channel_->written();
  ASSERT_EQ(before + 2, written.size());
  EXPECT_TRUE(test::is_ping(written[before]));
  EXPECT_EQ(14, written[before][3] & 0x0F);  // highest swid never seen from others
  EXPECT_EQ(14, written[before + 1][3] & 0x0F);
  EXPECT_EQ(14, device_->swid());
}

TEST_F(CommandEngineTest, CacheableAnswerComesFromMemoryWithTheCurrentSwid) {
  make_feature_based();
  auto root = test::root_only_script();
  channel_->set_script([root](const std::vector<Byte>& w) -> std::vector<Reply> {
    if (w[2] == 0x00) return root(w);
    return {{answer(w, {0x07, 0x08}), 0}};
  });
  std::vector<Byte> response;
  ASSERT_TRUE(device_->sendSynchronousCommand(request(0x02, 0, {0x01}), response, 1, {}));
  const std::size_t after_first = channel_->write_count();

  // Move to another swid: a collision makes the next uncached command ping first.
  channel_->inject({0x11, 0xFF, 0x03, 0x2F, 0, 0, 0});
  channel_->flush();
  ASSERT_TRUE(device_->sendSynchronousCommand(request(0x04, 0), response, 0, {}));
  const int new_swid = device_->swid();
  ASSERT_NE(15, new_swid);
  const std::size_t before_cached = channel_->write_count();

  ASSERT_TRUE(device_->sendSynchronousCommand(request(0x02, 0, {0x01}), response, 1, {}));
  EXPECT_EQ(before_cached, channel_->write_count());
  EXPECT_EQ(new_swid, response[3] & 0x0F);
  EXPECT_EQ(0x07, response[4]);
  EXPECT_GT(after_first, 0u);
}

TEST_F(CommandEngineTest, FrapOneRequestsAreNeverCached) {
  make();
  channel_->set_script([](const std::vector<Byte>& w) -> std::vector<Reply> { return {{answer(w, {0x01}), 0}}; });
  const std::vector<Byte> register_read{0x10, 0xFF, 0x81, 0x02, 0x00, 0x00, 0x00};
  std::vector<Byte> response;
  ASSERT_TRUE(device_->sendSynchronousCommand(register_read, response, 1, {}));
  ASSERT_TRUE(device_->sendSynchronousCommand(register_read, response, 1, {}));
  EXPECT_EQ(2u, channel_->write_count());
  EXPECT_EQ(0u, device_->sync_cache_size());
}

TEST_F(CommandEngineTest, LateAnswerToThePreviousRequestActivatesTheBrbWorkaround) {
  auto manager = facade().getimpl();  // configuration item 7 (default on) enables it
  make_feature_based(1, manager);
  const std::vector<Byte> first = request(0x04, 1, {0x01});
  const std::vector<Byte> second = request(0x04, 1, {0x02});
  std::vector<Byte> response;
  EXPECT_FALSE(device_->sendSynchronousCommandWithoutRetry(first, response, {0}, true));
  EXPECT_EQ(NoResponse, last_error_code());

  // The receiver now delivers the answer to the first request.
  channel_->set_script([](const std::vector<Byte>& w) -> std::vector<Reply> { return {{answer(w, {0x01}), 0}}; });
  EXPECT_FALSE(device_->sendSynchronousCommandWithoutRetry(second, response, {0}, true));
  EXPECT_EQ(NoResponse, last_error_code());  // a quick retry, not a real timeout
  EXPECT_TRUE(device_->brb_active());

  channel_->set_script([](const std::vector<Byte>& w) -> std::vector<Reply> {
    if ((w[3] >> 4) == 1 && w[2] == 0x00) return {};  // the flush request goes unanswered here
    return {{answer(w, {w[4]}), 0}};
  });
  const std::size_t before = channel_->write_count();
  EXPECT_TRUE(device_->sendSynchronousCommandWithoutRetry(second, response, {0}, true));
  const auto written = channel_->written();
  ASSERT_EQ(before + 2, written.size());
  // A short report of zeros asking the root for its protocol (the channel set the report id).
  EXPECT_EQ((std::vector<Byte>{0x10, 0, 0, static_cast<Byte>(0x10 | device_->swid()), 0, 0, 0}), written[before + 1]);

  device_->onDisconnect(channel_);
  device_->onConnect(channel_);  // every (re)connect ends the workaround
  EXPECT_FALSE(device_->brb_active());
  device_.reset();
  facade().reset();
}

TEST_F(CommandEngineTest, AbandonEndsAPendingExchangeAndLaterSends) {
  make();
  device_->set_timeout_ms(10000);
  std::thread abandoner([this] {
    while (channel_->write_count() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    device_->abandon();
  });
  const auto started = std::chrono::steady_clock::now();
  std::vector<Byte> response;
  EXPECT_FALSE(device_->sendSynchronousCommand(request(0x04, 0), response, 0, {}));
  abandoner.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_FALSE(device_->sendCommand(request(0x04, 0), false));
  EXPECT_EQ(Abandoned, last_error_code());
}

TEST_F(CommandEngineTest, TimeoutOnADeadChannelIsNotConnected) {
  make();
  device_->set_max_retries(0);
  channel_->set_alive_after_timeout(false);
  std::vector<Byte> response;
  EXPECT_FALSE(device_->sendSynchronousCommand(request(0x04, 0), response, 0, {}));
  EXPECT_EQ(NotConnected, last_error_code());
}

TEST_F(CommandEngineTest, FailedExchangesAreReportedAsWriteReportsWhileActive) {
  class Listener : public Subscriber<IDevice::WriteReport> {
   public:
    void onWriteReport(const std::vector<Byte>& report, ErrorCode result, unsigned int) override {
      std::lock_guard<std::mutex> guard(lock);
      outcomes.emplace_back(report.empty(), result);
    }
    std::mutex lock;
    std::vector<std::pair<bool, ErrorCode>> outcomes;
  };
  make();
  device_->set_max_retries(0);
  Listener listener;
  ASSERT_TRUE(listener.subscribe(device_, DeliveryImmediate));
  std::vector<Byte> response;
  EXPECT_FALSE(device_->sendSynchronousCommand(request(0x04, 0), response, 0, {}));
  std::lock_guard<std::mutex> guard(listener.lock);
  ASSERT_EQ(2u, listener.outcomes.size());
  EXPECT_EQ(std::make_pair(false, NoError), listener.outcomes[0]);    // the channel's write
  EXPECT_EQ(std::make_pair(true, NoResponse), listener.outcomes[1]);  // the failed exchange
}

// A channel whose connection check enumerates devices, as a real one does,
// and leaves an error of its own behind even when the device is there.
class EnumeratingChannel : public FakeChannel {
 public:
  using FakeChannel::FakeChannel;
  bool verify_connection_following_timeout() override {
    set_last_error(SystemCallFailed, 5, "enumeration");
    return true;
  }
};

TEST_F(CommandEngineTest, FailedWriteKeepsItsOwnReasonAcrossTheConnectionCheck) {
  auto channel = std::make_shared<EnumeratingChannel>();
  auto device = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel);
  device->initDevice(nullptr);
  device->set_timeout_ms(25);
  channel->set_script([](const std::vector<Byte>& w) -> std::vector<Reply> { return {{answer(w, {0x01}), 0}}; });
  // A general write failure is soft: it must be retried, not turned into the
  // check's error and given up.
  channel->fail_writes(WriteGenFailure, 31, 1);
  std::vector<Byte> response;
  const std::vector<Byte> register_read{0x10, 0xFF, 0x81, 0x02, 0x00, 0x00, 0x00};
  EXPECT_TRUE(device->sendSynchronousCommand(register_read, response, 0, {}));

  channel->fail_writes(WriteGenFailure, 31, 1);
  EXPECT_FALSE(device->sendSynchronousCommandWithoutRetry(register_read, response, {}, true));
  EXPECT_EQ(WriteGenFailure, last_error().code);
  EXPECT_EQ(31u, last_error().system);
}

TEST_F(CommandEngineTest, PingGoesToTheDeviceIndexOfTheCommand) {
  make_feature_based();
  auto root = test::root_only_script();
  std::atomic<int> commands{0};
  // Busy once, so that a ping precedes the second try.
  channel_->set_script([root, &commands](const std::vector<Byte>& w) -> std::vector<Reply> {
    if (test::is_ping(w)) return root(w);
    if (commands++ == 0) return {{test::frap20_error(w, 8), 0}};
    return {{answer(w, {0x42}), 0}};
  });
  const std::size_t before = channel_->write_count();
  // Index 0 is the other index a device answers under.
  std::vector<Byte> command = request(0x04, 0);
  command[1] = 0x00;
  std::vector<Byte> response;
  ASSERT_TRUE(device_->sendSynchronousCommand(command, response, 0, {}));
  std::vector<Byte> ping;
  const auto written = channel_->written();
  for (std::size_t i = before; i < written.size(); ++i) {
    if (test::is_ping(written[i])) ping = written[i];
  }
  ASSERT_FALSE(ping.empty());
  EXPECT_EQ(0x00, ping[1]);
}

}  // namespace
}  // namespace rodiz
