#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#include "Percentiles.h"
#include "features/IFeature00d0DFU.h"
#include "runtime/Subscriber.h"

namespace rodiz::bench {

// The DFU packet stream that the hidraw benchmarks time: the same image, the
// same exchange per packet and the same figures on every transport.

// An image of `packets` 16-byte packets for the hardware code "ZKT58_E1".
inline std::vector<Byte> dfu_bench_image(std::size_t packets) {
  std::vector<Byte> bytes(packets * 16, 0x5A);
  bytes[0] = 0x00;
  bytes[1] = 0x01;
  for (std::size_t i = 0; i < 8; ++i) bytes[2 + i] = static_cast<Byte>("ZKT58_E1"[i]);
  return bytes;
}

// Starts the transfer of `image` on `dfu` untimed, then sends its other
// packets through DFUSendPacket, each answered before the next, with the
// benchmark's clock running, and adds each round trip in microseconds to
// `micros`. The benchmark's timing must be paused on entry; it is paused
// again on return. A refused packet skips the benchmark with the reason.
inline void stream_dfu_packets(benchmark::State& state, const std::shared_ptr<IFeature00d0DFU>& dfu,
                               const std::vector<Byte>& image, std::vector<double>& micros) {
  // The transfer's status reports need a subscriber, as the update's controller is one.
  class Events : public Subscriber<IFeature00d0DFU::Report> {
   public:
    ~Events() override { leave_all(); }
    void onDfuStatus(std::uint32_t, std::vector<Byte>) override {}
  } events;
  events.subscribe(dfu, DeliveryImmediate);
  int status = 0;
  dfu->DFUStart(std::vector<Byte>(image.begin(), image.begin() + 16), &status, nullptr);
  const std::uint32_t packets = static_cast<std::uint32_t>(image.size() / 16);
  state.ResumeTiming();
  for (std::uint32_t n = 1; n < packets; ++n) {
    const auto first = image.begin() + static_cast<std::ptrdiff_t>(n) * 16;
    const auto start = std::chrono::steady_clock::now();
    if (!dfu->DFUSendPacket(n, std::vector<Byte>(first, first + 16))) {
      state.SkipWithError("packet refused");
      break;
    }
    micros.push_back(micros_since(start));
  }
  state.PauseTiming();
  events.unsubscribe(dfu);
}

// The figures of a run of `packets_per_iteration` packets per iteration:
// mean, median and 99th percentile of the round trips, in microseconds.
inline void report_dfu_packet_figures(benchmark::State& state, std::size_t packets_per_iteration,
                                      std::vector<double>& micros) {
  state.counters["us_per_packet"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(packets_per_iteration),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::OneK::kIs1000);
  report_percentiles(state, micros);
}

}  // namespace rodiz::bench
