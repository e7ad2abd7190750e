// Host time per DFU packet through the real hidraw transport (HidrawSystem:
// libudev, libc read, write, ioctl and poll) on a node emulated by umockdev,
// whose device side is the simulated mouse with zero latency. Run it under
// umockdev-wrapper. Beside the simulated bus's figure (sim_bench
// BM_Stream1000Packets) it shows what the hidraw transport and the emulation
// add; the device's own latency is not in it.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "DfuPacketStream.h"
#include "Linux/EmulatedMouse.h"
#include "Linux/HidrawBus.h"
#include "Linux/HidrawChannel.h"
#include "Linux/HidrawSystem.h"
#include "Linux/HidrawTestbed.h"
#include "QuietLog.h"
#include "device/Device.h"

namespace rodiz::bench {
namespace {

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
  const std::vector<Byte> image = dfu_bench_image(kPackets);
  std::vector<double> micros;
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
      stream_dfu_packets(state, dfu, image, micros);
      dfu.reset();
      device.reset();
      channel->close();
    }
    state.ResumeTiming();
  }
  report_dfu_packet_figures(state, kPackets - 1, micros);
}
BENCHMARK(BM_UmockdevStream1000Packets)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace rodiz::bench

BENCHMARK_MAIN();
