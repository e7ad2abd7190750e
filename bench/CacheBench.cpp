// Discovery of the simulated mouse at zero latency: a device that starts cold
// beside one that finds the cache file of an earlier start. Each iteration is
// one start of the library: a new Device, reported connected, its cache folder
// set (which reads the file), every feature enumerated.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "QuietLog.h"
#include "device/Device.h"
#include "sim/SimBus.h"
#include "sim/SimMouse.h"

namespace rodiz::bench {
namespace {

struct Rig {
  Rig() {
    sim::SimMouseConfig config;
    config.latency = std::chrono::microseconds(0);
    mouse = std::make_shared<sim::SimMouse>(config);
    bus = std::make_shared<sim::SimBus>();
    bus->add(mouse);
    for (const auto& device : bus->devices()) {
      if (device->report_length() == 20) channel = device;
    }
    channel->open();
    folder = std::filesystem::temp_directory_path() / ("rodiz-cache-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
  }
  ~Rig() {
    bus->remove(mouse);
    bus->wait_idle();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  std::shared_ptr<Device> device() {
    auto d = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel);
    d->initDevice(nullptr);
    return d;
  }
  std::string folder_text() const { return folder.string() + "/"; }

  std::shared_ptr<sim::SimMouse> mouse;
  std::shared_ptr<sim::SimBus> bus;
  std::shared_ptr<IHardwareDevice> channel;
  std::filesystem::path folder;
};

// Arg 0: no cache folder. Arg 1: the file of an earlier start is there.
void BM_DiscoveryCacheFile(benchmark::State& state) {
  QuietLog quiet;
  Rig rig;
  const bool with_file = state.range(0) == 1;
  if (with_file) {
    // The earlier start that leaves the file behind (written when it goes).
    auto first = rig.device();
    (void)first->connected();
    first->persistent_data_directory(rig.folder_text());
    if (first->features().size() != 8) state.SkipWithError("discovery failed");
  }
  int requests = 0;
  for (auto _ : state) {
    auto device = rig.device();
    const int before = rig.mouse->requests();
    (void)device->connected();
    if (with_file) device->persistent_data_directory(rig.folder_text());
    if (device->features().size() != 8) state.SkipWithError("discovery failed");
    requests = rig.mouse->requests() - before;
    state.PauseTiming();
    device.reset();
    state.ResumeTiming();
  }
  state.counters["round_trips"] = requests;
}
BENCHMARK(BM_DiscoveryCacheFile)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace rodiz::bench

BENCHMARK_MAIN();
