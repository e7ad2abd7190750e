#include <benchmark/benchmark.h>

#include "LoopbackChannel.h"
#include "Percentiles.h"
#include "device/Device.h"

namespace rodiz::bench {
namespace {

// One synchronous command round trip: the cross-process lock, the command
// mutex, the write, the read thread's match and the wake-up of the caller.
void BM_SynchronousRoundTrip(benchmark::State& state) {
  auto channel = std::make_shared<LoopbackChannel>();
  auto device = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel);
  device->initDevice(nullptr);
  const std::vector<Byte> command{0x10, 0xFF, 0x00, 0x1F, 0x00, 0x00, 0x42};
  std::vector<Byte> response;
  std::vector<double> micros;
  micros.reserve(200000);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!device->sendSynchronousCommandWithoutRetry(command, response, {2}, true)) {
      state.SkipWithError("round trip failed");
      break;
    }
    micros.push_back(micros_since(start));
  }
  report_percentiles(state, micros);
}
BENCHMARK(BM_SynchronousRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace rodiz::bench

BENCHMARK_MAIN();
