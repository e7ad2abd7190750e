// Host time per DFU packet through the hidraw channel, on a node emulated by
// a socket pair whose device side is the simulated mouse with zero latency:
// what the hidraw transport (poll, read and write, its read thread) adds to
// the simulated bus's figure (sim_bench BM_Stream1000Packets).
#include <benchmark/benchmark.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "Linux/FakeHidrawSystem.h"
#include "Linux/HidrawChannel.h"
#include "QuietLog.h"
#include "device/Device.h"
#include "features/IFeature00d0DFU.h"
#include "sim/SimBus.h"
#include "sim/SimChannel.h"
#include "sim/SimMouse.h"
#include "support/HidDescriptors.h"

namespace rodiz::bench {
namespace {

constexpr const char* kNode = "/dev/hidraw-bench";

std::vector<Byte> bench_image(std::size_t packets) {
  std::vector<Byte> bytes(packets * 16, 0x5A);
  bytes[0] = 0x00;
  bytes[1] = 0x01;
  for (int i = 0; i < 8; ++i) bytes[2 + static_cast<std::size_t>(i)] = static_cast<Byte>("ZKT58_E1"[i]);
  return bytes;
}

// The mouse's side of the node: reports written to the node go to the
// simulated mouse's collection of the same id, its answers come back on the node.
class DeviceSide : public Subscriber<IHardwareDevice::Read> {
 public:
  DeviceSide(int fd, std::vector<std::shared_ptr<IHardwareDevice>> collections)
      : fd_(fd), collections_(std::move(collections)), stop_(eventfd(0, EFD_CLOEXEC)) {
    for (const auto& collection : collections_) subscribe(collection, DeliveryImmediate);
    pump_ = std::thread([this] { run(); });
  }
  ~DeviceSide() override {
    eventfd_write(stop_, 1);
    pump_.join();
    leave_all();
    ::close(stop_);
  }
  void onRead(std::vector<Byte> report, bool, unsigned, unsigned) override {
    (void)::send(fd_, report.data(), report.size(), MSG_NOSIGNAL);
  }

 private:
  void run() {
    std::uint8_t buffer[64];
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0 || (fds[0].revents & POLLIN) == 0) return;
      const ssize_t count = ::recv(fd_, buffer, sizeof buffer, 0);
      if (count <= 0) return;
      std::vector<Byte> report(buffer, buffer + count);
      for (const auto& collection : collections_) {
        if (static_cast<std::size_t>(collection->report_length()) == report.size()) collection->write(report, false);
      }
    }
  }
  int fd_;
  std::vector<std::shared_ptr<IHardwareDevice>> collections_;
  int stop_;
  std::thread pump_;
};

class Events : public Subscriber<IFeature00d0DFU::Report> {
 public:
  void onDfuStatus(std::uint32_t, std::vector<Byte>) override {}
};

// 1000 packets through DFUSendPacket over the hidraw channel, each answered before the next.
void BM_HidrawStream1000Packets(benchmark::State& state) {
  std::unique_ptr<QuietLog> quiet;
  if (state.range(0) == 1) quiet = std::make_unique<QuietLog>();
  constexpr std::size_t kPackets = 1001;
  const std::vector<Byte> image = bench_image(kPackets);
  for (auto _ : state) {
    state.PauseTiming();
    sim::SimMouseConfig config;
    config.latency = std::chrono::microseconds(0);
    config.start_in_bootloader = true;
    config.expected_images = {sim::SimImage{"ZKT58_E1", image}};
    auto mouse = std::make_shared<sim::SimMouse>(config);
    auto bus = std::make_shared<sim::SimBus>();
    bus->add(mouse);
    auto collections = bus->devices();
    for (const auto& collection : collections) collection->open();

    auto system = std::make_shared<test::FakeHidrawSystem>();
    test::FakeHidrawSystem::Node node;
    node.info.devnode = kNode;
    node.product = sim::SimMouse::kBootloaderPid;
    node.descriptor = test::mouse_vendor_descriptor();
    system->add(node, false);
    auto channel = std::make_shared<HidrawChannel>(std::weak_ptr<HidrawBus>(), system, node.info);
    channel->open();
    auto side = std::make_unique<DeviceSide>(system->device_side(kNode), collections);
    {
      auto device = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel);
      device->initDevice(nullptr);
      auto dfu = device->feature<IFeature00d0DFU>();
      if (!dfu) {
        state.SkipWithError("no DFU feature over hidraw");
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
      channel->close();
    }
    side.reset();
    bus->remove(mouse);
    bus->wait_idle();
    state.ResumeTiming();
  }
  state.counters["us_per_packet"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 1000.0,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::OneK::kIs1000);
}
BENCHMARK(BM_HidrawStream1000Packets)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace rodiz::bench

BENCHMARK_MAIN();
