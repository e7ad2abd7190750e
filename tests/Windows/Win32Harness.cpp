#include "Windows/Win32Harness.h"

#include <thread>

namespace rodiz::test {

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void PlugRecorder::onPlug(std::shared_ptr<IHardwareDevice> device) {
  std::lock_guard<std::mutex> guard(lock_);
  plugged_.push_back(device);
}

void PlugRecorder::onUnplug(std::shared_ptr<IHardwareDevice> device) {
  std::lock_guard<std::mutex> guard(lock_);
  unplugged_.push_back(device);
}

void PlugRecorder::onPowerChange(bool standBy) {
  std::lock_guard<std::mutex> guard(lock_);
  powers_.push_back(standBy);
}

std::vector<std::string> PlugRecorder::plugs() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> paths;
  for (auto& device : plugged_) paths.push_back(device->path());
  return paths;
}

std::vector<std::string> PlugRecorder::unplugs() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> paths;
  for (auto& device : unplugged_) paths.push_back(device->path());
  return paths;
}

std::vector<bool> PlugRecorder::powers() {
  std::lock_guard<std::mutex> guard(lock_);
  return powers_;
}

std::vector<std::shared_ptr<IHardwareDevice>> PlugRecorder::unplugged_devices() {
  std::lock_guard<std::mutex> guard(lock_);
  return unplugged_;
}

void ReadRecorder::onRead(std::vector<Byte> report, bool routed, unsigned int system_error, unsigned int byte_count) {
  Read read{std::move(report), routed, system_error, byte_count};
  if (on_read) on_read(read);
  std::lock_guard<std::mutex> guard(lock_);
  reads_.push_back(std::move(read));
}

void ReadRecorder::onWrite(std::vector<Byte> report, ErrorCode result, unsigned int /*system_error*/) {
  std::lock_guard<std::mutex> guard(lock_);
  writes_.push_back(Written{std::move(report), result});
}

std::vector<ReadRecorder::Read> ReadRecorder::reads() {
  std::lock_guard<std::mutex> guard(lock_);
  return reads_;
}

std::vector<ReadRecorder::Written> ReadRecorder::writes() {
  std::lock_guard<std::mutex> guard(lock_);
  return writes_;
}

}  // namespace rodiz::test
