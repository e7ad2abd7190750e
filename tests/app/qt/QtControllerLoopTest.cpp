#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <thread>
#include <vector>

#include "app/qt/QtControllerLoop.h"

namespace mirel {
namespace {

// What reached the controller, in order: messages as their number, timer
// expiries as 1000 + the timer's id.
class LoopRecorder {
 public:
  LoopRecorder()
      : loop([this](unsigned message, std::uintptr_t wparam) { seen.push_back(message * 100 + wparam); },
             [this](unsigned id) { seen.push_back(1000 + id); }) {}
  // Runs Qt's loop until `count` deliveries have come or two seconds passed.
  bool wait_for(std::size_t count) {
    QElapsedTimer clock;
    clock.start();
    while (seen.size() < count && clock.elapsed() < 2000) QTest::qWait(1);
    return seen.size() >= count;
  }
  std::vector<std::uintptr_t> seen;
  QtControllerLoop loop;
};

TEST(QtControllerLoopTest, MessagesFromOtherThreadsArriveOnTheLoopInOrder) {
  LoopRecorder recorder;
  std::thread poster([&] {
    for (unsigned i = 1; i <= 50; ++i) recorder.loop.post(i, 0);
  });
  poster.join();
  // Nothing runs on the posting thread.
  EXPECT_TRUE(recorder.seen.empty());
  ASSERT_TRUE(recorder.wait_for(50));
  for (unsigned i = 0; i < 50; ++i) EXPECT_EQ((i + 1) * 100, recorder.seen[i]);
}

TEST(QtControllerLoopTest, ATimerRepeatsUntilKilledAndARestartReplacesIt) {
  LoopRecorder recorder;
  recorder.loop.set_timer(7, 5);
  recorder.loop.set_timer(7, 5);  // the same timer, started again: still one
  ASSERT_TRUE(recorder.wait_for(3));
  recorder.loop.kill_timer(7);
  EXPECT_FALSE(recorder.loop.timer_running(7));
  const std::size_t fired = recorder.seen.size();
  QTest::qWait(30);
  EXPECT_EQ(fired, recorder.seen.size());
  for (std::uintptr_t delivery : recorder.seen) EXPECT_EQ(1007u, delivery);
}

TEST(QtControllerLoopTest, TimeScaleShortensPeriods) {
  LoopRecorder recorder;
  QtControllerLoop fast([](unsigned, std::uintptr_t) {}, [&](unsigned id) { recorder.seen.push_back(id); }, 1000);
  fast.set_timer(3, 10000);  // 10 ms
  ASSERT_TRUE(recorder.wait_for(1));
  fast.kill_timer(3);
}

TEST(QtControllerLoopTest, DeliveriesWaitWhileHeldAndComeInOrderAfterTheRelease) {
  LoopRecorder recorder;
  recorder.loop.hold();
  recorder.loop.post(1, 1);
  recorder.loop.post(2, 2);
  QTest::qWait(10);
  recorder.loop.set_timer(9, 2);
  // Long enough for the timer to fire several times: it is held once.
  QTest::qWait(30);
  recorder.loop.post(3, 3);
  QTest::qWait(5);
  EXPECT_TRUE(recorder.seen.empty());
  recorder.loop.hold();
  recorder.loop.release();  // still held once
  QTest::qWait(5);
  EXPECT_TRUE(recorder.seen.empty());
  recorder.loop.release();
  // Released from the loop, not from inside release().
  EXPECT_TRUE(recorder.seen.empty());
  ASSERT_TRUE(recorder.wait_for(4));
  recorder.loop.kill_timer(9);
  EXPECT_EQ((std::vector<std::uintptr_t>{101, 202, 1009, 303}),
            std::vector<std::uintptr_t>(recorder.seen.begin(), recorder.seen.begin() + 4));
}

TEST(QtControllerLoopTest, AnExpiryOfAKilledTimerIsNotDelivered) {
  LoopRecorder recorder;
  recorder.loop.hold();
  recorder.loop.set_timer(4, 1);
  QTest::qWait(10);
  recorder.loop.kill_timer(4);
  recorder.loop.post(5, 0);
  recorder.loop.release();
  ASSERT_TRUE(recorder.wait_for(1));
  QTest::qWait(5);
  EXPECT_EQ((std::vector<std::uintptr_t>{500}), recorder.seen);
}

}  // namespace
}  // namespace mirel
