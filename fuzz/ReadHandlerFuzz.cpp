// Feeds arbitrary byte sequences to the response matcher, as reports from a
// hostile or broken device, with and without a request pending.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "LoopbackChannel.h"
#include "device/Device.h"

namespace {

std::shared_ptr<rodiz::Device> make_device() {
  auto channel = std::make_shared<rodiz::bench::LoopbackChannel>();
  auto device = std::make_shared<rodiz::Device>(std::weak_ptr<rodiz::IDeviceManager>(), channel);
  device->initDevice(nullptr);
  device->set_timeout_ms(1);
  // The loopback echoes every request, which makes the root feature load.
  device->load_feature_root(false);
  return device;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::shared_ptr<rodiz::Device> feature_based = make_device();
  static auto plain = std::make_shared<rodiz::Device>(std::weak_ptr<rodiz::IDeviceManager>(),
                                                      std::make_shared<rodiz::bench::LoopbackChannel>());
  // The first byte chooses the flag; the rest is cut into reports at 0xA5 bytes.
  if (size == 0) return 0;
  const bool routed = (data[0] & 1) != 0;
  std::vector<std::uint8_t> report;
  for (std::size_t i = 1; i <= size; ++i) {
    if (i == size || data[i] == 0xA5) {
      feature_based->onReadHandler(report, routed);
      plain->onReadHandler(report, routed);
      report.clear();
    } else {
      report.push_back(data[i]);
    }
  }
  return 0;
}
