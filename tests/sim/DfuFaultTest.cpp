#include <gtest/gtest.h>

#include "device/LastError.h"
#include "features/IFeature0003FirmwareInfo.h"
#include "features/IFeature00c2DFUControl.h"
#include "features/IFeature00d0DFU.h"
#include "sim/SimHarness.h"

namespace rodiz {
namespace {

using test::slice;

// Each fault of the simulated bootloader against the library's transfer
// feature: the library must either get through (retries) or fail cleanly.
class DfuFaultTest : public testing::Test {
 protected:
  void start(const sim::SimFaults& faults, int timeout_ms = 150) {
    auto config = test::SimHarness::fast_config();
    config.start_in_bootloader = true;
    sim_ = std::make_unique<test::SimHarness>(config);
    sim_->mouse->set_faults(faults);
    device_ = sim_->make_device(timeout_ms);
    ASSERT_TRUE(device_);
    dfu_ = device_->feature<IFeature00d0DFU>();
    ASSERT_TRUE(dfu_);
    ASSERT_TRUE(events_.subscribe(dfu_, DeliveryImmediate));
  }
  void TearDown() override {
    events_.unsubscribe(dfu_);
    dfu_.reset();
    device_.reset();
    sim_.reset();
  }

  // Streams image `which` (0 or 1); returns the last status, or -1 when no
  // event came, -3 when a send failed.
  int stream(int which) {
    const std::vector<Byte> image = test::small_images()[static_cast<std::size_t>(which)].bytes;
    int status = -1;
    if (!dfu_->DFUStart(slice(image, 0), &status, nullptr)) return -3;
    if (status > 3) return status;
    std::size_t offset = 16;
    for (;;) {
      std::uint32_t packet = 0;
      std::vector<Byte> data;
      if (!events_.next(&packet, &data, std::chrono::milliseconds(1500))) return -1;
      ++events_seen_;
      if (data[4] != 1) return data[4];
      if (offset + 16 > image.size()) return -2;
      if (!dfu_->DFUSendPacket(packet, slice(image, offset))) return -3;
      offset += 16;
    }
  }

  std::unique_ptr<test::SimHarness> sim_;
  std::shared_ptr<Device> device_;
  std::shared_ptr<IFeature00d0DFU> dfu_;
  test::DfuEvents events_;
  int events_seen_ = 0;
};

TEST_F(DfuFaultTest, LostAnswerIsRecoveredByTheRetryWithoutStoringTwice) {
  sim::SimFaults faults;
  faults.drop_response_to_packet = 2;
  start(faults);
  EXPECT_EQ(2, stream(0));
  EXPECT_TRUE(sim_->mouse->image_verified(1));
}

TEST_F(DfuFaultTest, LateAnswersWithinAndBeyondTheTimeout) {
  sim::SimFaults faults;
  faults.late_packet = 1;
  faults.late_by = std::chrono::milliseconds(30);
  start(faults);
  EXPECT_EQ(2, stream(0));
  EXPECT_TRUE(sim_->mouse->image_verified(1));

  faults.late_packet = 2;
  faults.late_by = std::chrono::milliseconds(250);  // beyond the 150 ms wait: retried meanwhile
  sim_->mouse->set_faults(faults);
  EXPECT_EQ(2, stream(1));
  EXPECT_TRUE(sim_->mouse->image_verified(2));
}

TEST_F(DfuFaultTest, BusyErrorResponseIsRetried) {
  sim::SimFaults faults;
  faults.error_response_to_packet = 1;  // error 8: busy, a soft error
  start(faults);
  EXPECT_EQ(2, stream(0));
}

TEST_F(DfuFaultTest, HardErrorResponseFailsTheSend) {
  sim::SimFaults faults;
  faults.error_response_to_packet = 1;
  faults.error_byte = 5;
  start(faults);
  EXPECT_EQ(-3, stream(0));
  EXPECT_EQ(Frp20Error5, last_error_code());
}

TEST_F(DfuFaultTest, ErrorStatusReachesTheCaller) {
  sim::SimFaults faults;
  faults.bad_status_packet = 2;
  faults.bad_status = 0;
  start(faults);
  EXPECT_EQ(0, stream(0));
  faults.bad_status_packet = 0;
  faults.bad_status = 4;
  sim_->mouse->set_faults(faults);
  EXPECT_EQ(4, stream(0));  // the start record itself reported an error
}

TEST_F(DfuFaultTest, UnsolicitedStatusNotificationArrivesAsAnExtraEvent) {
  sim::SimFaults faults;
  faults.unsolicited_status_after_packet = 1;
  start(faults);
  // The extra event makes a naive sender send a packet twice; the bootloader
  // then sees a packet out of sequence and says so.
  EXPECT_NE(2, stream(0));
  EXPECT_FALSE(sim_->mouse->image_verified(1));
}

TEST_F(DfuFaultTest, MouseThatVanishesMidImageComesBackAndCanStartOver) {
  sim::SimFaults faults;
  faults.disappear_at_packet = 2;
  faults.reappear_after_ms = 20;
  start(faults);
  device_->set_max_retries(1);
  EXPECT_EQ(-3, stream(0));
  const ErrorCode code = last_error_code();
  EXPECT_TRUE(code == NotConnected || code == NoResponse || code == WriteError) << code;

  sim_->mouse->wait_idle(std::chrono::milliseconds(100));
  events_.unsubscribe(dfu_);
  device_ = sim_->make_device(150);
  ASSERT_TRUE(device_);
  dfu_ = device_->feature<IFeature00d0DFU>();
  ASSERT_TRUE(dfu_);
  ASSERT_TRUE(events_.subscribe(dfu_, DeliveryImmediate));
  EXPECT_EQ(2, stream(0));
  EXPECT_EQ(2, stream(1));
}

TEST_F(DfuFaultTest, MouseThatStaysAwayAfterRestartNeedsAPowerCycle) {
  sim::SimFaults faults;
  faults.stay_away_after_restart = true;
  start(faults);
  ASSERT_EQ(2, stream(0));
  ASSERT_EQ(2, stream(1));
  EXPECT_TRUE(dfu_->DFURestart(0));
  sim_->mouse->wait_idle(std::chrono::milliseconds(100));
  EXPECT_EQ(sim::SimMouse::Mode::Absent, sim_->mouse->mode());
  sim_->mouse->power_cycle();
  EXPECT_EQ(sim::SimMouse::Mode::Application, sim_->mouse->mode());
  EXPECT_EQ(7, sim_->mouse->version().build);
}

TEST_F(DfuFaultTest, AnswersForAnotherProgramAndSilenceEndInNoResponse) {
  start(sim::SimFaults());
  sim::SimFaults faults;
  faults.foreign_swid = true;
  sim_->mouse->set_faults(faults);
  device_->set_max_retries(1);
  int status = 0;
  EXPECT_FALSE(dfu_->DFUStart(slice(test::small_images()[0].bytes, 0), &status, nullptr));
  EXPECT_EQ(NoResponse, last_error_code());

  faults = sim::SimFaults();
  faults.silent = true;
  sim_->mouse->set_faults(faults);
  EXPECT_FALSE(dfu_->DFURestart(0));
  EXPECT_EQ(NoResponse, last_error_code());
}

}  // namespace
}  // namespace rodiz
