#include "sim/SimChannel.h"

#include "device/LastError.h"
#include "sim/SimBus.h"

namespace rodiz::sim {

namespace {
// What writing to an unplugged HID device yields on Windows.
constexpr std::uint32_t kDeviceNotConnected = 1167;
}  // namespace

SimChannel::SimChannel(std::weak_ptr<SimBus> bus, std::weak_ptr<SimHidDevice> device, SimCollection collection)
    : bus_(std::move(bus)), device_(std::move(device)), collection_(std::move(collection)) {}

bool SimChannel::device_here() const {
  std::shared_ptr<SimHidDevice> device = device_.lock();
  return device && device->is_current(collection_.generation);
}

bool SimChannel::open() {
  if (!device_here()) {
    set_last_error(DeviceRemoved);
    return false;
  }
  if (!open_.exchange(true)) {
    if (std::shared_ptr<SimHidDevice> device = device_.lock()) {
      device->attach(collection_.generation, collection_.bit, weak_from_this());
    }
  }
  return true;
}

void SimChannel::close() { open_ = false; }

bool SimChannel::write(std::vector<Byte> report, bool blocking) {
  ErrorCode result = NoError;
  std::uint32_t system = 0;
  if (!open()) {
    result = last_error_code();
    report.clear();
  } else if (report.empty()) {
    result = WriteTooShort;
  } else if (report.size() > static_cast<std::size_t>(collection_.report_length)) {
    result = WriteExceedsCollectionSize;
    report.clear();
  } else if (blocking && readers_ == 0) {
    // Nobody would hear the answer.
    result = CannotPerformWriteWithoutReadThreadRunning;
    report.clear();
  } else {
    report[0] = collection_.report_length <= 7 ? 0x10 : 0x11;
    report.resize(static_cast<std::size_t>(collection_.report_length), 0);
    std::shared_ptr<SimHidDevice> device = device_.lock();
    if (!device || !device->receive(collection_.generation, collection_.bit, report)) {
      result = WriteError;
      system = kDeviceNotConnected;
    }
  }
  Producer<IHardwareDevice::Write>::produce(
      [report, result, system](IHardwareDevice::Write* s) { s->onWrite(report, result, system); },
      "SimChannel::Write::onWrite");
  if (result != NoError) {
    set_last_error(result, system);
    return false;
  }
  return true;
}

std::weak_ptr<IHardwareBus> SimChannel::owning_bus() {
  std::shared_ptr<SimBus> bus = bus_.lock();
  return bus ? std::weak_ptr<IHardwareBus>(bus) : std::weak_ptr<IHardwareBus>();
}

bool SimChannel::verify_connection_following_timeout() { return device_here(); }

void SimChannel::on_subscription_added(Subscriber<IHardwareDevice::Read>* /*s*/, bool /*immediate*/) { ++readers_; }

void SimChannel::on_unsubscribe(Subscriber<IHardwareDevice::Read>* /*s*/) { --readers_; }

void SimChannel::deliver(const std::vector<Byte>& report) {
  const auto size = static_cast<unsigned>(report.size());
  Producer<IHardwareDevice::Read>::produce(
      [report, size](IHardwareDevice::Read* s) { s->onRead(report, false, 0, size); }, "SimChannel::Read::onRead");
}

}  // namespace rodiz::sim
