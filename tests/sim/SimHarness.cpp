#include "sim/SimHarness.h"

#include <thread>

#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"

namespace rodiz::test {

std::vector<sim::SimImage> small_images(std::size_t size1, std::size_t size2) {
  auto make = [](const char* code, std::uint8_t first, std::size_t size) {
    sim::SimImage image;
    image.hardware_code = code;
    image.bytes.assign(size, 0);
    image.bytes[0] = first;
    image.bytes[1] = 0x01;
    for (int i = 0; i < 8; ++i) image.bytes[2 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(code[i]);
    for (std::size_t i = 16; i < size; ++i) image.bytes[i] = static_cast<std::uint8_t>((i * 13 + first) & 0xFF);
    return image;
  };
  return {make("ZKT58_E1", 0x00, size1), make("WVN31_F2", 0x02, size2)};
}

std::vector<Byte> slice(const std::vector<Byte>& image, std::size_t offset) {
  return std::vector<Byte>(image.begin() + static_cast<std::ptrdiff_t>(offset),
                           image.begin() + static_cast<std::ptrdiff_t>(offset + 16));
}

sim::SimMouseConfig SimHarness::fast_config() {
  sim::SimMouseConfig config;
  config.latency = std::chrono::microseconds(0);
  config.reboot_delay = std::chrono::milliseconds(20);
  config.restart_delay = std::chrono::milliseconds(20);
  config.expected_images = small_images();
  return config;
}

SimHarness::SimHarness(sim::SimMouseConfig config)
    : mouse(std::make_shared<sim::SimMouse>(std::move(config))),
      bus(std::make_shared<sim::SimBus>()),
      combiner(std::make_shared<CombinerBus>(std::weak_ptr<IDeviceManager>(), bus)),
      manager_(facade().getimpl()),
      pump_(std::make_unique<RunLoopPump>(manager_)) {
  bus->add(mouse);
}

SimHarness::~SimHarness() {
  bus->remove(mouse);
  bus->wait_idle();
  pump_->drain();
  pump_.reset();
  combiner.reset();
  manager_.reset();
  facade().reset();
}

std::shared_ptr<IHardwareDevice> SimHarness::channel() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (;;) {
    bus->wait_idle();
    pump_->drain();
    for (const auto& device : combiner->devices()) {
      if (device->open()) return device;
    }
    if (std::chrono::steady_clock::now() > deadline) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::shared_ptr<Device> SimHarness::make_device(int timeout_ms) {
  std::shared_ptr<IHardwareDevice> hw = channel();
  if (!hw) return nullptr;
  auto device = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), hw);
  device->initDevice(nullptr);
  device->set_timeout_ms(timeout_ms);
  Device::Clock clock = Device::system_clock();
  clock.sleep_ms = [](unsigned) {};
  device->set_clock(clock);
  return device;
}

void DfuEvents::onDfuStatus(std::uint32_t packet, std::vector<Byte> data) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    events_.emplace_back(packet, std::move(data));
  }
  wake_.notify_all();
}

bool DfuEvents::next(std::uint32_t* packet, std::vector<Byte>* data, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  if (!wake_.wait_for(guard, timeout, [this] { return !events_.empty(); })) return false;
  *packet = events_.front().first;
  *data = std::move(events_.front().second);
  events_.pop_front();
  return true;
}

std::size_t DfuEvents::pending() {
  std::lock_guard<std::mutex> guard(lock_);
  return events_.size();
}

}  // namespace rodiz::test
