#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Percentiles.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"
#include "runtime/Subscriber.h"

namespace rodiz::bench {
namespace {

class Stamp {
 public:
  virtual void onStamp(std::chrono::steady_clock::time_point) {}
  virtual ~Stamp() = default;
};

class StampProducer : public Producer<Stamp> {
 public:
  void stamp() {
    const auto now = std::chrono::steady_clock::now();
    produce([now](Stamp* s) { s->onStamp(now); }, "StampProducer::Stamp::onStamp");
  }
};

class StampSink : public Subscriber<Stamp> {
 public:
  void onStamp(std::chrono::steady_clock::time_point sent) override { latencies.push_back(micros_since(sent)); }
  std::vector<double> latencies;
};

// Events from `producers` threads through the run-loop queue to one draining
// thread (this one); counts events per second and the latency from produce()
// to the callback.
void BM_RunLoopThroughput(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  constexpr int kEventsPerThread = 20000;
  auto manager = facade().getimpl();
  auto producer = std::make_shared<StampProducer>();
  StampSink sink;
  sink.subscribe(producer, DeliveryRunLoop);
  sink.latencies.reserve(static_cast<std::size_t>(producers) * kEventsPerThread * 4);
  std::int64_t events = 0;
  for (auto _ : state) {
    std::atomic<int> running{producers};
    std::vector<std::thread> threads;
    for (int t = 0; t < producers; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < kEventsPerThread; ++i) producer->stamp();
        --running;
      });
    }
    while (running > 0 || manager->queued_events() > 0) {
      if (manager->queued_events() > 0) {
        manager->call_event_from_runloop();
      } else {
        std::this_thread::yield();
      }
    }
    for (auto& thread : threads) thread.join();
    events += static_cast<std::int64_t>(producers) * kEventsPerThread;
  }
  while (manager->triggers() > 0) manager->call_event_from_runloop();
  state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
  report_percentiles(state, sink.latencies);
  sink.unsubscribe(producer);
  manager.reset();
  facade().reset();
}
BENCHMARK(BM_RunLoopThroughput)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

class Drainer : public Subscriber<IDeviceManager::RunLoopEvent> {
 public:
  void onRunLoopEvent() override {
    {
      std::lock_guard<std::mutex> guard(lock);
      ++pending;
    }
    wake.notify_one();
  }
  std::mutex lock;
  std::condition_variable wake;
  int pending = 0;
};

// One event at a time from a producer thread to a thread that sleeps until
// RunLoopEvent wakes it, as an application's loop does: the latency of
// delivery itself, without queueing behind other events.
void BM_RunLoopLatency(benchmark::State& state) {
  auto manager = facade().getimpl();
  auto producer = std::make_shared<StampProducer>();
  StampSink sink;
  sink.subscribe(producer, DeliveryRunLoop);
  Drainer drainer;
  drainer.subscribe(manager, DeliveryImmediate);
  std::atomic<bool> stop{false};
  std::atomic<int> consumed{0};
  std::thread source([&] {
    int sent = 0;
    while (!stop) {
      if (consumed.load() == sent) {
        producer->stamp();
        ++sent;
      } else {
        std::this_thread::yield();
      }
    }
  });
  for (auto _ : state) {
    std::unique_lock<std::mutex> guard(drainer.lock);
    drainer.wake.wait(guard, [&] { return drainer.pending > 0; });
    --drainer.pending;
    guard.unlock();
    const std::size_t before = sink.latencies.size();
    manager->call_event_from_runloop();
    if (sink.latencies.size() > before) ++consumed;
  }
  stop = true;
  source.join();
  while (manager->triggers() > 0) manager->call_event_from_runloop();
  report_percentiles(state, sink.latencies);
  drainer.unsubscribe(manager);
  sink.unsubscribe(producer);
  manager.reset();
  facade().reset();
}
BENCHMARK(BM_RunLoopLatency)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(20000);

}  // namespace
}  // namespace rodiz::bench

BENCHMARK_MAIN();
