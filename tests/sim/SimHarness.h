#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "device/Device.h"
#include "features/IFeature00d0DFU.h"
#include "runtime/Subscriber.h"
#include "sim/SimBus.h"
#include "sim/SimMouse.h"
#include "support/RunLoopPump.h"
#include "transport/CombinerBus.h"

namespace rodiz::test {

// Small made-up images: a bootloader only checks what it was told to expect.
std::vector<sim::SimImage> small_images(std::size_t size1 = 64, std::size_t size2 = 48);
// The 16 bytes of `image` at `offset`.
std::vector<Byte> slice(const std::vector<Byte>& image, std::size_t offset);

// A simulated mouse on a simulated bus behind the collection combiner, and a
// Device on the combined channel, without a device manager of its own: answers
// come at once and commands time out quickly, so tests stay fast. The
// combiner hears the bus through the facade's run loop, which the harness
// drains while it waits for the mouse.
class SimHarness {
 public:
  explicit SimHarness(sim::SimMouseConfig config = fast_config());
  ~SimHarness();

  static sim::SimMouseConfig fast_config();

  // The combined channel of the mouse as it is now (waits up to a second for
  // it to be whole); null when it is not on the bus.
  std::shared_ptr<IHardwareDevice> channel();
  // A new Device on channel().
  std::shared_ptr<Device> make_device(int timeout_ms = 150);

  // The run loop that delivers the library's queued events to this thread.
  RunLoopPump& pump() { return *pump_; }
  std::shared_ptr<IDeviceManager> manager() { return manager_; }

  std::shared_ptr<sim::SimMouse> mouse;
  std::shared_ptr<sim::SimBus> bus;
  std::shared_ptr<CombinerBus> combiner;

 private:
  std::shared_ptr<IDeviceManager> manager_;
  std::unique_ptr<RunLoopPump> pump_;
};

// Collects DFU status events (immediate delivery, on the read thread) for a
// test thread to wait on.
class DfuEvents : public Subscriber<IFeature00d0DFU::Report> {
 public:
  ~DfuEvents() override { leave_all(); }
  void onDfuStatus(std::uint32_t packet, std::vector<Byte> data) override;
  // The next event within `timeout`; false when none came.
  bool next(std::uint32_t* packet, std::vector<Byte>* data,
            std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
  std::size_t pending();

 private:
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::pair<std::uint32_t, std::vector<Byte>>> events_;
};

}  // namespace rodiz::test
