// Host time per DFU packet through the real hidraw transport (HidrawSystem:
// libudev, libc read, write, ioctl and poll) on a node emulated by umockdev,
// whose device side is the simulated mouse with zero latency. Run it under
// umockdev-wrapper. Beside the simulated bus's figure (sim_bench
// BM_Stream1000Packets) it shows what the hidraw transport and the emulation
// add; the device's own latency is not in it.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "Linux/EmulatedMouse.h"
#include "Linux/HidrawBus.h"
#include "Linux/HidrawChannel.h"
#include "Linux/HidrawSystem.h"
#include "Linux/HidrawTestbed.h"
#include "QuietLog.h"
#include "device/Device.h"
#include "features/IFeature00d0DFU.h"

namespace rodiz::bench {
namespace {

std::vector<Byte> bench_image(std::size_t packets) {
  std::vector<Byte> bytes(packets * 16, 0x5A);
  bytes[0] = 0x00;
  bytes[1] = 0x01;
  for (int i = 0; i < 8; ++i) bytes[2 + static_cast<std::size_t>(i)] = static_cast<Byte>("ZKT58_E1"[i]);
  return bytes;
}

class Events : public Subscriber<IFeature00d0DFU::Report> {
 public:
  void onDfuStatus(std::uint32_t, std::vector<Byte>) override {}
};

// 1000 packets through DFUSendPacket over the emulated node, each answered before the next.
void BM_UmockdevStream1000Packets(benchmark::State& state) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
    state.SkipWithError("run it under umockdev-wrapper");
    return;
  }
  std::unique_ptr<QuietLog> quiet;
  if (state.range(0) == 1) quiet = std::make_unique<QuietLog>();
  constexpr std::size_t kPackets = 1001;
  const std::vector<Byte> image = bench_image(kPackets);
  for (auto _ : state) {
    state.PauseTiming();
    {
      test::HidrawTestbed testbed;
      sim::SimMouseConfig config;
      config.latency = std::chrono::microseconds(0);
      config.start_in_bootloader = true;
      config.expected_images = {sim::SimImage{"ZKT58_E1", image}};
      test::EmulatedMouse mouse(testbed, config, false);
      mouse.plug();
      HidrawNode node;
      node.devnode = "/dev/hidraw0";
      auto channel =
          std::make_shared<HidrawChannel>(std::weak_ptr<HidrawBus>(), std::make_shared<HidrawSystem>(), node);
      if (!channel->open()) {
        state.SkipWithError("the emulated node did not open");
        break;
      }
      auto device = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel);
      device->initDevice(nullptr);
      auto dfu = device->feature<IFeature00d0DFU>();
      if (!dfu) {
        state.SkipWithError("no DFU feature on the emulated node");
        break;
      }
      Events events;
      events.subscribe(dfu, DeliveryImmediate);
      int status = 0;
      dfu->DFUStart(std::vector<Byte>(image.begin(), image.begin() + 16), &status, nullptr);
      state.ResumeTiming();
      for (std::uint32_t n = 1; n < kPackets; ++n) {
        const auto first = image.begin() + static_cast<std::ptrdiff_t>(n * 16);
        if (!dfu->DFUSendPacket(n, std::vector<Byte>(first, first + 16))) {
          state.SkipWithError("packet refused");
          break;
        }
      }
      state.PauseTiming();
      events.unsubscribe(dfu);
      dfu.reset();
      device.reset();
      channel->close();
    }
    state.ResumeTiming();
  }
  state.counters["us_per_packet"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 1000.0,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::OneK::kIs1000);
}
BENCHMARK(BM_UmockdevStream1000Packets)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace rodiz::bench

BENCHMARK_MAIN();
