#include "transport/PairingDevice.h"

#include "device/LastError.h"
#include "log/xLog.h"
#include "runtime/IDeviceManager.h"
#include "transport/PairingBus.h"
#include "transport/PairingCacheFile.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "PairingDevice";
#define PLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)
}  // namespace

PairingDevice::PairingDevice(std::weak_ptr<PairingBus> bus, std::weak_ptr<IDeviceManager> manager,
                             std::shared_ptr<IHardwareDevice> hwdev, std::string path, std::string name, int pid,
                             int channel_bus_type, std::shared_ptr<IBluetoothDevice> btdev, std::string radio)
    : bus_(std::move(bus)),
      manager_(std::move(manager)),
      btdev_(std::move(btdev)),
      path_(std::move(path)),
      pid_(pid),
      hwdev_(std::move(hwdev)),
      name_(std::move(name)),
      radio_(std::move(radio)) {
  if (!btdev_) {
    kind_ = channel_bus_type;
    PLOG(LogDebug, "PairingDevice constructor, non bluetooth bus type %d", kind_);
    PLOG(LogDebug, "device is not bluetooth so treating device the same as if bt_connected were true");
    bt_connected_ = true;
    realtime_bt_connected_ = true;
    return;
  }
  kind_ = btdev_->bus_type();
  if (kind_ == 3) {
    gatt_data_ = channel_bus_type == 4;
    PLOG(LogDebug, "PairingDevice constructor, is bluetooth low energy (%s)", gatt_data_ ? "blepp" : "blefrapp");
  } else {
    PLOG(LogDebug, "PairingDevice constructor, is bluetooth classic");
  }
  // Fast-connect events must stop writes at once, on the Bluetooth thread;
  // the others change what the layers above see and go through the run loop.
  if (!Subscriber<IBluetoothDevice::BtFastConnect>::subscribe(btdev_, DeliveryImmediate, "BtFastConnect")) {
    report_unreported("Could not subscribe to BtFastConnect");
  }
  if (!Subscriber<IBluetoothDevice::BtConnect>::subscribe(btdev_, DeliveryRunLoop, "BtConnect")) {
    report_unreported("Could not subscribe to BtConnect");
  }
  if (!Subscriber<IBluetoothDevice::BtUnpair>::subscribe(btdev_, DeliveryRunLoop, "BtUnpair")) {
    report_unreported("Could not subscribe to BtUnpair");
  }
  if (radio_.empty() && btdev_->connected()) radio_ = btdev_->connected_radio(path_, channel_bus_type);
  PLOG(LogDebug, "device is bluetooth, _bt_connected = %d, radio=%s", bt_connected_, radio_.c_str());
}

PairingDevice::~PairingDevice() {
  Subscriber<IBluetoothDevice::BtFastConnect>::leave_all();
  Subscriber<IBluetoothDevice::BtConnect>::leave_all();
  Subscriber<IBluetoothDevice::BtUnpair>::leave_all();
  Subscriber<IHardwareDevice::Read>::leave_all();
  Subscriber<IHardwareDevice::Write>::leave_all();
}

void PairingDevice::report_unreported(const char* context) {
  if (std::shared_ptr<IDeviceManager> manager = manager_.lock()) manager->report_unreported_error(context);
}

std::string PairingDevice::radio() {
  std::lock_guard<std::mutex> guard(lock_);
  return radio_;
}

bool PairingDevice::has_hwdev() {
  std::lock_guard<std::mutex> guard(lock_);
  return hwdev_ != nullptr;
}

std::string PairingDevice::interface_name() const { return PairingCacheFile::interface_name(kind_, gatt_data_); }

std::weak_ptr<IHardwareBus> PairingDevice::owning_bus() {
  std::shared_ptr<IHardwareBus> bus = bus_.lock();
  return bus;
}

int PairingDevice::transport_variant() {
  if (kind_ != 3) return 0;
  return gatt_data_ ? 2 : 1;
}

std::string PairingDevice::name() {
  if (btdev_) {
    bool ask = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      ask = !name_from_btdev_;
    }
    if (ask) {
      std::string fresh = btdev_->name();
      if (!fresh.empty()) {
        std::lock_guard<std::mutex> guard(lock_);
        name_ = std::move(fresh);
        name_from_btdev_ = true;
      }
    }
  }
  std::lock_guard<std::mutex> guard(lock_);
  return name_;
}

void PairingDevice::adopt_name(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  if (name_.empty()) name_ = name;
}

bool PairingDevice::visible() {
  if (!btdev_) {
    PLOG(LogVerbose, "PairingDevice::visible not a bt device");
    return true;
  }
  const std::string radio = this->radio();
  PLOG(LogDebug, "PairingDevice::visible enter, checking radio %s", radio.c_str());
  if (radio.empty()) {
    PLOG(LogDebug, "PairingDevice::visible returning false, not paired");
    return false;
  }
  // A radio not learned yet is one the device is paired to all the same.
  const bool present = radio == "unknown" || btdev_->radio_present(radio);
  PLOG(LogDebug, "PairingDevice::visible returning %d", present);
  return present;
}

bool PairingDevice::connected() {
  if (!btdev_) {
    PLOG(LogVerbose, "PairingDevice::connected returning true (corded device always connected)");
    return true;
  }
  PLOG(LogDebug, "PairingDevice::connected realtime state was %d", realtime_bt_connected_.load());
  const bool now = btdev_->connected();
  realtime_bt_connected_ = now;
  PLOG(LogDebug, "PairingDevice::connected realtime state now %d", now);
  bool changed = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    changed = now != bt_connected_;
  }
  if (changed) {
    PLOG(LogDebug, "PairingDevice::connected handling state change");
    set_bt_connected(now, now ? btdev_->connected_radio(path_, kind_) : std::string());
    PLOG(LogDebug, "PairingDevice::connected setting _bt_connected to %d", now);
  }
  std::lock_guard<std::mutex> guard(lock_);
  const bool result = hwdev_ && bt_connected_;
  PLOG(LogDebug, "PairingDevice::connected returning (_hwdev=%d && radio=%d) = %d", hwdev_ != nullptr, bt_connected_,
       result);
  return result;
}

void PairingDevice::produce_connect(bool connected) {
  std::shared_ptr<IHardwareDevice> self = weak_from_this().lock();
  if (!self) return;
  if (connected) {
    Producer<IHardwareDevice::Connect>::produce([self](IHardwareDevice::Connect* s) { s->onConnect(self); },
                                                "PairingBus::Connect::onConnect");
  } else {
    Producer<IHardwareDevice::Connect>::produce([self](IHardwareDevice::Connect* s) { s->onDisconnect(self); },
                                                "PairingBus::Connect::onDisconnect");
  }
}

void PairingDevice::set_bt_connected(bool connected, const std::string& radio) {
  std::shared_ptr<IHardwareDevice> channel;
  std::shared_ptr<IHardwareDevice> monitor;
  bool was_usable = false;
  bool reading = false;
  bool radio_changed = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    was_usable = hwdev_ && bt_connected_;
    bt_connected_ = connected;
    if (connected && !radio.empty() && radio != radio_) {
      radio_ = radio;
      radio_changed = true;
    }
    channel = hwdev_;
    monitor = monitor_;
    reading = reading_;
  }
  if (radio_changed) remember_radio();
  const bool usable = channel && connected;
  if (usable && !was_usable) {
    PLOG(LogInfo, "PairingDevice::onBtConnect device now paired to radio %s", radio.c_str());
    // The channel may have been closed while the device slept; the reader
    // above keeps its subscription and expects reports again.
    if (reading) {
      (void)channel->open();
      if (monitor) (void)monitor->open();
    }
    produce_connect(true);
  } else if (!usable && was_usable) {
    produce_connect(false);
  }
}

void PairingDevice::onBtConnect(std::string radio) {
  PLOG(LogInfo, "PairingDevice::onBtConnect setting _bt_connected to true");
  set_bt_connected(true, radio);
}

void PairingDevice::onBtDisconnect() {
  PLOG(LogInfo, "PairingDevice::onBtDisconnect setting _bt_connected to false");
  set_bt_connected(false, std::string());
}

void PairingDevice::onBtPairingResolve(std::string radio) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    PLOG(LogInfo, "PairingDevice::onBtPairingResolve enter, device was radio=%s, now radio=%s", radio_.c_str(),
         radio.c_str());
    radio_ = std::move(radio);
  }
  remember_radio();
}

void PairingDevice::remember_radio() {
  // The cache names the radio; a stale one would hide the device at the next start.
  if (std::shared_ptr<PairingBus> bus = bus_.lock()) bus->write_data();
}

void PairingDevice::onBtFastConnect() {
  PLOG(LogDebug, "PairingDevice::onBtFastConnect _realtime_bt_connected=%d->1", realtime_bt_connected_.load());
  realtime_bt_connected_ = true;
}

void PairingDevice::onBtFastDisconnect() {
  PLOG(LogDebug, "PairingDevice::onBtFastDisconnect realtime_bt_connected=%d->0", realtime_bt_connected_.load());
  realtime_bt_connected_ = false;
}

void PairingDevice::onBtUnpair(std::string radio) {
  // The bus may forget this device below; it must live to the end of the call.
  std::shared_ptr<PairingDevice> self = shared_from_this();
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (radio != radio_) {
      PLOG(LogWarning, "PairingDevice::onBtUnpair wrong radio unpaired: %s", radio.c_str());
      PLOG(LogWarning, "PairingDevice::onBtUnpair device was paired to: %s", radio_.c_str());
      return;
    }
    radio_.clear();
  }
  PLOG(LogInfo, "PairingDevice::onBtUnpair telling bus about unpairing");
  if (std::shared_ptr<PairingBus> bus = bus_.lock()) bus->process_unpair(self);
}

void PairingDevice::update_pairing(std::string radio) {
  std::lock_guard<std::mutex> guard(lock_);
  radio_ = std::move(radio);
}

void PairingDevice::data_connect(std::shared_ptr<IHardwareDevice> channel) {
  bool reading = false;
  bool logging_writes = false;
  bool usable = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    PLOG(LogInfo, "PairingDevice::data_connect enter, hid=%d->1 and bt=%d", hwdev_ != nullptr, bt_connected_);
    hwdev_ = channel;
    reading = reading_;
    logging_writes = logging_writes_;
    usable = bt_connected_;
  }
  if (reading && !Subscriber<IHardwareDevice::Read>::subscribe(channel, DeliveryImmediate, "IHardwareDevice::Read")) {
    report_unreported("PairingDevice::data_connect subscribe(IHardwareDevice::Read)");
  }
  if (logging_writes &&
      !Subscriber<IHardwareDevice::Write>::subscribe(channel, DeliveryImmediate, "IHardwareDevice::Write")) {
    report_unreported("PairingDevice::data_connect subscribe(IHardwareDevice::Write)");
  }
  if (usable) produce_connect(true);
}

void PairingDevice::data_disconnect() {
  std::shared_ptr<IHardwareDevice> old;
  bool was_usable = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    PLOG(LogInfo, "PairingDevice::data_disconnect enter, hid=%d->0 and bt=%d", hwdev_ != nullptr, bt_connected_);
    old = std::move(hwdev_);
    hwdev_.reset();
    was_usable = old && bt_connected_;
  }
  if (old) {
    Subscriber<IHardwareDevice::Read>::unsubscribe(old);
    Subscriber<IHardwareDevice::Write>::unsubscribe(old);
  }
  if (was_usable) produce_connect(false);
}

void PairingDevice::add_monitor(std::shared_ptr<IHardwareDevice> channel) {
  bool reading = false;
  bool opened = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    monitor_ = channel;
    reading = reading_;
    opened = opened_;
  }
  if (opened) (void)channel->open();
  if (reading) {
    if (Subscriber<IHardwareDevice::Read>::subscribe(channel, DeliveryImmediate, "IHardwareDevice::Read")) {
      PLOG(LogDebug, "PairingDevice::add_monitor successfully subscribed to read monitor");
    } else {
      report_unreported("PairingDevice::add_monitor subscribe(IHardwareDevice::Read)");
    }
  }
}

bool PairingDevice::drop_monitor(const std::string& path) {
  std::shared_ptr<IHardwareDevice> old;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!monitor_ || (!path.empty() && monitor_->path() != path)) return false;
    old = std::move(monitor_);
    monitor_.reset();
  }
  Subscriber<IHardwareDevice::Read>::unsubscribe(old);
  return true;
}

bool PairingDevice::open() {
  PLOG(LogDebug, "PairingDevice::open enter");
  std::shared_ptr<IHardwareDevice> channel;
  std::shared_ptr<IHardwareDevice> monitor;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (bt_connected_) channel = hwdev_;
    monitor = monitor_;
  }
  if (!channel) {
    PLOG(LogDebug, "PairingDevice::open exit (true)");
    return true;
  }
  PLOG(LogDebug, "PairingDevice::open _bt_connected is true, so opening _hwdev");
  const bool result = channel->open();
  if (result) {
    if (monitor) (void)monitor->open();
    std::lock_guard<std::mutex> guard(lock_);
    opened_ = true;
  }
  PLOG(LogDebug, "PairingDevice::open exit (%d)", result);
  return result;
}

void PairingDevice::close() {
  PLOG(LogDebug, "PairingDevice::close enter");
  std::shared_ptr<IHardwareDevice> channel;
  std::shared_ptr<IHardwareDevice> monitor;
  {
    std::lock_guard<std::mutex> guard(lock_);
    opened_ = false;
    channel = hwdev_;
    monitor = monitor_;
  }
  if (channel) channel->close();
  if (monitor) monitor->close();
  PLOG(LogDebug, "PairingDevice::close exit");
}

bool PairingDevice::write(std::vector<Byte> report, bool blocking) {
  PLOG(LogVerbose, "PairingDevice::write enter");
  if (btdev_ && !realtime_bt_connected_) {
    PLOG(LogDebug, "PairingDevice::write not _realtime_bt_connected so returning NotConnected");
    set_last_error(NotConnected);
    return false;
  }
  std::shared_ptr<IHardwareDevice> channel;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (bt_connected_) channel = hwdev_;
  }
  if (!channel) {
    set_last_error(NotConnected);
    PLOG(LogDebug, "PairingDevice::write exit (false, NotConnected)");
    return false;
  }
  const bool result = channel->write(std::move(report), blocking);
  if (result) {
    PLOG(LogVerbose, "PairingDevice::write exit (true, wrote to device)");
  } else {
    PLOG(LogDebug, "PairingDevice::write exit (false, failed to write to device), err=%d", last_error_code());
  }
  return result;
}

bool PairingDevice::verify_connection_following_timeout() {
  PLOG(LogDebug, "PairingDevice::verify_connection_following_timeout() enter");
  if (btdev_) {
    if (!realtime_bt_connected_) {
      PLOG(LogWarning,
           "PairingDevice::verify_connection_following_timeout() exit, false, _realtime_bt_connected is false");
      return false;
    }
    if (!btdev_->verify_connection_following_timeout()) {
      PLOG(LogWarning, "PairingDevice::_btdev->verify_connection_following_timeout() result from btdev is false");
      realtime_bt_connected_ = false;
      set_bt_connected(false, std::string());
      return false;
    }
  }
  std::shared_ptr<IHardwareDevice> channel;
  {
    std::lock_guard<std::mutex> guard(lock_);
    channel = hwdev_;
  }
  if (!channel) {
    PLOG(LogWarning, "PairingDevice::verify_connection_following_timeout() exit, false, _hwdev is null");
    return false;
  }
  if (!channel->verify_connection_following_timeout()) {
    PLOG(LogWarning,
         "PairingDevice::_hwdev->verify_connection_following_timeout(hwdev) exit, false, result from lower layer");
    return false;
  }
  PLOG(LogDebug, "PairingDevice::verify_connection_following_timeout() exit, returning %d", 1);
  return true;
}

void PairingDevice::onRead(std::vector<Byte> report, bool routed, unsigned int system_error, unsigned int byte_count) {
  PLOG(LogVerbose, "PairingDevice::onRead enter");
  Producer<IHardwareDevice::Read>::produce(
      [report, routed, system_error, byte_count](IHardwareDevice::Read* s) {
        s->onRead(report, routed, system_error, byte_count);
      },
      "PairingDevice::Read::onRead");
  PLOG(LogVerbose, "PairingDevice::onRead exit");
}

void PairingDevice::onWrite(std::vector<Byte> report, ErrorCode result, unsigned int system_error) {
  Producer<IHardwareDevice::Write>::produce(
      [report, result, system_error](IHardwareDevice::Write* s) { s->onWrite(report, result, system_error); },
      "PairingDevice::Write::onWrite");
}

bool PairingDevice::on_subscribe(Subscriber<IHardwareDevice::Read>* /*s*/) {
  PLOG(LogDebug, "PairingDevice::on_subscribe(Read) enter");
  std::shared_ptr<IHardwareDevice> channel;
  std::shared_ptr<IHardwareDevice> monitor;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (reading_) {
      PLOG(LogDebug, "PairingDevice::on_subscribe already reading");
      return true;
    }
    channel = hwdev_;
    monitor = monitor_;
  }
  if (!channel) {
    PLOG(LogWarning, "PairingDevice::on_subscribe (read) _hwdev is nullptr");
  } else if (Subscriber<IHardwareDevice::Read>::subscribe(channel, DeliveryImmediate, "IHardwareDevice::Read")) {
    PLOG(LogDebug, "PairingDevice::on_subscribe successfully subscribed to read _hwdev");
  } else {
    PLOG(LogDebug, "PairingDevice::on_subscribe exit (false, could not subscribe to read _hwdev)");
    return false;
  }
  if (monitor && Subscriber<IHardwareDevice::Read>::subscribe(monitor, DeliveryImmediate, "IHardwareDevice::Read")) {
    PLOG(LogDebug, "PairingDevice::add_monitor successfully subscribed to read monitor");
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    reading_ = true;
  }
  PLOG(LogDebug, "PairingDevice::on_subscribe exit (true)");
  return true;
}

void PairingDevice::on_unsubscribe(Subscriber<IHardwareDevice::Read>* /*s*/) {
  if (Producer<IHardwareDevice::Read>::subscriber_count() != 0) return;
  std::shared_ptr<IHardwareDevice> channel;
  std::shared_ptr<IHardwareDevice> monitor;
  {
    std::lock_guard<std::mutex> guard(lock_);
    reading_ = false;
    channel = hwdev_;
    monitor = monitor_;
  }
  if (channel) Subscriber<IHardwareDevice::Read>::unsubscribe(channel);
  if (monitor) Subscriber<IHardwareDevice::Read>::unsubscribe(monitor);
}

bool PairingDevice::on_subscribe(Subscriber<IHardwareDevice::Write>* /*s*/) {
  PLOG(LogDebug, "PairingDevice::on_subscribe(Write) enter");
  std::shared_ptr<IHardwareDevice> channel;
  {
    std::lock_guard<std::mutex> guard(lock_);
    channel = hwdev_;
  }
  if (!channel) {
    PLOG(LogWarning, "PairingDevice::on_subscribe (write) _hwdev is nullptr");
  } else if (Subscriber<IHardwareDevice::Write>::subscribe(channel, DeliveryImmediate, "IHardwareDevice::Write")) {
    PLOG(LogDebug, "PairingDevice::on_subscribe successfully subscribed to writes from _hwdev");
  } else {
    PLOG(LogDebug, "PairingDevice::on_subscribe exit (false, could not subscribe to writes from _hwdev)");
    return false;
  }
  std::lock_guard<std::mutex> guard(lock_);
  logging_writes_ = true;
  return true;
}

bool PairingDevice::on_subscribe(Subscriber<IHardwareDevice::Connect>* /*s*/) {
  PLOG(LogDebug, "PairingDevice::on_subscribe(Connect) enter");
  PLOG(LogDebug, "PairingDevice::on_subscribe(Connect) exit true");
  return true;
}

}  // namespace rodiz
