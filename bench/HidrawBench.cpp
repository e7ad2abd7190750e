// Host time per DFU packet through the hidraw channel, on a node emulated by
// a socket pair whose device side is the simulated mouse with zero latency:
// what the hidraw transport (poll, read and write, its read thread) adds to
// the simulated bus's figure (sim_bench BM_Stream1000Packets).
#include <benchmark/benchmark.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "DfuPacketStream.h"
#include "Linux/FakeHidrawSystem.h"
#include "Linux/HidrawChannel.h"
#include "QuietLog.h"
#include "device/Device.h"
#include "sim/SimBus.h"
#include "sim/SimChannel.h"
#include "sim/SimMouse.h"
#include "support/HidDescriptors.h"

namespace rodiz::bench {
namespace {

constexpr const char* kNode = "/dev/hidraw-bench";

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

// 1000 packets through DFUSendPacket over the hidraw channel, each answered before the next.
void BM_HidrawStream1000Packets(benchmark::State& state) {
  std::unique_ptr<QuietLog> quiet;
  if (state.range(0) == 1) quiet = std::make_unique<QuietLog>();
  constexpr std::size_t kPackets = 1001;
  const std::vector<Byte> image = dfu_bench_image(kPackets);
  std::vector<double> micros;
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
      stream_dfu_packets(state, dfu, image, micros);
      channel->close();
    }
    side.reset();
    bus->remove(mouse);
    bus->wait_idle();
    state.ResumeTiming();
  }
  report_dfu_packet_figures(state, kPackets - 1, micros);
}
BENCHMARK(BM_HidrawStream1000Packets)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace rodiz::bench

BENCHMARK_MAIN();
