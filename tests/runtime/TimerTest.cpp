#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/Subscriber.h"
#include "runtime/Timer.h"

namespace rodiz {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Records expiries (immediate delivery, on the timer's thread).
class Expiries : public Subscriber<ITimer::TimerEvent> {
 public:
  ~Expiries() override { leave_all(); }
  void onTimerEvent(int id) override {
    std::lock_guard<std::mutex> guard(lock_);
    ids_.push_back(id);
    times_.push_back(Clock::now());
    wake_.notify_all();
  }
  // Waits for the n-th expiry for at most `limit`.
  bool wait_for(std::size_t n, milliseconds limit = milliseconds(2000)) {
    std::unique_lock<std::mutex> guard(lock_);
    return wake_.wait_for(guard, limit, [&] { return ids_.size() >= n; });
  }
  std::size_t count() {
    std::lock_guard<std::mutex> guard(lock_);
    return ids_.size();
  }
  Clock::time_point time(std::size_t i) {
    std::lock_guard<std::mutex> guard(lock_);
    return times_.at(i);
  }
  int id(std::size_t i) {
    std::lock_guard<std::mutex> guard(lock_);
    return ids_.at(i);
  }

 private:
  std::mutex lock_;
  std::condition_variable wake_;
  std::vector<int> ids_;
  std::vector<Clock::time_point> times_;
};

class TimerTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(expiries_.subscribe(timer_, DeliveryImmediate)); }
  std::shared_ptr<Timer> timer_ = std::make_shared<Timer>(42);
  Expiries expiries_;
};

// Timing checks are one-sided where the machine may be slow: never early,
// and within a generous bound.
TEST_F(TimerTest, ExpiresOnceAfterItsPeriodWithItsId) {
  const auto started = Clock::now();
  timer_->start(120);
  ASSERT_TRUE(expiries_.wait_for(1));
  EXPECT_GE(expiries_.time(0) - started, milliseconds(118));
  EXPECT_EQ(42, expiries_.id(0));
  std::this_thread::sleep_for(milliseconds(150));
  EXPECT_EQ(1u, expiries_.count());
}

TEST_F(TimerTest, OddPeriodExpiresAMillisecondEarlyAndTinyPeriodsAtOnce) {
  const auto started = Clock::now();
  timer_->start(101);  // two halves of 50 ms
  ASSERT_TRUE(expiries_.wait_for(1));
  EXPECT_GE(expiries_.time(0) - started, milliseconds(100));
  for (int ms : {1, 0, -5}) {
    // Counted before start: a tiny period can expire before start() returns.
    const std::size_t before = expiries_.count();
    const auto again = Clock::now();
    timer_->start(ms);
    ASSERT_TRUE(expiries_.wait_for(before + 1, milliseconds(1000)));
    EXPECT_LT(expiries_.time(before) - again, milliseconds(500));
  }
}

TEST_F(TimerTest, StopAndDestructionCancelWithoutAnEvent) {
  timer_->start(5000);
  std::this_thread::sleep_for(milliseconds(20));
  const auto stopping = Clock::now();
  EXPECT_TRUE(timer_->stop());
  EXPECT_LT(Clock::now() - stopping, milliseconds(1000));
  EXPECT_TRUE(timer_->stop());  // stopping an idle timer is harmless

  auto doomed = std::make_shared<Timer>(7);
  Expiries other;
  ASSERT_TRUE(other.subscribe(doomed, DeliveryImmediate));
  doomed->start(50);
  doomed.reset();
  std::this_thread::sleep_for(milliseconds(120));
  EXPECT_EQ(0u, other.count());
  EXPECT_EQ(0u, expiries_.count());
}

TEST_F(TimerTest, TriggerKeepsAFirstHalfRunAndRestartsASecondHalfOne) {
  const auto started = Clock::now();
  ASSERT_TRUE(timer_->start(400));
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_FALSE(timer_->trigger(400));  // first half: the first deadline stands
  ASSERT_TRUE(expiries_.wait_for(1));
  EXPECT_LT(expiries_.time(0) - started, milliseconds(400 + 300));

  const auto restarted = Clock::now();
  ASSERT_TRUE(timer_->start(200));
  std::this_thread::sleep_for(milliseconds(150));  // past the halfway mark
  EXPECT_TRUE(timer_->trigger(200));
  ASSERT_TRUE(expiries_.wait_for(2));
  EXPECT_GE(expiries_.time(1) - restarted, milliseconds(150 + 198));
  EXPECT_EQ(2u, expiries_.count());  // the first run was cancelled, not fired
}

TEST_F(TimerTest, TriggerOnAnIdleOrExpiredTimerStartsIt) {
  EXPECT_TRUE(timer_->trigger(40));
  ASSERT_TRUE(expiries_.wait_for(1));
  EXPECT_TRUE(timer_->trigger(40));  // after expiry
  ASSERT_TRUE(expiries_.wait_for(2));
}

TEST_F(TimerTest, StartOnARunningTimerBeginsANewPeriodWithoutTheOldEvent) {
  timer_->start(300);
  std::this_thread::sleep_for(milliseconds(20));
  const auto restarted = Clock::now();
  timer_->start(100);
  ASSERT_TRUE(expiries_.wait_for(1));
  EXPECT_GE(expiries_.time(0) - restarted, milliseconds(98));
  std::this_thread::sleep_for(milliseconds(350));
  EXPECT_EQ(1u, expiries_.count());
}

}  // namespace
}  // namespace rodiz
