#include "transport/PairingBus.h"

#include <filesystem>
#include <system_error>

#include "device/LastError.h"
#include "log/xLog.h"
#include "runtime/AtomicFile.h"
#include "runtime/ConfigItem.h"
#include "runtime/IDeviceManager.h"
#include "runtime/RodizException.h"
#include "transport/IBluetoothDevice.h"
#include "transport/IHardwareSecondaryBus.h"
#include "transport/PairingCacheFile.h"
#include "transport/PairingDevice.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "PairingBus";
#define BLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

std::filesystem::path utf8_path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// Moves a damaged cache out of the way, so that the next write does not
// destroy what might still tell why it was damaged.
void set_aside(const std::string& path) {
  const std::string aside = path + ".damaged";
  std::error_code error;
  std::filesystem::remove(utf8_path(aside), error);
  std::filesystem::rename(utf8_path(path), utf8_path(aside), error);
  if (error) {
    BLOG(LogWarning, "could not set the damaged pairing cache aside as %s: %s", aside.c_str(), error.message().c_str());
  } else {
    BLOG(LogWarning, "damaged pairing cache set aside as %s", aside.c_str());
  }
}
}  // namespace

PairingBus::PairingBus(std::weak_ptr<IDeviceManager> manager, std::shared_ptr<IHardwareBus> inner)
    : inner_(std::move(inner)), manager_(std::move(manager)) {
  if (std::shared_ptr<IDeviceManager> m = manager_.lock()) {
    m->config_get(item_number(ConfigItem::BluetoothActive), &bluetooth_active_);
    m->config_get(item_number(ConfigItem::BleActive), &ble_active_);
    m->config_get(item_number(ConfigItem::BleMonitor), &ble_monitor_);
    m->config_get(item_number(ConfigItem::UseBlepp), &use_blepp_);
  }
  BLOG(LogInfo, "PairingBus bluetooth_active = %d", bluetooth_active_);
  BLOG(LogInfo, "PairingBus ble_active = %d", ble_active_);
  BLOG(LogInfo, "PairingBus ble_monitor = %d", ble_monitor_);
  BLOG(LogInfo, "PairingBus use_blepp = %d", use_blepp_);
}

PairingBus::~PairingBus() {
  Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>::leave_all();
  Subscriber<IHardwareBus::PlugUnplug>::leave_all();
}

void PairingBus::report_unreported(const char* context) {
  if (std::shared_ptr<IDeviceManager> manager = manager_.lock()) manager->report_unreported_error(context);
}

bool PairingBus::subscribe_inner() {
  bool result = Subscriber<IHardwareBus::PlugUnplug>::subscribe(inner_, DeliveryRunLoop, "");
  if (result && (ble_monitor_ || use_blepp_)) {
    try {
      for (const auto& secondary : inner_->secondary_busses()) {
        result = Subscriber<IHardwareBus::PlugUnplug>::subscribe(secondary, DeliveryRunLoop, "");
        if (!result) break;
      }
    } catch (const RodizException&) {
      BLOG(LogWarning, "PairingBus on_subscribe secondary_busses exception");
    }
  }
  if (result) {
    // Radio events change the device maps, which only the run-loop thread
    // touches. A Bluetooth bus that cannot start (Bluetooth switched off by
    // the configuration) must not take the corded devices down with it.
    for (const auto& bluetooth : inner_->bluetooth_busses()) {
      if (!Subscriber<IBluetoothBus::RadioArrivalRemovalExternal>::subscribe(bluetooth, DeliveryRunLoop, "")) {
        BLOG(LogInfo, "PairingBus could not subscribe to radio events, err=%d", last_error_code());
        clear_last_error();
      }
    }
  }
  return result;
}

bool PairingBus::on_subscribe(Subscriber<IHardwareBus::PlugUnplug>* /*s*/) {
  BLOG(LogDebug, "PairingBus::on_subscribe enter");
  const bool result = subscribe_inner();
  BLOG(LogDebug, "PairingBus::on_subscribe exit, ret=%d", result);
  return result;
}

std::shared_ptr<IBluetoothDevice> PairingBus::find_btdev(const std::string& path) {
  for (const auto& bluetooth : inner_->bluetooth_busses()) {
    if (std::shared_ptr<IBluetoothDevice> btdev = bluetooth->device_paired_on_path(path)) return btdev;
  }
  return nullptr;
}

bool PairingBus::detect_and_attach_monitor(const std::shared_ptr<IHardwareDevice>& channel,
                                           const std::shared_ptr<IBluetoothDevice>& btdev) {
  if (!btdev || btdev->bus_type() != 3) return false;
  const bool is_gatt = channel->bus_type() == 4;
  if (is_gatt == use_blepp_) return false;  // the configured data transport
  if (!ble_monitor_) {
    BLOG(LogDebug, "detect_and_attach_monitor monitor disabled");
    return true;
  }
  const unsigned pid = static_cast<unsigned>(channel->pid());
  for (const auto& [path, device] : devices_by_path_) {
    if (device->btdev() == btdev) {
      BLOG(LogInfo, "attaching monitor pid %04x = %s", pid, path.c_str());
      device->add_monitor(channel);
      return true;
    }
  }
  BLOG(LogInfo, "remembering monitor pid %04x = %s", pid, channel->path().c_str());
  loose_monitors_[channel->path()] = LooseMonitor{channel, btdev};
  return true;
}

void PairingBus::attach_loose_monitors(const std::shared_ptr<PairingDevice>& device) {
  if (!device->btdev()) return;
  for (auto it = loose_monitors_.begin(); it != loose_monitors_.end();) {
    if (it->second.btdev == device->btdev()) {
      BLOG(LogInfo, "attaching loose monitor pid %04x", static_cast<unsigned>(it->second.channel->pid()));
      device->add_monitor(it->second.channel);
      it = loose_monitors_.erase(it);
    } else {
      ++it;
    }
  }
}

std::shared_ptr<PairingDevice> PairingBus::track(const std::shared_ptr<IHardwareDevice>& channel, bool& monitor) {
  const std::string path = channel->path();
  std::shared_ptr<IBluetoothDevice> btdev = find_btdev(path);
  monitor = detect_and_attach_monitor(channel, btdev);
  if (monitor) return nullptr;
  auto device = std::make_shared<PairingDevice>(weak_from_this(), manager_, channel, path, channel->name(),
                                                channel->pid(), channel->bus_type(), btdev, std::string());
  devices_by_path_[path] = device;
  attach_loose_monitors(device);
  return device;
}

void PairingBus::announce(const std::shared_ptr<PairingDevice>& device) {
  std::shared_ptr<IHardwareDevice> plugged = device;
  Producer<IHardwareBus::PlugUnplug>::produce([plugged](IHardwareBus::PlugUnplug* s) { s->onPlug(plugged); },
                                              "PairingBus::PlugUnplug::onPlug");
}

void PairingBus::withdraw(const std::shared_ptr<PairingDevice>& device) {
  std::shared_ptr<IHardwareDevice> unplugged = device;
  Producer<IHardwareBus::PlugUnplug>::produce([unplugged](IHardwareBus::PlugUnplug* s) { s->onUnplug(unplugged); },
                                              "PairingBus::PlugUnplug::onUnplug");
}

void PairingBus::forget(const std::string& path) {
  auto it = devices_by_path_.find(path);
  if (it == devices_by_path_.end()) return;
  // The device may be the caller of this (its unpair callback): it keeps
  // itself alive, and the events produced for it hold it too.
  it->second->drop_monitor();
  devices_by_path_.erase(it);
}

void PairingBus::log_device_list(bool arrival) {
  for (const auto& [path, device] : devices_by_path_) {
    if (arrival) {
      BLOG(LogDebug, "PairingBus::onPlug device list %s", path.c_str());
    } else {
      BLOG(LogDebug, "PairingBus::onUnplug device list %s", path.c_str());
    }
  }
}

std::vector<std::shared_ptr<IHardwareDevice>> PairingBus::devices() {
  BLOG(LogDebug, "PairingBus::devices enter");
  if (!subscribe_inner()) {
    BLOG(LogDebug, "PairingBus::devices exit (false, subscribe failed)");
    return {};
  }
  clear_last_error();
  std::vector<std::shared_ptr<IHardwareDevice>> channels = inner_->devices();
  const ErrorCode inner_error = last_error_code();
  if (ble_monitor_ || use_blepp_) {
    try {
      for (const auto& secondary : inner_->secondary_busses()) {
        for (auto& channel : secondary->devices()) channels.push_back(std::move(channel));
      }
    } catch (const RodizException&) {
      BLOG(LogWarning, "PairingBus devices secondary_busses exception");
    }
  }
  for (const auto& channel : channels) {
    if (devices_by_path_.count(channel->path()) != 0) continue;
    bool monitor = false;
    std::shared_ptr<PairingDevice> device = track(channel, monitor);
    if (device && device->visible()) announce(device);
  }
  std::vector<std::shared_ptr<IHardwareDevice>> result;
  for (const auto& [path, device] : devices_by_path_) {
    if (device->visible()) result.push_back(device);
  }
  // The first error of the bus below stays for the caller when it found
  // nothing; a question the Bluetooth layer could not answer on the way is
  // no failure of the listing.
  if (channels.empty() && inner_error != NoError) {
    set_last_error(inner_error);
  } else {
    clear_last_error();
  }
  BLOG(LogDebug, "PairingBus::devices exit (success, returning %d devices)", static_cast<int>(result.size()));
  return result;
}

void PairingBus::onPlug(std::shared_ptr<IHardwareDevice> channel) {
  BLOG(LogDebug, "PairingBus::onPlug enter (pid = 0x%x)", static_cast<unsigned>(channel->pid()));
  if (!channel->open()) {
    BLOG(LogDebug, "PairingBus::onPlug exit, ignoring device it could not open");
    return;
  }
  const std::string path = channel->path();
  auto found = devices_by_path_.find(path);
  if (found == devices_by_path_.end()) {
    bool monitor = false;
    std::shared_ptr<PairingDevice> device = track(channel, monitor);
    if (!device) {
      BLOG(LogDebug, "PairingBus::onPlug exit, taken as a monitor");
      return;
    }
    BLOG(LogInfo, "PairingBus::onPlug tracking %s", path.c_str());
    log_device_list(true);
    if (device->visible()) announce(device);
  } else if (!found->second->has_hwdev()) {
    found->second->data_connect(channel);
  }
  write_data();
  BLOG(LogDebug, "PairingBus::onPlug exit");
}

void PairingBus::onUnplug(std::shared_ptr<IHardwareDevice> channel) {
  const std::string path = channel->path();
  BLOG(LogDebug, "PairingBus::onUnplug enter, pid = 0x%x, path=%s", static_cast<unsigned>(channel->pid()),
       path.c_str());
  auto found = devices_by_path_.find(path);
  if (found == devices_by_path_.end()) {
    BLOG(LogDebug, "PairingBus::onUnplug device not found: %s", path.c_str());
    log_device_list(false);
    // A monitor channel that left: neither its device nor the waiting list
    // may keep a dead channel.
    loose_monitors_.erase(path);
    for (const auto& [key, device] : devices_by_path_) device->drop_monitor(path);
  } else {
    std::shared_ptr<PairingDevice> device = found->second;
    if (!device->btdev()) {
      BLOG(LogDebug, "PairingBus::onUnplug producing unPlug event");
      withdraw(device);
      devices_by_path_.erase(found);
    } else if (device->visible()) {
      BLOG(LogInfo, "PairingBus::onUnplug still paired, so disconnecting instead");
      device->data_disconnect();
    } else {
      if (!device->radio().empty()) {
        BLOG(LogInfo, "device is hidden");
        device->data_disconnect();
      } else {
        BLOG(LogInfo, "device is unpaired");
        forget(path);
      }
      BLOG(LogDebug, "PairingBus::onUnplug producing unPlug event");
      withdraw(device);
    }
  }
  write_data();
  BLOG(LogDebug, "PairingBus::onUnplug exit (pid = 0x%x)", static_cast<unsigned>(channel->pid()));
}

void PairingBus::onPowerChange(bool standBy) {
  BLOG(LogInfo, "PairingBus::onPowerChange(standBy=%d)", standBy);
  Producer<IHardwareBus::PlugUnplug>::produce([standBy](IHardwareBus::PlugUnplug* s) { s->onPowerChange(standBy); },
                                              "PairingBus::PlugUnplug::onPowerChange");
}

void PairingBus::process_unpair(std::shared_ptr<PairingDevice> device) {
  if (!device->visible()) {
    BLOG(LogInfo, "PairingBus::process_unpair no longer visible");
    withdraw(device);
  }
  if (!device->radio().empty()) {
    BLOG(LogInfo, "PairingBus::process_unpair is being hidden");
  } else {
    BLOG(LogInfo, "PairingBus::process_unpair lost all pairings");
    auto found = devices_by_path_.find(device->path());
    if (found != devices_by_path_.end() && found->second == device) forget(device->path());
  }
  write_data();
}

void PairingBus::refresh() {
  BLOG(LogDebug, "PairingBus::refresh enter");
  std::vector<std::shared_ptr<PairingDevice>> gone;
  for (const auto& [path, device] : devices_by_path_) {
    if (device->btdev() && !find_btdev(path)) gone.push_back(device);
  }
  for (const auto& device : gone) {
    BLOG(LogInfo, "PairingBus::refresh - device was unpaired: %s", device->path().c_str());
    withdraw(device);
    forget(device->path());
  }
  write_data();
}

void PairingBus::onRadioArrival(std::string radio) {
  BLOG(LogInfo, "PairingBus::onRadioArrival %s", radio.c_str());
  std::vector<std::shared_ptr<PairingDevice>> lost;
  for (const auto& [path, device] : devices_by_path_) {
    if (!device->btdev()) {
      BLOG(LogDebug, "onRadioArrival device has no btdev: %s", path.c_str());
      continue;
    }
    if (device->radio() != radio) continue;
    std::string pairing = radio;
    if (!device->btdev()->verify_pairing(pairing)) {
      // The question could not be asked: the pairing is kept as it was.
      report_unreported("PairingDevice verify_pairing failed");
      pairing = radio;
    }
    device->update_pairing(pairing);
    if (pairing.empty()) {
      BLOG(LogInfo, "PairingBus::onRadioArrival device lost pairing, so removing it");
      lost.push_back(device);
    } else {
      announce(device);
    }
  }
  for (const auto& device : lost) {
    withdraw(device);
    forget(device->path());
  }
  write_data();
}

void PairingBus::onRadioRemoval(std::string radio) {
  BLOG(LogInfo, "PairingBus::onRadioRemoval %s", radio.c_str());
  for (const auto& [path, device] : devices_by_path_) {
    if (!device->btdev()) {
      BLOG(LogDebug, "onRadioRemoval device has no btdev: %s", path.c_str());
      continue;
    }
    if (device->radio() != radio) continue;
    // The device keeps the radio's name: it is hidden while the radio is away
    // (visible asks whether the radio is present) and announced again when
    // the radio returns, instead of being lost for good.
    BLOG(LogInfo, "onRadioRemoval removing pairings from device: %s", path.c_str());
    withdraw(device);
  }
}

void PairingBus::persistent_data_directory(std::string directory) {
  BLOG(LogInfo, "PairingBus::persistent_data_directory enter dir=%s", directory.c_str());
  if (directory.empty()) {
    BLOG(LogInfo, "data cache dir is empty");
    cache_path_.clear();
    return;
  }
  cache_path_ = directory + "paired.xml";
  last_written_.clear();
  read_cache();
  write_data();
  BLOG(LogInfo, "PairingBus::persistent_data_directory exit");
}

void PairingBus::read_cache() {
  std::string content;
  switch (AtomicFile::read(cache_path_, PairingCacheFile::kMaxFileSize, content)) {
    case AtomicFile::ReadResult::Read:
      break;
    case AtomicFile::ReadResult::Missing:
      BLOG(LogInfo, "no pairing cache at %s", cache_path_.c_str());
      return;
    case AtomicFile::ReadResult::NotAFile:
      BLOG(LogWarning, "pairing cache %s is not a file", cache_path_.c_str());
      return;
    case AtomicFile::ReadResult::TooLarge:
    case AtomicFile::ReadResult::Failed:
      BLOG(LogWarning, "pairing cache %s is too large or unreadable", cache_path_.c_str());
      set_aside(cache_path_);
      return;
  }
  std::vector<PairingCacheFile::Entry> entries;
  std::size_t skipped = 0;
  std::string error;
  if (!PairingCacheFile::parse(std::move(content), entries, skipped, error)) {
    BLOG(LogWarning, "pairing cache %s is damaged (%s)", cache_path_.c_str(), error.c_str());
    set_aside(cache_path_);
    return;
  }
  if (skipped != 0) BLOG(LogWarning, "pairing cache: %d incomplete device entries skipped", static_cast<int>(skipped));

  for (const PairingCacheFile::Entry& entry : entries) {
    BLOG(LogDebug, "xml read zpath=%s", entry.path.c_str());
    BLOG(LogDebug, "xml read     zpid=%04X", static_cast<unsigned>(entry.pid));
    BLOG(LogDebug, "xml read     zname=%s", entry.name.c_str());
    BLOG(LogDebug, "xml read     zradio=%s", entry.radio.c_str());
    BLOG(LogDebug, "xml read     zinterface=%s", entry.interface.c_str());
    auto found = devices_by_path_.find(entry.path);
    if (found != devices_by_path_.end()) {
      BLOG(LogDebug, "Already a device present that matches %s", entry.path.c_str());
      // The device's own name comes first; the cached one only fills a gap.
      if (found->second->name().empty()) found->second->adopt_name(entry.name);
      continue;
    }
    std::shared_ptr<IBluetoothDevice> btdev = find_btdev(entry.path);
    if (!btdev) continue;
    const bool blepp = entry.interface == "blepp";
    if (btdev->bus_type() == 3 && blepp != use_blepp_) continue;
    std::string radio = entry.radio;
    if (!btdev->verify_pairing(radio)) {
      report_unreported("PairingDevice verify_pairing failed");
      radio = entry.radio;
    }
    if (radio.empty()) {
      BLOG(LogInfo, "PairingBus::persistent_data_directory device is unpaired: %s", entry.path.c_str());
      continue;
    }
    BLOG(LogInfo, "PairingBus::persistent_data_directory device is paired: %s", entry.path.c_str());
    BLOG(LogInfo, "PairingBus::persistent_data_directory device is paired to: %s", radio.c_str());
    auto device = std::make_shared<PairingDevice>(weak_from_this(), manager_, nullptr, entry.path, entry.name,
                                                  entry.pid, blepp ? 4 : btdev->bus_type(), btdev, radio);
    devices_by_path_[entry.path] = device;
    attach_loose_monitors(device);
    if (device->visible()) announce(device);
  }
}

void PairingBus::write_data() {
  if (cache_path_.empty()) {
    BLOG(LogDebug, "data cache path is empty");
    return;
  }
  std::vector<PairingCacheFile::Entry> entries;
  for (const auto& [path, device] : devices_by_path_) {
    if (!device->btdev()) continue;
    std::string radio = device->radio();
    if (radio.empty()) continue;
    entries.push_back({path, device->pid(), device->name(), std::move(radio), device->interface_name()});
  }
  std::string text = PairingCacheFile::format(entries);
  if (text == last_written_) return;
  BLOG(LogDebug, "writing data cache to file %s", cache_path_.c_str());
  if (!AtomicFile::replace(cache_path_, text)) {
    BLOG(LogWarning, "could not write the pairing cache %s, err=%d", cache_path_.c_str(), last_error_code());
    return;
  }
  last_written_ = std::move(text);
  BLOG(LogDebug, "wrote paired cache to file %s", cache_path_.c_str());
}

}  // namespace rodiz
