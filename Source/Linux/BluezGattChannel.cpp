#include "Linux/BluezGattChannel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "Linux/BluezBus.h"
#include "Linux/BluezGattBus.h"
#include "Linux/BluezGattFrame.h"
#include "device/LastError.h"
#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "BluezGattChannel";
#define CLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

std::string hex_bytes(const std::uint8_t* data, std::size_t size) {
  std::string text;
  char byte[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(byte, sizeof byte, "%02x ", data[i]);
    text += byte;
  }
  return text;
}
}  // namespace

BluezGattChannel::BluezGattChannel(std::weak_ptr<BluezGattBus> gatt, std::shared_ptr<BluezBus> bluez, std::string path,
                                   std::uint16_t product)
    : gatt_(std::move(gatt)), bluez_(std::move(bluez)), path_(std::move(path)), product_(product) {}

BluezGattChannel::~BluezGattChannel() {
  std::lock_guard<std::mutex> guard(lock_);
  close_locked();
}

std::weak_ptr<IHardwareBus> BluezGattChannel::owning_bus() { return gatt_; }

bool BluezGattChannel::open() {
  std::lock_guard<std::mutex> guard(lock_);
  BluezBus::GattService service;
  if (!bluez_->gatt_service(path_, service)) {
    close_locked();
    set_last_error(CreateFileFailed, ENODEV, "GATT service not offered");
    CLOG(LogInfo, "BluezGattChannel::open service not offered: %s", path_.c_str());
    return false;
  }
  if (open_) return true;
  CLOG(LogInfo, "Opening device '%s'", path_.c_str());
  const BluezBus::Characteristic* chosen = nullptr;
  for (const BluezBus::Characteristic& characteristic : service.characteristics) {
    // The variable-length characteristic sends only the bytes that matter.
    if (chosen == nullptr || (characteristic.variable_length && !chosen->variable_length)) chosen = &characteristic;
  }
  if (chosen == nullptr) {
    set_last_error(InternalError, 0, "no FRAP GATT characteristic");
    return false;
  }
  write_characteristic_ = chosen->path;
  write_variable_ = chosen->variable_length;
  if (chosen->write_acquire) {
    unsigned mtu = 0;
    const int fd = bluez_->system().acquire(chosen->path, false, mtu);
    if (fd >= 0) {
      write_fd_ = fd;
      CLOG(LogInfo, "BluezGattChannel::open writing through AcquireWrite, mtu=%u", mtu);
    } else {
      CLOG(LogInfo, "BluezGattChannel::open AcquireWrite refused, writing with WriteValue");
    }
  }
  open_ = true;
  if (read_wanted_ && !read_register()) {
    const LastError kept = last_error();
    close_locked();
    last_error() = kept;
    return false;
  }
  CLOG(LogInfo, "BluezGattChannel::open opened dev=%s", path_.c_str());
  return true;
}

void BluezGattChannel::close() {
  std::lock_guard<std::mutex> guard(lock_);
  close_locked();
}

void BluezGattChannel::close_locked() {
  read_unregister();
  if (write_fd_ >= 0) ::close(write_fd_);
  write_fd_ = -1;
  open_ = false;
}

bool BluezGattChannel::read_register() {
  if (read_registered_) return true;
  BluezBus::GattService service;
  if (!bluez_->gatt_service(path_, service)) {
    set_last_error(CreateFileFailed, ENODEV, "GATT service not offered");
    return false;
  }
  int registered = 0;
  std::weak_ptr<BluezGattChannel> self = weak_from_this();
  for (const BluezBus::Characteristic& characteristic : service.characteristics) {
    if (!characteristic.can_notify) continue;
    if (characteristic.notify_acquire) {
      unsigned mtu = 0;
      const int fd = bluez_->system().acquire(characteristic.path, true, mtu);
      if (fd >= 0) {
        bluez_->watch_descriptor(fd, self, characteristic.variable_length);
        ++registered;
        continue;
      }
    }
    // Watched first, so that no value between the start and the watch is lost.
    bluez_->watch_value(characteristic.path, self, characteristic.variable_length);
    if (bluez_->system().notify(characteristic.path, true) >= 0) {
      started_notify_.push_back(characteristic.path);
      ++registered;
    }
  }
  if (registered == 0) {
    CLOG(LogWarning, "GATT error registering notifications on %s", path_.c_str());
    bluez_->unwatch(this);
    set_last_error(InternalError, 0, "no GATT notifications");
    return false;
  }
  read_registered_ = true;
  return true;
}

void BluezGattChannel::read_unregister() {
  if (!read_registered_) return;
  bluez_->unwatch(this);
  for (const std::string& characteristic : started_notify_) bluez_->system().notify(characteristic, false);
  started_notify_.clear();
  read_registered_ = false;
}

bool BluezGattChannel::on_subscribe(Subscriber<IHardwareDevice::Read>* /*s*/) {
  std::lock_guard<std::mutex> guard(lock_);
  read_wanted_ = true;
  return !open_ || read_register();
}

bool BluezGattChannel::fail_write(ErrorCode code, std::uint32_t system, const char* text) {
  set_last_error(code, system, text);
  Producer<IHardwareDevice::Write>::produce([code, system](Write* s) { s->onWrite({}, code, system); },
                                            "BluezGattChannel::Write::onWrite");
  return false;
}

bool BluezGattChannel::write(std::vector<Byte> report, bool blocking) {
  if (!open()) {
    CLOG(LogInfo, "BluezGattChannel::write exit (false, open failed)");
    const LastError failure = last_error();
    return fail_write(failure.code, failure.system, failure.text);
  }
  std::vector<std::uint8_t> value;
  std::string characteristic;
  bool with_response = false;
  int fd = -1;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!open_ || write_characteristic_.empty()) {
      return fail_write(InvalidDeviceHandle, 0, "GATT channel not open");
    }
    if (std::shared_ptr<BluezGattBus> gatt = gatt_.lock(); gatt && gatt->transport_disabled()) {
      set_last_error(Abandoned, 0, "GATT transport switched off");
      return false;
    }
    if (report.size() <= 1) return fail_write(WriteTooShort, 0, "report too short");
    if (report.size() > BluezGattFrame::kReportLength) {
      return fail_write(WriteExceedsCollectionSize, 0, "report longer than 20 bytes");
    }
    if (blocking && !read_registered_) {
      CLOG(LogInfo, "BluezGattChannel::write dev=%s", path_.c_str());
      return fail_write(CannotPerformWriteWithoutReadThreadRunning, 0, "no notifications");
    }
    value = BluezGattFrame::value(report, write_variable_);
    characteristic = write_characteristic_;
    with_response = !write_variable_;
    fd = write_fd_;
  }
  CLOG(LogVerbose, "-bt- 0x0 [W]: %s", hex_bytes(value.data(), value.size()).c_str());
  int error = 0;
  if (fd >= 0) {
    // One packet per value; BlueZ closes the descriptor when the link goes.
    if (::send(fd, value.data(), value.size(), MSG_NOSIGNAL) < 0) error = errno;
  } else {
    const int result = bluez_->system().write_value(characteristic, value, with_response);
    if (result < 0) error = -result;
  }
  if (error != 0) {
    CLOG(LogWarning, "GATT write failed (%d)", error);
    return fail_write(WriteError, static_cast<std::uint32_t>(error), "GATT write failed");
  }
  Producer<IHardwareDevice::Write>::produce([report](Write* s) { s->onWrite(report, NoError, 0); },
                                            "BluezGattChannel::Write::onWrite");
  CLOG(LogInfo, "BluezGattChannel::write exit, ret=1");
  return true;
}

bool BluezGattChannel::verify_connection_following_timeout() {
  std::shared_ptr<BluezGattBus> gatt = gatt_.lock();
  if (!gatt) return true;
  if (gatt->verify_device_exists(path_)) return true;
  CLOG(LogWarning, "BluezGattChannel::verify_connection_following_timeout returning false (is a zombie)");
  return false;
}

void BluezGattChannel::notified(const std::uint8_t* value, std::size_t size, bool variable_length) {
  CLOG(LogVerbose, "-bt- 0x0 [R]: %s", hex_bytes(value, size).c_str());
  unsigned byte_count = 0;
  std::vector<Byte> report = BluezGattFrame::report(value, size, variable_length, byte_count);
  Producer<IHardwareDevice::Read>::produce([report, byte_count](Read* s) { s->onRead(report, false, 0, byte_count); },
                                           "BluezGattChannel::Read::onRead");
}

}  // namespace rodiz
