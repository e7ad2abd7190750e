#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/Producer.h"
#include "transport/IHardwareDevice.h"

namespace rodiz::bench {

// An in-process channel whose "device" answers every request at once from a
// read thread of its own, echoing the header: what is left is the software
// cost of an exchange.
class LoopbackChannel : public IHardwareDevice,
                        public Producer<IHardwareDevice::Connect>,
                        public Producer<IHardwareDevice::Read>,
                        public Producer<IHardwareDevice::Write>,
                        public std::enable_shared_from_this<LoopbackChannel> {
 public:
  LoopbackChannel() : thread_([this] { run(); }) {}
  ~LoopbackChannel() override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  bool connected() override { return true; }
  bool open() override { return true; }
  void close() override {}
  bool write(std::vector<Byte> report, bool) override {
    report.resize(20, 0);
    report[0] = 0x11;
    {
      std::lock_guard<std::mutex> guard(lock_);
      pending_.push_back(std::move(report));
    }
    wake_.notify_one();
    return true;
  }
  std::weak_ptr<IHardwareBus> owning_bus() override { return {}; }
  std::string path() override { return "loopback"; }
  int pid() override { return 0xC087; }
  std::string name() override { return "loopback"; }
  int reserved_value() override { return 0; }
  int bus_type() override { return 0; }
  int transport_variant() override { return 0; }

 private:
  void run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      wake_.wait(guard, [this] { return stop_ || !pending_.empty(); });
      if (stop_) return;
      std::vector<Byte> report = std::move(pending_.front());
      pending_.pop_front();
      guard.unlock();
      // Root feature, function 1: echo the ping data like a device would.
      Producer<IHardwareDevice::Read>::produce([&report](IHardwareDevice::Read* s) { s->onRead(report, false, 0, 20); },
                                               "LoopbackChannel::Read::onRead");
      guard.lock();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::vector<Byte>> pending_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace rodiz::bench
