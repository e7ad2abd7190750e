#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Windows/FakeWin32System.h"
#include "Windows/Win32Bus.h"
#include "Windows/Win32Device.h"
#include "runtime/Subscriber.h"

namespace rodiz::test {

// The HID bus on the fake system: its window thread, messages and requests
// are real.
class FakeSystemBus : public Win32Bus {
 public:
  FakeSystemBus(std::shared_ptr<FakeWin32System> system, std::weak_ptr<IDeviceManager> manager = {})
      : Win32Bus(std::move(manager)), fake_(std::move(system)) {}
  std::shared_ptr<IWin32System> makeWin32System() override { return fake_; }

 private:
  std::shared_ptr<FakeWin32System> fake_;
};

// Waits for a condition that another thread makes true; false after 5 s.
bool eventually(const std::function<bool()>& condition);

// Records the bus's events (immediate delivery: they arrive on the window thread).
class PlugRecorder : public Subscriber<IHardwareBus::PlugUnplug> {
 public:
  ~PlugRecorder() override { leave_all(); }
  void onPlug(std::shared_ptr<IHardwareDevice> device) override;
  void onUnplug(std::shared_ptr<IHardwareDevice> device) override;
  void onPowerChange(bool standBy) override;

  std::vector<std::string> plugs();
  std::vector<std::string> unplugs();
  std::vector<bool> powers();
  std::vector<std::shared_ptr<IHardwareDevice>> unplugged_devices();

 private:
  std::mutex lock_;
  std::vector<std::shared_ptr<IHardwareDevice>> plugged_;
  std::vector<std::shared_ptr<IHardwareDevice>> unplugged_;
  std::vector<bool> powers_;
};

// Records a channel's reads; `on_read` runs first, on the read thread.
class ReadRecorder : public Subscriber<IHardwareDevice::Read>, public Subscriber<IHardwareDevice::Write> {
 public:
  struct Read {
    std::vector<Byte> report;
    bool routed;
    unsigned error;
    unsigned count;
  };
  struct Written {
    std::vector<Byte> report;
    ErrorCode result;
  };
  ~ReadRecorder() override {
    Subscriber<IHardwareDevice::Read>::leave_all();
    Subscriber<IHardwareDevice::Write>::leave_all();
  }
  void onRead(std::vector<Byte> report, bool routed, unsigned int system_error, unsigned int byte_count) override;
  void onWrite(std::vector<Byte> report, ErrorCode result, unsigned int system_error) override;
  std::vector<Read> reads();
  std::vector<Written> writes();

  std::function<void(const Read&)> on_read;

 private:
  std::mutex lock_;
  std::vector<Read> reads_;
  std::vector<Written> writes_;
};

}  // namespace rodiz::test
