// Feeds arbitrary byte sequences to the receiver bus's report handler, as
// reports read on a hostile or broken receiver's channel: notifications with
// any device index, product id and link state, unpairing, pairing-lock and
// register answers, and reports for paired or empty slots.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/Producer.h"
#include "transport/IHardwareDevice.h"
#include "transport/VireonBus.h"

namespace {

// A receiver channel that swallows every write.
class SilentChannel : public rodiz::IHardwareDevice,
                      public rodiz::Producer<rodiz::IHardwareDevice::Connect>,
                      public rodiz::Producer<rodiz::IHardwareDevice::Read>,
                      public rodiz::Producer<rodiz::IHardwareDevice::Write> {
 public:
  bool connected() override { return true; }
  bool open() override { return true; }
  void close() override {}
  bool write(std::vector<rodiz::Byte> /*report*/, bool /*blocking*/) override { return true; }
  std::weak_ptr<rodiz::IHardwareBus> owning_bus() override { return {}; }
  std::string path() override { return "fuzz://receiver"; }
  int pid() override { return 0xC52B; }
  std::string name() override { return "Receiver"; }
  int reserved_value() override { return 0; }
  int bus_type() override { return 0; }
  int transport_variant() override { return 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto bus = [] {
    auto made = std::make_shared<rodiz::VireonBus>(std::weak_ptr<rodiz::IDeviceManager>(),
                                                   std::make_shared<SilentChannel>(), 4, 6);
    made->initDevice(nullptr);
    return made;
  }();
  // The input is cut into reports at 0xA5 bytes.
  std::vector<std::uint8_t> report;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0xA5) {
      const auto length = static_cast<unsigned>(report.size());
      bus->onRead(report, false, 0, length);
      report.clear();
    } else {
      report.push_back(data[i]);
    }
  }
  return 0;
}
