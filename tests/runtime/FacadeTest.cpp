#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "device/LastError.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"
#include "support/RunLoopPump.h"

namespace rodiz {
namespace {

class Counter : public Subscriber<IDeviceManager::RunLoopEvent> {
 public:
  ~Counter() override { leave_all(); }
  void onRunLoopEvent() override { ++notifications; }
  std::atomic<int> notifications{0};
};

TEST(FacadeTest, AfterShutdownEveryCallDegradesWithShuttingDown) {
  CRodiz facade_under_test;
  EXPECT_TRUE(facade_under_test.config_set(5, true));
  EXPECT_TRUE(facade_under_test.getimpl());
  facade_under_test.shutdown();
  clear_last_error();
  EXPECT_TRUE(facade_under_test.devices().empty());
  EXPECT_EQ(ShuttingDown, last_error_code());
  EXPECT_EQ(15, facade_under_test.swid());
  EXPECT_FALSE(facade_under_test.is_active());
  EXPECT_FALSE(facade_under_test.config_set(5, true));
  EXPECT_FALSE(static_cast<std::shared_ptr<IDeviceManager>>(facade_under_test));
  EXPECT_FALSE(facade_under_test.manual_subscribe(nullptr, DeliveryRunLoop));
  facade_under_test.call_event_from_runloop();  // harmless
  facade_under_test.remove_runloop_events(nullptr, nullptr);
}

TEST(FacadeTest, ResetMakesAFreshManagerOnTheNextCall) {
  CRodiz facade_under_test;
  auto first = facade_under_test.getimpl();
  ASSERT_TRUE(first);
  std::weak_ptr<DeviceManager> watch = first;
  first.reset();
  facade_under_test.reset();
  EXPECT_TRUE(watch.expired());
  auto second = facade_under_test.getimpl();
  EXPECT_TRUE(second);
  second.reset();
  facade_under_test.reset();
}

class RunLoopTest : public testing::Test {
 protected:
  void SetUp() override { manager_ = facade().getimpl(); }
  void TearDown() override {
    manager_.reset();
    facade().reset();
  }
  RunLoopEntry entry(std::vector<int>* log, int value, const void* subscriber = nullptr) {
    RunLoopEntry e;
    e.call = [log, value] { log->push_back(value); };
    e.subscriber = subscriber;
    e.producer = &producer_identity_;
    e.name = "Test::Event::entry" + std::to_string(value);
    return e;
  }
  std::shared_ptr<DeviceManager> manager_;
  int producer_identity_ = 0;
};

TEST_F(RunLoopTest, EachCallRunsOneEntryInOrderAndNoNotificationIsLeftOver) {
  Counter counter;
  ASSERT_TRUE(counter.subscribe(manager_, DeliveryImmediate));
  std::vector<int> log;
  for (int i = 1; i <= 3; ++i) manager_->enqueue_event_for_runloop(entry(&log, i));
  EXPECT_EQ(3, counter.notifications);
  EXPECT_EQ(3, manager_->triggers());
  manager_->call_event_from_runloop();
  EXPECT_EQ(std::vector<int>{1}, log);
  EXPECT_EQ(4, counter.notifications);  // one more for the entries still queued
  manager_->call_event_from_runloop();
  manager_->call_event_from_runloop();
  EXPECT_EQ((std::vector<int>{1, 2, 3}), log);
  while (manager_->triggers() > 0) manager_->call_event_from_runloop();
  EXPECT_EQ((std::vector<int>{1, 2, 3}), log);
  EXPECT_EQ(0u, manager_->queued_events());
}

TEST_F(RunLoopTest, LateSubscriberIsToldOfEveryWaitingEntry) {
  std::vector<int> log;
  manager_->enqueue_event_for_runloop(entry(&log, 1));
  manager_->enqueue_event_for_runloop(entry(&log, 2));
  Counter late;
  ASSERT_TRUE(late.subscribe(manager_, DeliveryImmediate));
  EXPECT_EQ(2, late.notifications);
}

TEST_F(RunLoopTest, RemovalDiscardsBySubscriberAndProducerOrEverything) {
  std::vector<int> log;
  int a = 0;
  int b = 0;
  manager_->enqueue_event_for_runloop(entry(&log, 1, &a));
  manager_->enqueue_event_for_runloop(entry(&log, 2, &b));
  manager_->enqueue_event_for_runloop(entry(&log, 3, &a));
  manager_->remove_runloop_events(&a, &producer_identity_);
  EXPECT_EQ(1u, manager_->queued_events());
  manager_->remove_runloop_events(&b, &a);  // other producer: nothing
  EXPECT_EQ(1u, manager_->queued_events());
  manager_->enqueue_event_for_runloop(entry(&log, 4, &a));
  manager_->remove_runloop_events(nullptr, nullptr);
  EXPECT_EQ(0u, manager_->queued_events());
  while (manager_->triggers() > 0) manager_->call_event_from_runloop();
  EXPECT_TRUE(log.empty());
}

TEST_F(RunLoopTest, EntriesFromManyThreadsRunInQueueOrderOnTheDrainingThread) {
  test::RunLoopPump pump(manager_);
  std::vector<int> log;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([this, &log, t] {
      for (int i = 0; i < 200; ++i) manager_->enqueue_event_for_runloop(entry(&log, t * 1000 + i));
    });
  }
  for (auto& thread : threads) thread.join();
  pump.drain();
  ASSERT_EQ(400u, log.size());
  // Each thread's entries keep their order.
  int last[2] = {-1, 999};
  for (int value : log) {
    int& previous = last[value / 1000];
    EXPECT_GT(value, previous);
    previous = value;
  }
  EXPECT_EQ(0, manager_->triggers());
}

}  // namespace
}  // namespace rodiz
