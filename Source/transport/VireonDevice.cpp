#include "transport/VireonDevice.h"

#include "device/LastError.h"
#include "log/xLog.h"
#include "transport/FRP10Command.h"
#include "transport/VireonBus.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "VireonDevice";
std::atomic<int> g_instances{0};

#define VLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

}  // namespace

VireonDevice::VireonDevice(std::weak_ptr<VireonBus> receiver, const std::string& receiver_path, int index, int qid,
                           bool connected)
    : receiver_(std::move(receiver)),
      index_(index),
      qid_(qid),
      path_(receiver_path + ":" + std::to_string(index)),
      connected_(connected) {
  const int now = ++g_instances;
  VLOG(LogDebug, "VireonDevice::VireonDevice(this = %p). Number of instances now: %d", static_cast<void*>(this), now);
}

VireonDevice::~VireonDevice() {
  const int now = --g_instances;
  VLOG(LogDebug, "VireonDevice::~VireonDevice(this = %p). Number of instances now: %d", static_cast<void*>(this), now);
}

int VireonDevice::instances() { return g_instances; }

std::weak_ptr<IHardwareBus> VireonDevice::owning_bus() {
  std::shared_ptr<VireonBus> receiver = receiver_.lock();
  return receiver ? std::weak_ptr<IHardwareBus>(std::static_pointer_cast<IHardwareBus>(receiver))
                  : std::weak_ptr<IHardwareBus>();
}

int VireonDevice::receiver_value() {
  std::shared_ptr<VireonBus> receiver = receiver_.lock();
  return receiver ? receiver->hardware()->receiver_value() : 0;
}

bool VireonDevice::write(std::vector<Byte> report, bool blocking) {
  if (report.size() > 1) report[1] = static_cast<Byte>(index_ + 1);
  std::shared_ptr<VireonBus> receiver = removed_ ? nullptr : receiver_.lock();
  if (!receiver) {
    VLOG(LogError, "VireonDevice::write() device removed!");
    set_last_error(DeviceRemoved);
    return false;
  }
  if (!connected_) {
    VLOG(LogError, "VireonDevice::write() not connected!");
    set_last_error(NotConnected);
    return false;
  }
  disconnected_since_write_ = false;
  if (!receiver->sendCommand(report, blocking)) {
    VLOG(LogError, "VireonDevice::write() sbus->sendCommand failed!");
    return false;
  }
  return true;
}

std::string VireonDevice::name() {
  std::lock_guard<std::mutex> guard(name_lock_);
  if (name_cached_) return name_;
  std::shared_ptr<VireonBus> receiver = removed_ ? nullptr : receiver_.lock();
  if (!receiver) {
    set_last_error(DeviceRemoved);
    return std::string();
  }
  std::string read;
  if (!FRP10Command::read_receiver_paired_device_name(receiver.get(), index_, &read)) {
    xLogWrite("VireonBus", LogError, __PRETTY_FUNCTION__, "VireonBus::devices() failed to read device name.");
    read.clear();
  }
  name_ = read;
  if (!name_.empty()) name_cached_ = true;
  return name_;
}

bool VireonDevice::verify_connection_following_timeout() {
  VLOG(LogInfo, "VireonDevice::verify_connection_following_timeout() enter");
  if (disconnected_since_write_) {
    VLOG(LogInfo,
         "VireonDevice::verify_connection_following_timeout() exit, returning false (disconnected since last "
         "write)");
    return false;
  }
  VLOG(LogInfo, "VireonDevice::verify_connection_following_timeout() exit, returning true");
  return true;
}

void VireonDevice::process_connect() {
  connected_ = true;
  std::shared_ptr<VireonDevice> self = weak_from_this().lock();
  if (!self) {
    VLOG(LogDebug, "   -- not producing IHardwareDevice::Connect::onConnect(), no from_this");
    return;
  }
  VLOG(LogInfo, "-connect- qid %04x producing IHardwareDevice::onConnect()", static_cast<unsigned>(qid_));
  std::shared_ptr<IHardwareDevice> device = self;
  Producer<IHardwareDevice::Connect>::produce([device](IHardwareDevice::Connect* s) { s->onConnect(device); },
                                              "VireonDevice::Connect::onConnect");
}

void VireonDevice::process_disconnect() {
  connected_ = false;
  disconnected_since_write_ = true;
  std::shared_ptr<VireonDevice> self = weak_from_this().lock();
  if (!self) {
    VLOG(LogInfo, "   -- not producing IHardwareDevice::Connect::onDisconnect(), no from_this");
    return;
  }
  VLOG(LogInfo, "   -- producing IHardwareDevice::Connect::onDisconnect()");
  std::shared_ptr<IHardwareDevice> device = self;
  Producer<IHardwareDevice::Connect>::produce([device](IHardwareDevice::Connect* s) { s->onDisconnect(device); },
                                              "VireonDevice::Connect::onDisconnect");
}

void VireonDevice::mark_removed() {
  removed_ = true;
  connected_ = false;
  disconnected_since_write_ = true;
}

void VireonDevice::deliver_read(const std::vector<Byte>& report, unsigned int system_error, unsigned int byte_count) {
  Producer<IHardwareDevice::Read>::produce(
      [report, system_error, byte_count](IHardwareDevice::Read* s) {
        s->onRead(report, true, system_error, byte_count);
      },
      "VireonDevice::Read::onRead");
}

void VireonDevice::deliver_write(const std::vector<Byte>& report, ErrorCode result, unsigned int system_error) {
  Producer<IHardwareDevice::Write>::produce(
      [report, result, system_error](IHardwareDevice::Write* s) { s->onWrite(report, result, system_error); },
      "VireonDevice::Write::onWrite");
}

bool VireonDevice::on_subscribe(Subscriber<IHardwareDevice::Write>* /*s*/) {
  std::shared_ptr<VireonBus> receiver = receiver_.lock();
  if (!receiver) {
    set_last_error(DeviceRemoved);
    return false;
  }
  return receiver->route_writes();
}

}  // namespace rodiz
