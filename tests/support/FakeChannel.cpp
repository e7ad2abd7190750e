#include "support/FakeChannel.h"

#include <chrono>

#include "device/LastError.h"

namespace rodiz::test {

FakeChannel::FakeChannel(int pid, int bus_type, std::string path)
    : pid_(pid), bus_type_(bus_type), path_(std::move(path)), thread_(&FakeChannel::run, this) {}

FakeChannel::~FakeChannel() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void FakeChannel::set_script(Script script) {
  std::lock_guard<std::mutex> guard(lock_);
  script_ = std::move(script);
}

void FakeChannel::inject(std::vector<Byte> report, int delay_ms) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    tasks_.push_back(Task{false, std::move(report), delay_ms});
  }
  wake_.notify_all();
}

void FakeChannel::raise_connect() {
  auto self = shared_from_this();
  Producer<IHardwareDevice::Connect>::produce([self](IHardwareDevice::Connect* s) { s->onConnect(self); },
                                              "FakeChannel::Connect::onConnect");
}

void FakeChannel::raise_disconnect() {
  auto self = shared_from_this();
  Producer<IHardwareDevice::Connect>::produce([self](IHardwareDevice::Connect* s) { s->onDisconnect(self); },
                                              "FakeChannel::Connect::onDisconnect");
}

void FakeChannel::flush() {
  std::unique_lock<std::mutex> guard(lock_);
  idle_.wait(guard, [this] { return tasks_.empty() && !busy_; });
}

std::vector<std::vector<Byte>> FakeChannel::written() {
  std::lock_guard<std::mutex> guard(lock_);
  return written_;
}

std::size_t FakeChannel::write_count() {
  std::lock_guard<std::mutex> guard(lock_);
  return written_.size();
}

void FakeChannel::fail_writes(ErrorCode code, std::uint32_t system, int count) {
  std::lock_guard<std::mutex> guard(lock_);
  write_error_ = code;
  write_system_ = system;
  write_failures_left_ = count;
}

bool FakeChannel::open() {
  open_ = true;
  return true;
}

void FakeChannel::close() { open_ = false; }

bool FakeChannel::write(std::vector<Byte> report, bool /*blocking*/) {
  // Like a HID channel: the smallest report that holds the message, padded.
  if (!report.empty()) {
    const bool fits_short = report.size() <= 7;
    report[0] = fits_short ? 0x10 : 0x11;
    report.resize(fits_short ? 7 : 20, 0);
  }
  ErrorCode error = NoError;
  std::uint32_t system = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (write_failures_left_ != 0) {
      error = write_error_;
      system = write_system_;
      if (write_failures_left_ > 0) --write_failures_left_;
    }
    if (error == NoError) {
      written_.push_back(report);
      tasks_.push_back(Task{true, report, 0});
    }
  }
  wake_.notify_all();
  Producer<IHardwareDevice::Write>::produce(
      [report, error, system](IHardwareDevice::Write* s) { s->onWrite(report, error, system); },
      "FakeChannel::Write::onWrite");
  if (error != NoError) {
    set_last_error(error, system);
    return false;
  }
  return true;
}

void FakeChannel::deliver(const std::vector<Byte>& report) {
  const auto size = static_cast<unsigned>(report.size());
  Producer<IHardwareDevice::Read>::produce(
      [report, size](IHardwareDevice::Read* s) { s->onRead(report, false, 0, size); }, "FakeChannel::Read::onRead");
}

void FakeChannel::run() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    wake_.wait(guard, [this] { return stop_ || !tasks_.empty(); });
    if (stop_) return;
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    busy_ = true;
    Script script = script_;
    guard.unlock();
    std::vector<Reply> replies;
    if (task.is_write) {
      if (script) replies = script(task.report);
    } else {
      replies.push_back(Reply{task.report, task.delay_ms});
    }
    for (const Reply& reply : replies) {
      if (reply.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delay_ms));
      deliver(reply.report);
    }
    guard.lock();
    busy_ = false;
    if (tasks_.empty()) idle_.notify_all();
  }
}

}  // namespace rodiz::test
