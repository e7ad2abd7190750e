#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>
#include <vector>

#include "Percentiles.h"
#include "QuietLog.h"
#include "device/Device.h"
#include "features/IFeature00d0DFU.h"
#include "sim/SimBus.h"
#include "sim/SimChannel.h"
#include "sim/SimMouse.h"

namespace rodiz::bench {
namespace {

std::vector<sim::SimImage> bench_images(std::size_t packets) {
  sim::SimImage main_image{"ZKT58_E1", std::vector<Byte>(packets * 16, 0x5A)};
  main_image.bytes[0] = 0x00;
  main_image.bytes[1] = 0x01;
  for (int i = 0; i < 8; ++i) main_image.bytes[2 + static_cast<std::size_t>(i)] = static_cast<Byte>("ZKT58_E1"[i]);
  return {main_image};
}

// The simulated mouse with zero latency, on its long collection alone.
struct Rig {
  explicit Rig(bool bootloader, std::size_t packets = 2) {
    sim::SimMouseConfig config;
    config.latency = std::chrono::microseconds(0);
    config.start_in_bootloader = bootloader;
    config.expected_images = bench_images(packets);
    mouse = std::make_shared<sim::SimMouse>(config);
    bus = std::make_shared<sim::SimBus>();
    bus->add(mouse);
    for (const auto& device : bus->devices()) {
      if (device->report_length() == 20) channel = device;
    }
    channel->open();
  }
  ~Rig() {
    bus->remove(mouse);
    bus->wait_idle();
  }
  std::shared_ptr<Device> device() {
    auto d = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel);
    d->initDevice(nullptr);
    return d;
  }
  std::shared_ptr<sim::SimMouse> mouse;
  std::shared_ptr<sim::SimBus> bus;
  std::shared_ptr<IHardwareDevice> channel;
};

// Discovery of every feature and the firmware identity of a fresh device.
void BM_Discovery(benchmark::State& state) {
  std::unique_ptr<QuietLog> quiet;
  if (state.range(0) == 1) quiet = std::make_unique<QuietLog>();
  Rig rig(false);
  int requests = 0;
  for (auto _ : state) {
    auto device = rig.device();
    const int before = rig.mouse->requests();
    if (device->features().size() != 8) state.SkipWithError("discovery failed");
    requests = rig.mouse->requests() - before;
  }
  state.counters["round_trips"] = requests;
}
BENCHMARK(BM_Discovery)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

class Events : public Subscriber<IFeature00d0DFU::Report> {
 public:
  void onDfuStatus(std::uint32_t, std::vector<Byte>) override {}
};

// 1000 packets through DFUSendPacket, each answered before the next.
void BM_Stream1000Packets(benchmark::State& state) {
  std::unique_ptr<QuietLog> quiet;
  if (state.range(0) == 1) quiet = std::make_unique<QuietLog>();
  constexpr std::size_t kPackets = 1001;
  std::vector<double> packet_us;
  for (auto _ : state) {
    state.PauseTiming();
    Rig rig(true, kPackets);
    auto device = rig.device();
    auto dfu = device->feature<IFeature00d0DFU>();
    Events events;
    events.subscribe(dfu, DeliveryImmediate);
    int status = 0;
    const std::vector<Byte> image = bench_images(kPackets)[0].bytes;
    dfu->DFUStart(std::vector<Byte>(image.begin(), image.begin() + 16), &status, nullptr);
    state.ResumeTiming();
    for (std::uint32_t n = 1; n < kPackets; ++n) {
      const auto first = image.begin() + static_cast<std::ptrdiff_t>(n * 16);
      const auto before = std::chrono::steady_clock::now();
      if (!dfu->DFUSendPacket(n, std::vector<Byte>(first, first + 16))) {
        state.SkipWithError("packet refused");
        break;
      }
      packet_us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - before).count());
    }
    state.PauseTiming();
    events.unsubscribe(dfu);
    state.ResumeTiming();
  }
  // The median packet, since a few slow ones (a descheduled thread) weigh on
  // the mean, and the 99th percentile for those.
  report_percentiles(state, packet_us);
  state.counters["us_per_packet"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 1000.0,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::OneK::kIs1000);
}
BENCHMARK(BM_Stream1000Packets)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace rodiz::bench

BENCHMARK_MAIN();
