#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "device/LastError.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"
#include "runtime/Subscriber.h"
#include "support/RunLoopPump.h"

namespace rodiz {
namespace {

class Tick {
 public:
  virtual void onTick(int /*value*/) {}
  virtual ~Tick() = default;
};

class Other {
 public:
  virtual void onOther() {}
  virtual ~Other() = default;
};

class TickProducer : public Producer<Tick> {
 public:
  void tick(int value) {
    produce([value](Tick* s) { s->onTick(value); }, "TickProducer::Tick::onTick");
  }
  int subscribes = 0;
  int added = 0;
  int removed = 0;
  bool refuse = false;
  // The hooks read the subscriber count, which takes the producer's lock: a
  // hook called with the lock held would deadlock here.
  int count_seen_in_hook = -1;

 protected:
  bool on_subscribe(Subscriber<Tick>*) override {
    ++subscribes;
    count_seen_in_hook = subscriber_count();
    if (refuse) set_last_error(InternalError, 0, "refused");
    return !refuse;
  }
  void on_subscription_added(Subscriber<Tick>*, bool) override {
    ++added;
    count_seen_in_hook = subscriber_count();
  }
  void on_unsubscribe(Subscriber<Tick>*) override {
    ++removed;
    count_seen_in_hook = subscriber_count();
  }
};

class OtherProducer : public Producer<Other> {};

class TickSubscriber : public Subscriber<Tick> {
 public:
  void onTick(int value) override {
    values.push_back(value);
    threads.insert(std::this_thread::get_id());
  }
  std::vector<int> values;
  std::set<std::thread::id> threads;
};

class ProducerSubscriberTest : public testing::Test {
 protected:
  void SetUp() override {
    manager_ = facade().getimpl();
    pump_ = std::make_unique<test::RunLoopPump>(manager_);
  }
  void TearDown() override {
    pump_.reset();
    manager_.reset();
    facade().reset();
  }
  std::shared_ptr<DeviceManager> manager_;
  std::unique_ptr<test::RunLoopPump> pump_;
};

TEST_F(ProducerSubscriberTest, SubscribingTwiceStoresOnceAndIgnoresTheSecondMode) {
  auto producer = std::make_shared<TickProducer>();
  TickSubscriber subscriber;
  EXPECT_TRUE(subscriber.subscribe(producer, DeliveryImmediate, "test"));
  EXPECT_TRUE(subscriber.subscribe(producer, DeliveryImmediate, "test"));
  EXPECT_TRUE(subscriber.subscribe(producer, DeliveryRunLoop, "test"));
  EXPECT_EQ(1, producer->subscribes);
  EXPECT_EQ(1, producer->subscriber_count());
  producer->tick(7);
  EXPECT_EQ(std::vector<int>{7}, subscriber.values);  // delivered once, immediately
}

TEST_F(ProducerSubscriberTest, HooksRunWithoutTheProducerLock) {
  auto producer = std::make_shared<TickProducer>();
  TickSubscriber subscriber;
  ASSERT_TRUE(subscriber.subscribe(producer, DeliveryImmediate));
  EXPECT_EQ(1, producer->count_seen_in_hook);  // from on_subscription_added, after the insert
  subscriber.unsubscribe(producer);
  EXPECT_EQ(0, producer->count_seen_in_hook);
  EXPECT_EQ(1, producer->removed);
}

TEST_F(ProducerSubscriberTest, RefusingHookFailsTheSubscription) {
  auto producer = std::make_shared<TickProducer>();
  producer->refuse = true;
  TickSubscriber subscriber;
  EXPECT_FALSE(subscriber.subscribe(producer, DeliveryImmediate));
  EXPECT_EQ(0, producer->subscriber_count());
  EXPECT_EQ(0, producer->added);
  producer->refuse = false;
  EXPECT_TRUE(subscriber.subscribe(producer, DeliveryImmediate));  // not recorded by the failed attempt
}

TEST_F(ProducerSubscriberTest, OtherDeliveryValuesAreAcceptedAndNeverDeliver) {
  auto producer = std::make_shared<TickProducer>();
  TickSubscriber subscriber;
  EXPECT_TRUE(subscriber.subscribe(producer, 2));
  EXPECT_EQ(0, producer->subscriber_count());
  EXPECT_EQ(0, producer->subscribes);
  producer->tick(1);
  pump_->drain();
  EXPECT_TRUE(subscriber.values.empty());
}

TEST_F(ProducerSubscriberTest, WrongProducerTypeFailsWithSubscribeCastFailed) {
  auto other = std::make_shared<OtherProducer>();
  TickSubscriber subscriber;
  clear_last_error();
  EXPECT_FALSE(subscriber.subscribe(other, DeliveryImmediate));
  EXPECT_EQ(SubscribeCastFailed, last_error().code);
  EXPECT_STREQ("dynamic pointer cast in subscribe failed", last_error().text);
  subscriber.unsubscribe(other);  // a failing cast on unsubscribe does nothing
}

TEST_F(ProducerSubscriberTest, UnsubscribingAStrangerCallsNoHookAndKeepsQueuedEntries) {
  auto producer = std::make_shared<TickProducer>();
  TickSubscriber member;
  TickSubscriber stranger;
  ASSERT_TRUE(member.subscribe(producer, DeliveryRunLoop));
  producer->tick(3);
  producer->unsubscribe(&stranger);
  EXPECT_EQ(0, producer->removed);
  pump_->drain();
  EXPECT_EQ(std::vector<int>{3}, member.values);
}

TEST_F(ProducerSubscriberTest, ImmediateSubscribersHaveRunWhenProduceReturns) {
  auto producer = std::make_shared<TickProducer>();
  TickSubscriber first;
  TickSubscriber second;
  ASSERT_TRUE(first.subscribe(producer, DeliveryImmediate));
  ASSERT_TRUE(second.subscribe(producer, DeliveryImmediate));
  std::thread([&] { producer->tick(5); }).join();
  EXPECT_EQ(std::vector<int>{5}, first.values);
  EXPECT_EQ(std::vector<int>{5}, second.values);
  EXPECT_EQ(0u, first.threads.count(std::this_thread::get_id()));  // ran on the producing thread
}

TEST_F(ProducerSubscriberTest, RunLoopSubscribersRunLaterOnTheDrainingThread) {
  auto producer = std::make_shared<TickProducer>();
  TickSubscriber subscriber;
  ASSERT_TRUE(subscriber.subscribe(producer, DeliveryRunLoop));
  std::thread([&] {
    producer->tick(1);
    producer->tick(2);
  }).join();
  EXPECT_TRUE(subscriber.values.empty());
  EXPECT_EQ(3, pump_->drain());  // the first call adds a notification for the second entry
  EXPECT_EQ(0, manager_->triggers());
  EXPECT_EQ((std::vector<int>{1, 2}), subscriber.values);
  EXPECT_EQ(std::set<std::thread::id>{std::this_thread::get_id()}, subscriber.threads);
}

TEST_F(ProducerSubscriberTest, DestroyedSubscriberNeverRunsItsQueuedEntries) {
  auto producer = std::make_shared<TickProducer>();
  auto leaving = std::make_unique<TickSubscriber>();
  TickSubscriber staying;
  ASSERT_TRUE(leaving->subscribe(producer, DeliveryRunLoop));
  ASSERT_TRUE(staying.subscribe(producer, DeliveryRunLoop));
  producer->tick(9);
  EXPECT_EQ(2u, manager_->queued_events());
  leaving.reset();  // would crash or be reported by the sanitizer if its entry ran
  EXPECT_EQ(1u, manager_->queued_events());
  pump_->drain();
  EXPECT_EQ(std::vector<int>{9}, staying.values);
  EXPECT_EQ(0, manager_->triggers());
}

TEST_F(ProducerSubscriberTest, ProducerDestroyedFirstLeavesSubscribersHarmless) {
  auto producer = std::make_shared<TickProducer>();
  TickSubscriber subscriber;
  ASSERT_TRUE(subscriber.subscribe(producer, DeliveryImmediate));
  EXPECT_TRUE(subscriber.is_subscribed_to(producer));
  std::weak_ptr<TickProducer> weak = producer;
  producer.reset();
  EXPECT_TRUE(weak.expired());
  // A new producer at possibly the same address is a fresh subscription.
  auto replacement = std::make_shared<TickProducer>();
  EXPECT_TRUE(subscriber.subscribe(replacement, DeliveryImmediate));
  replacement->tick(4);
  EXPECT_EQ(std::vector<int>{4}, subscriber.values);
}

TEST_F(ProducerSubscriberTest, ConcurrentProducersLoseNoEventAndRunNoneForDepartedSubscribers) {
  // Several threads raise run-loop events while this thread drains the queue
  // and subscribers come and go; the sanitizers watch for races and use after free.
  auto producer = std::make_shared<TickProducer>();
  TickSubscriber steady;
  ASSERT_TRUE(steady.subscribe(producer, DeliveryRunLoop));
  constexpr int kThreads = 3;
  constexpr int kEvents = 400;
  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEvents; ++i) producer->tick(i);
      --running;
    });
  }
  int churn = 0;
  while (running > 0 || manager_->queued_events() > 0) {
    {
      TickSubscriber passing;
      passing.subscribe(producer, DeliveryRunLoop);
      pump_->drain();
      ++churn;
    }
    pump_->drain();
  }
  for (auto& thread : threads) thread.join();
  pump_->drain();
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kEvents), steady.values.size());
  EXPECT_GT(churn, 0);
  EXPECT_EQ(0, manager_->triggers());
}

TEST_F(ProducerSubscriberTest, QueuedEntryOutlivesNeitherEndWhicheverDiesFirst) {
  // The entries must go with whichever end dies first; if one ran after its
  // subscriber was freed, the sanitizer would report it.
  for (bool producer_first : {true, false}) {
    auto producer = std::make_shared<TickProducer>();
    auto subscriber = std::make_unique<TickSubscriber>();
    TickSubscriber witness;
    ASSERT_TRUE(subscriber->subscribe(producer, DeliveryRunLoop));
    ASSERT_TRUE(witness.subscribe(producer, DeliveryRunLoop));
    producer->tick(1);
    ASSERT_EQ(2u, manager_->queued_events());
    if (producer_first) {
      producer.reset();
      EXPECT_EQ(0u, manager_->queued_events()) << "a dead producer's entries are dropped";
      subscriber.reset();
    } else {
      subscriber.reset();
      EXPECT_EQ(1u, manager_->queued_events());
      producer.reset();
      EXPECT_EQ(0u, manager_->queued_events());
    }
    pump_->drain();
    EXPECT_TRUE(witness.values.empty());
    EXPECT_EQ(0, manager_->triggers());
  }
}

TEST_F(ProducerSubscriberTest, SubscriberDiesAfterItsProducerWithEntriesOfAnotherProducerQueued) {
  // The subscriber can no longer leave a producer that is gone, yet entries
  // of a second producer that is still alive must go with the subscriber.
  auto first = std::make_shared<TickProducer>();
  auto second = std::make_shared<TickProducer>();
  auto subscriber = std::make_unique<TickSubscriber>();
  ASSERT_TRUE(subscriber->subscribe(first, DeliveryRunLoop));
  ASSERT_TRUE(subscriber->subscribe(second, DeliveryRunLoop));
  first->tick(1);
  second->tick(2);
  first.reset();
  EXPECT_EQ(1u, manager_->queued_events());
  subscriber.reset();
  EXPECT_EQ(0u, manager_->queued_events());
  pump_->drain();
}

TEST_F(ProducerSubscriberTest, ImmediateOnlyCallbackMayLeaveTheProducer) {
  class OnlyImmediate : public TickProducer {
   public:
    void tick_immediate(int value) {
      produce_immediate_only([value](Tick* s) { s->onTick(value); });
    }
  };
  class Leaving : public TickSubscriber {
   public:
    std::shared_ptr<OnlyImmediate> from;
    void onTick(int value) override {
      TickSubscriber::onTick(value);
      unsubscribe(from);  // deadlocked when called under the producer's lock
    }
  };
  auto producer = std::make_shared<OnlyImmediate>();
  Leaving leaving;
  leaving.from = producer;
  TickSubscriber queued;
  ASSERT_TRUE(leaving.subscribe(producer, DeliveryImmediate));
  ASSERT_TRUE(queued.subscribe(producer, DeliveryRunLoop));
  producer->tick_immediate(6);
  producer->tick_immediate(7);
  pump_->drain();
  EXPECT_EQ(std::vector<int>{6}, leaving.values);
  EXPECT_TRUE(queued.values.empty()) << "run-loop subscribers never hear it";
}

TEST(ManagerAfterResetTest, HearsItsOwnActiveFlagAndListsItsBuses) {
  // Each manager subscribes to its own flag: one made after reset() did not.
  for (int round = 0; round < 2; ++round) {
    auto manager = facade().getimpl();
    test::RunLoopPump pump(manager);
    EXPECT_EQ(0u, manager->queued_events());
    manager->set_active(true);
    EXPECT_EQ(1u, manager->queued_events()) << "round " << round;
    pump.drain();
    manager.reset();
    facade().reset();
  }
}

}  // namespace
}  // namespace rodiz
