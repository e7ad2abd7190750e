#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "runtime/Subscriber.h"
#include "sim/SimBus.h"
#include "sim/SimMouse.h"
#include "transport/IHardwareDevice.h"

namespace rodiz::sim {
namespace {

using Clock = SimScheduler::Clock;
using std::chrono::microseconds;
using std::chrono::nanoseconds;

// Arrival times of the reports a channel reads.
class Arrivals : public Subscriber<IHardwareDevice::Read> {
 public:
  ~Arrivals() override { leave_all(); }
  void onRead(std::vector<Byte>, bool, unsigned, unsigned) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      times_.push_back(Clock::now());
    }
    wake_.notify_all();
  }
  bool wait_for(std::size_t count, std::vector<Clock::time_point>* times) {
    std::unique_lock<std::mutex> guard(lock_);
    const bool came = wake_.wait_for(guard, std::chrono::seconds(5), [&] { return times_.size() >= count; });
    *times = times_;
    return came;
  }

 private:
  std::mutex lock_;
  std::condition_variable wake_;
  std::vector<Clock::time_point> times_;
};

// The mouse on its long collection alone, answering under the timing model.
struct FrameRig {
  explicit FrameRig(microseconds frame) {
    SimMouseConfig config;
    config.latency = microseconds(0);
    config.frame_interval = frame;
    mouse = std::make_shared<SimMouse>(config);
    bus = std::make_shared<SimBus>();
    bus->add(mouse);
    for (const auto& device : bus->devices()) {
      if (device->report_length() == 20) channel = device;
    }
    channel->open();
    arrivals.subscribe(channel, DeliveryImmediate);
  }
  ~FrameRig() {
    arrivals.unsubscribe(channel);
    bus->remove(mouse);
    bus->wait_idle();
  }
  std::shared_ptr<SimMouse> mouse;
  std::shared_ptr<SimBus> bus;
  std::shared_ptr<IHardwareDevice> channel;
  Arrivals arrivals;
};

TEST(UsbFrameTest, BoundariesAreFramesApartFromTheMousesEpoch) {
  SimMouseConfig config;
  config.frame_interval = microseconds(1000);
  SimMouse mouse(config);
  const Clock::time_point b = mouse.frame_boundary(Clock::now(), true);
  const nanoseconds frame = microseconds(1000);
  struct Case {
    nanoseconds offset;
    bool strictly;
    nanoseconds expected;
  };
  const Case cases[] = {
      {nanoseconds(0), false, nanoseconds(0)},
      {nanoseconds(0), true, frame},
      {nanoseconds(1), false, frame},
      {nanoseconds(1), true, frame},
      {frame - nanoseconds(1), true, frame},
      {-nanoseconds(1), true, nanoseconds(0)},
      {frame * 3 + nanoseconds(5), false, frame * 4},
      {frame * 3, true, frame * 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(b + c.expected, mouse.frame_boundary(b + c.offset, c.strictly))
        << c.offset.count() << " ns, strictly " << c.strictly;
  }
  mouse.set_frame_interval(microseconds(0));
  EXPECT_EQ(b + nanoseconds(7), mouse.frame_boundary(b + nanoseconds(7), true));
}

// However fast the host writes, an answer never comes before the start of
// the frame after its request.
TEST(UsbFrameTest, AnswersWaitForTheNextFrame) {
  const microseconds frame(20000);
  FrameRig rig(frame);
  const std::vector<Byte> ping{0x11, 0xFF, 0x00, 0x1A, 0, 0, 0x5A};
  const Clock::time_point before = Clock::now();
  ASSERT_TRUE(rig.channel->write(ping, true));
  ASSERT_TRUE(rig.channel->write(ping, true));
  std::vector<Clock::time_point> times;
  ASSERT_TRUE(rig.arrivals.wait_for(2, &times));
  const Clock::time_point earliest = rig.mouse->frame_boundary(before, true);
  for (const Clock::time_point t : times) EXPECT_GE(t, earliest);

  // Switched off, the same mouse answers after its latency again.
  rig.mouse->set_frame_interval(microseconds(0));
  ASSERT_TRUE(rig.channel->write(ping, true));
  EXPECT_TRUE(rig.arrivals.wait_for(3, &times));
}

}  // namespace
}  // namespace rodiz::sim
