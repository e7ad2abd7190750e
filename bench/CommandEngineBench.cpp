#include <benchmark/benchmark.h>

#include "LoopbackChannel.h"
#include "Percentiles.h"
#include "QuietLog.h"
#include "device/Device.h"

namespace rodiz::bench {
namespace {

// One synchronous command round trip: the cross-process lock, the command
// mutex, the write, the read thread's match and the wake-up of the caller.
// Argument 0 keeps the default log, whose file lines are written on the
// caller's thread until the log thread exists; 1 turns the log off.
void BM_SynchronousRoundTrip(benchmark::State& state) {
  std::unique_ptr<QuietLog> quiet;
  if (state.range(0) == 1) quiet = std::make_unique<QuietLog>();
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
BENCHMARK(BM_SynchronousRoundTrip)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace rodiz::bench

BENCHMARK_MAIN();
